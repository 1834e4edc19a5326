#pragma once

// RAII helpers for tests that need a real file system of their own: a small tmpfs, an ext4 or
// FUSE-mounted exFAT image on a loop device, and a block-I/O throttle on such a device. Each one
// undoes exactly what it set up, in its destructor, so a failing test leaves nothing behind. When
// the machine does not allow the setup (no root, a tool missing, the kernel refusing), isReady() is
// false and whyNot() says why, ready to hand to QSKIP:
//
//     testsupport::LoopExt4 drive(32 * 1024 * 1024, "DOVTEST");
//     if (!drive.isReady()) QSKIP(qPrintable(drive.whyNot()));

#include <QDir>
#include <QFile>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/files.h"
#include "support/harness.h"

namespace testsupport {

struct ToolResult {
    bool ok = false;
    QString output;  // stdout, trimmed
    QString why;     // what went wrong, empty when ok
};

inline ToolResult runTool(const QString& name, const QStringList& arguments) {
    const QString program = findTool(name);
    if (program.isEmpty()) return {false, {}, QStringLiteral("%1 is not installed").arg(name)};
    const ChildRun run = runChild(program, arguments);
    return {run.ok(), QString::fromLocal8Bit(run.output).trimmed(), run.why};
}

// Empty when the process may mount; otherwise the reason it may not.
// The file at folderPath/name as the file service's own, known by its device and inode, as a
// copy checks its source.
inline platform::HeldFile heldAt(int folder, const QString& folderPath, const QString& name) {
    struct stat info {};
    ::lstat(QFile::encodeName(folderPath + QLatin1Char('/') + name).constData(), &info);
    return platform::HeldFile{folder, name, {quint64(info.st_dev), quint64(info.st_ino)}, {}};
}

inline QString whyNotRoot(const QString& what) {
    if (geteuid() == 0) return {};
    return QStringLiteral("%1 needs root (running as uid %2)").arg(what).arg(geteuid());
}

// A file system mounted on a fresh folder, unmounted on destruction. The folder is removed only
// while empty, so a mount that could not be undone never has its content deleted.
class ScratchMount {
public:
    virtual ~ScratchMount() {
        unmount();
        QDir().rmdir(folder_.path());
    }
    ScratchMount(const ScratchMount&) = delete;
    ScratchMount& operator=(const ScratchMount&) = delete;

    bool isReady() const { return mounted_; }
    const QString& whyNot() const { return why_; }
    QString mountPoint() const { return folder_.path(); }

protected:
    // The mount folder is made in parent (by default the temporary folder).
    explicit ScratchMount(const QString& what, const QString& parent = QDir::tempPath())
        : why_(whyNotRoot(what)), folder_(parent + QStringLiteral("/dov-test-XXXXXX")) {
        folder_.setAutoRemove(false);
        if (why_.isEmpty() && !folder_.isValid()) {
            why_ = QStringLiteral("cannot create a scratch folder: ") + folder_.errorString();
        }
    }

    // Runs one setup step unless an earlier one failed; a failure is kept as whyNot().
    bool step(const QString& failure, const QString& tool, const QStringList& arguments,
              QString* output = nullptr) {
        if (!why_.isEmpty()) return false;
        const ToolResult result = runTool(tool, arguments);
        if (!result.ok) why_ = failure + QStringLiteral(": ") + result.why;
        if (output) *output = result.output;
        return result.ok;
    }

    // Falls back to a lazy unmount when something still holds the mount open.
    void unmount() {
        if (mounted_ && !runTool(QStringLiteral("umount"), {mountPoint()}).ok) {
            runTool(QStringLiteral("umount"), {QStringLiteral("-l"), mountPoint()});
        }
        mounted_ = false;
    }

    QString why_;
    bool mounted_ = false;

private:
    QTemporaryDir folder_;
};

class ScratchTmpfs : public ScratchMount {
public:
    explicit ScratchTmpfs(qint64 sizeBytes, const QString& parent = QDir::tempPath())
        : ScratchMount(QStringLiteral("mounting a tmpfs"), parent) {
        mounted_ = step(QStringLiteral("cannot mount a tmpfs"), QStringLiteral("mount"),
                        {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                         QStringLiteral("size=%1,mode=0755").arg(sizeBytes),
                         QStringLiteral("dov-scratch"), mountPoint()});
    }

    // Remounts read-only, as a write-protected stick; false with whyNot() set if refused.
    bool makeReadOnly() {
        return mounted_ && step(QStringLiteral("cannot remount read-only"), QStringLiteral("mount"),
                                {QStringLiteral("-o"), QStringLiteral("remount,ro"), mountPoint()});
    }
};

// A folder on a drive the window lists, for a window under test to start in, so that where the
// checkout lies (in a plain chroot, on no listed drive) never decides its first drive: a RAM disk
// of the test's own where it may mount one, else the current folder. With enter, the current
// folder until destruction.
class StartFolder : public ScratchTmpfs {
public:
    explicit StartFolder(bool enter = false) : ScratchTmpfs(1 << 20) {
        if (enter && isReady()) QDir::setCurrent(path());
    }
    ~StartFolder() override { QDir::setCurrent(previous_); }
    QString path() const { return isReady() ? mountPoint() : previous_; }

private:
    const QString previous_ = QDir::currentPath();
};

// A file system in an image file, attached to a loop device and mounted.
class LoopVolume : public ScratchMount {
public:
    // ExfatFuse: exFAT through the FUSE daemon (type fuseblk), as many desktops mount a stick.
    // Ext4Fuse: fuse2fs on the loop device (fuse.ext4, its source the device); FatFuse: fusefat
    // on it (fuse.fusefat, whose source names only the driver), FatFuseNamed with the device
    // named as its source; Ext4FuseImage: fuse2fs on the image file itself, no loop device.
    // Ext4SmallInodes: ext4 with 128-byte inodes, which keep no birth time.
    enum class Format {
        Ext4,
        ExfatFuse,
        Ext4Fuse,
        FatFuse,
        FatFuseNamed,
        Ext4FuseImage,
        Ext4SmallInodes
    };

    LoopVolume(qint64 sizeBytes, const QString& label, Format format)
        : ScratchMount(format == Format::Ext4 || format == Format::Ext4SmallInodes
                           ? QStringLiteral("a loop-mounted ext4 image")
                           : QStringLiteral("a loop-mounted image through FUSE")) {
        const bool ext4 = format == Format::Ext4 || format == Format::Ext4SmallInodes;
        const bool onImage = format == Format::Ext4FuseImage;
        if (why_.isEmpty() && !ext4 && !QFile::exists(QStringLiteral("/dev/fuse"))) {
            why_ = QStringLiteral("/dev/fuse is missing: FUSE is not available");
        }
        QFile image(imageFolder_.filePath(QStringLiteral("volume.img")));
        if (why_.isEmpty() &&
            (!image.open(QIODevice::WriteOnly | QIODevice::NewOnly) || !image.resize(sizeBytes))) {
            why_ =
                QStringLiteral("cannot create %1: %2").arg(image.fileName(), image.errorString());
        }
        image.close();
        imagePath_ = image.fileName();
        if (!onImage &&
            !step(QStringLiteral("cannot attach a loop device"), QStringLiteral("losetup"),
                  {QStringLiteral("--find"), QStringLiteral("--show"), imagePath_}, &loopDevice_)) {
            loopDevice_.clear();
            return;
        }
        struct stat device {};
        if (!onImage && ::stat(QFile::encodeName(loopDevice_).constData(), &device) == 0) {
            majorMinor_ =
                QStringLiteral("%1:%2").arg(major(device.st_rdev)).arg(minor(device.st_rdev));
        }
        const QString target = onImage ? imagePath_ : loopDevice_;
        // The formatter and the mounter, each a command line split at blanks.
        const auto [formatter, mounter] =
            format == Format::Ext4SmallInodes
                ? std::pair("mkfs.ext4 -q -F -I 128 -E lazy_itable_init=0,lazy_journal_init=0 -L",
                            "mount -t ext4")
            : ext4 ? std::pair("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 -L",
                               "mount -t ext4")
            : format == Format::ExfatFuse ? std::pair("mkfs.exfat -L", "mount.exfat-fuse")
            : format == Format::FatFuse   ? std::pair("mkfs.vfat -n", "fusefat -o rw+,allow_other")
            : format == Format::FatFuseNamed
                ? std::pair("mkfs.vfat -n", "fusefat -o rw+,allow_other,fsname=%1")
                : std::pair("mke2fs -q -F -t ext4 -L", "fuse2fs -o allow_other");
        const QStringList formatting = QString::fromLatin1(formatter).split(QLatin1Char(' '));
        const QStringList mounting = QString::fromLatin1(mounter)
                                         .replace(QStringLiteral("%1"), target)
                                         .split(QLatin1Char(' '));
        step(QStringLiteral("cannot format ") + target, formatting.first(),
             formatting.mid(1) + QStringList{label, target});
        mounted_ = step(QStringLiteral("cannot mount ") + target, mounting.first(),
                        mounting.mid(1) + QStringList{target, mountPoint()});
        // Let every user write to the root, as on a stick mounted for the desktop user (FAT has
        // no owners to change).
        if (mounted_ && format != Format::ExfatFuse)
            ::chmod(QFile::encodeName(mountPoint()).constData(), 01777);
    }
    ~LoopVolume() override {
        unmount();
        if (!loopDevice_.isEmpty()) {
            runTool(QStringLiteral("losetup"), {QStringLiteral("-d"), loopDevice_});
        }
    }

    const QString& imagePath() const { return imagePath_; }
    const QString& loopDevice() const { return loopDevice_; }  // "/dev/loopN"
    const QString& majorMinor() const { return majorMinor_; }  // "7:N"

private:
    QTemporaryDir imageFolder_;  // goes with the image, after the device has let go of it
    QString imagePath_;
    QString loopDevice_;
    QString majorMinor_;
};

// A FUSE mount of a user's own, which may name any source it likes. No daemon serves it: its
// connection is closed at once, so nothing that looks at it waits.
class OrphanFuseMount : public ScratchMount {
public:
    OrphanFuseMount(const QString& source, uid_t owner)
        : ScratchMount(QStringLiteral("a FUSE mount of another user")) {
        const int fuse = why_.isEmpty() ? ::open("/dev/fuse", O_RDWR | O_CLOEXEC) : -1;
        const QString options = QStringLiteral("fd=%1,rootmode=40000,user_id=%2,group_id=%2");
        mounted_ = fuse >= 0 && ::mount(QFile::encodeName(source).constData(),
                                        QFile::encodeName(mountPoint()).constData(),
                                        "fuse.dovorphan", MS_NOSUID | MS_NODEV,
                                        options.arg(fuse).arg(owner).toLatin1().constData()) == 0;
        if (!mounted_ && why_.isEmpty())
            why_ = QStringLiteral("cannot mount FUSE: ") + qt_error_string(errno);
        if (fuse >= 0) ::close(fuse);
    }
};

// A read-only squashfs image holding the folder some/folder, loop-mounted.
class ScratchSquashfs : public ScratchMount {
public:
    ScratchSquashfs() : ScratchMount(QStringLiteral("mounting a squashfs image")) {
        const QString content = imageFolder_.filePath(QStringLiteral("content"));
        const QString image = imageFolder_.filePath(QStringLiteral("volume.sqfs"));
        if (why_.isEmpty() && !QDir().mkpath(content + QStringLiteral("/some/folder")))
            why_ = QStringLiteral("cannot create ") + content;
        step(QStringLiteral("cannot make a squashfs image"), QStringLiteral("mksquashfs"),
             {content, image, QStringLiteral("-quiet"), QStringLiteral("-no-progress")});
        mounted_ = step(QStringLiteral("cannot mount a squashfs image"), QStringLiteral("mount"),
                        {QStringLiteral("-t"), QStringLiteral("squashfs"), QStringLiteral("-o"),
                         QStringLiteral("loop,ro"), image, mountPoint()});
    }
    ~ScratchSquashfs() override { unmount(); }

private:
    QTemporaryDir imageFolder_;  // its loop device is let go by the unmount
};

class LoopExt4 : public LoopVolume {
public:
    LoopExt4(qint64 sizeBytes, const QString& label) : LoopVolume(sizeBytes, label, Format::Ext4) {}
};

// Limits the read and write rate of one block device ("MAJ:MIN") in bytes per second, through
// cgroup v1 blkio at the hierarchy's root or, on a pure cgroup v2 system, io.max of this
// process's own cgroup. The limit is lifted again on destruction.
class BlockThrottle {
public:
    BlockThrottle(const QString& majorMinor, qint64 readBytesPerSecond, qint64 writeBytesPerSecond,
                  const QString& cgroupRoot = QStringLiteral("/sys/fs/cgroup"))
        : why_(whyNotRoot(QStringLiteral("a block-I/O throttle"))) {
        if (!why_.isEmpty()) return;
        const QString v1 = cgroupRoot + QStringLiteral("/blkio/blkio.throttle.");
        const QString device = majorMinor + QLatin1Char(' ');
        if (QFile::exists(v1 + QStringLiteral("read_bps_device"))) {
            ready_ =
                apply(v1 + QStringLiteral("read_bps_device"),
                      device + QString::number(readBytesPerSecond), device + QLatin1Char('0')) &&
                apply(v1 + QStringLiteral("write_bps_device"),
                      device + QString::number(writeBytesPerSecond), device + QLatin1Char('0'));
        } else if (QFile::exists(cgroupRoot + QStringLiteral("/cgroup.controllers"))) {
            ready_ = apply(cgroupRoot + ownV2Cgroup() + QStringLiteral("/io.max"),
                           device + QStringLiteral("rbps=%1 wbps=%2")
                                        .arg(readBytesPerSecond)
                                        .arg(writeBytesPerSecond),
                           device + QStringLiteral("rbps=max wbps=max"));
        } else {
            why_ = QStringLiteral("neither cgroup v1 blkio nor cgroup v2 is mounted at %1")
                       .arg(cgroupRoot);
        }
    }
    ~BlockThrottle() {
        for (const auto& [file, setting] : lifts_) write(file, setting);
    }
    BlockThrottle(const BlockThrottle&) = delete;
    BlockThrottle& operator=(const BlockThrottle&) = delete;

    bool isReady() const { return ready_; }
    const QString& whyNot() const { return why_; }

private:
    // "" for the root cgroup.
    static QString ownV2Cgroup() {
        for (const QByteArray& line :
             readFileBytes(QStringLiteral("/proc/self/cgroup")).split('\n')) {
            if (line.startsWith("0::"))
                return line == "0::/" ? QString() : QString::fromUtf8(line.mid(3));
        }
        return {};
    }

    bool apply(const QString& file, const QString& setting, const QString& lift) {
        if (!write(file, setting)) return false;
        lifts_.append({file, lift});
        return true;
    }

    // Unbuffered, so the setting reaches the cgroup file in the one write it must come in.
    bool write(const QString& file, const QString& setting) {
        QFile out(file);
        if (out.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
            out.write(setting.toLatin1() + '\n') > 0) {
            return true;
        }
        if (why_.isEmpty()) {
            why_ = QStringLiteral("cannot write \"%1\" to %2: %3")
                       .arg(setting, file, out.errorString());
        }
        return false;
    }

    QString why_;
    QList<QPair<QString, QString>> lifts_;  // file, setting that lifts the limit
    bool ready_ = false;
};

}  // namespace testsupport
