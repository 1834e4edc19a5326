#pragma once

// RAII helpers for tests that need a real file system of their own: a small tmpfs, an ext4 or
// FUSE-mounted exFAT image on a loop device, and a block-I/O throttle on such a device. Each one
// undoes exactly what it set up, in its destructor, so a failing test leaves nothing behind. When
// the machine does not allow the setup (no root, a tool missing, the kernel refusing), isReady() is
// false and whyNot() says why, ready to hand to QSKIP:
//
//     testsupport::LoopExt4 drive(32 * 1024 * 1024, "DOVTEST");
//     if (!drive.isReady()) QSKIP(qPrintable(drive.whyNot()));

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace testsupport {

struct ToolResult {
    bool ok = false;
    QString output;  // stdout, trimmed
    QString why;     // what went wrong, empty when ok
};

// Path of a system tool, also looking in the sbin folders a non-login PATH may lack.
inline QString findTool(const QString& name) {
    QString found = QStandardPaths::findExecutable(name);
    if (found.isEmpty()) {
        found = QStandardPaths::findExecutable(
            name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"), QStringLiteral("/usr/bin"),
                   QStringLiteral("/bin")});
    }
    return found;
}

inline ToolResult runTool(const QString& name, const QStringList& arguments,
                          int timeoutMs = 60000) {
    ToolResult result;
    const QString program = findTool(name);
    if (program.isEmpty()) {
        result.why = QStringLiteral("%1 is not installed").arg(name);
        return result;
    }
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMs)) {
        result.why = QStringLiteral("cannot start %1: %2").arg(name, process.errorString());
        return result;
    }
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        result.why = QStringLiteral("%1 %2 did not finish in time").arg(name, arguments.join(' '));
        return result;
    }
    result.output = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    const QString errors = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        result.why = QStringLiteral("%1 %2 failed (status %3): %4")
                         .arg(name, arguments.join(' '))
                         .arg(process.exitCode())
                         .arg(errors.isEmpty() ? result.output : errors);
        return result;
    }
    result.ok = true;
    return result;
}

// Empty when the process may mount; otherwise the reason it may not.
inline QString whyNotRoot(const QString& what) {
    if (geteuid() != 0) {
        return QStringLiteral("%1 needs root (running as uid %2)").arg(what).arg(geteuid());
    }
    return {};
}

inline QString whyNotTools(const QStringList& tools) {
    for (const QString& tool : tools) {
        if (findTool(tool).isEmpty()) return QStringLiteral("%1 is not installed").arg(tool);
    }
    return {};
}

// A fresh, empty directory under the temporary folder; removed only while still empty, so a
// mount that could not be undone never has its content deleted.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const QString& pattern = QStringLiteral("dov-test-XXXXXX")) {
        QByteArray templ = QFile::encodeName(QDir::tempPath() + QLatin1Char('/') + pattern);
        if (mkdtemp(templ.data())) {
            path_ = QFile::decodeName(templ);
        } else {
            why_ = QStringLiteral("cannot create a folder in %1: %2")
                       .arg(QDir::tempPath(), QString::fromLocal8Bit(std::strerror(errno)));
        }
    }
    ~ScratchDirectory() {
        if (!path_.isEmpty()) ::rmdir(QFile::encodeName(path_).constData());
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const QString& path() const { return path_; }
    const QString& whyNot() const { return why_; }

private:
    QString path_;
    QString why_;
};

// Unmounts a mount point this process made, falling back to a lazy unmount when something
// still holds it open so the directory can go.
inline void unmountQuietly(const QString& mountPoint) {
    if (!runTool(QStringLiteral("umount"), {mountPoint}).ok) {
        runTool(QStringLiteral("umount"), {QStringLiteral("-l"), mountPoint});
    }
}

// A tmpfs of the given size on a fresh folder.
class ScratchTmpfs {
public:
    explicit ScratchTmpfs(qint64 sizeBytes) {
        why_ = whyNotRoot(QStringLiteral("mounting a tmpfs"));
        if (why_.isEmpty()) why_ = whyNotTools({QStringLiteral("mount"), QStringLiteral("umount")});
        if (why_.isEmpty()) why_ = folder_.whyNot();
        if (!why_.isEmpty()) return;
        const ToolResult mounted =
            runTool(QStringLiteral("mount"),
                    {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                     QStringLiteral("size=%1,mode=0755").arg(sizeBytes),
                     QStringLiteral("dov-scratch"), folder_.path()});
        if (!mounted.ok) {
            why_ = QStringLiteral("cannot mount a tmpfs: ") + mounted.why;
            return;
        }
        mounted_ = true;
    }
    ~ScratchTmpfs() {
        if (mounted_) unmountQuietly(folder_.path());
    }
    ScratchTmpfs(const ScratchTmpfs&) = delete;
    ScratchTmpfs& operator=(const ScratchTmpfs&) = delete;

    bool isReady() const { return mounted_; }
    const QString& whyNot() const { return why_; }
    QString mountPoint() const { return folder_.path(); }

    // Remounts read-only, as a write-protected stick; false with whyNot() set if refused.
    bool makeReadOnly() {
        if (!mounted_) return false;
        const ToolResult remounted =
            runTool(QStringLiteral("mount"),
                    {QStringLiteral("-o"), QStringLiteral("remount,ro"), folder_.path()});
        if (!remounted.ok) why_ = QStringLiteral("cannot remount read-only: ") + remounted.why;
        return remounted.ok;
    }

private:
    ScratchDirectory folder_;
    QString why_;
    bool mounted_ = false;
};

// A file system in an image file, attached to a loop device and mounted on a fresh folder.
// Use LoopExt4 or LoopExfatFuse.
class LoopVolume {
public:
    enum class Format { Ext4, ExfatFuse };

    LoopVolume(qint64 sizeBytes, const QString& label, Format format) {
        const bool ext4 = format == Format::Ext4;
        const QString formatter = ext4 ? QStringLiteral("mkfs.ext4") : QStringLiteral("mkfs.exfat");
        const QString mounter = ext4 ? QStringLiteral("mount") : QStringLiteral("mount.exfat-fuse");
        why_ = whyNotRoot(ext4 ? QStringLiteral("a loop-mounted ext4 image")
                               : QStringLiteral("a loop-mounted exFAT image through FUSE"));
        if (why_.isEmpty()) {
            why_ = whyNotTools(
                {QStringLiteral("losetup"), formatter, mounter, QStringLiteral("umount")});
        }
        if (why_.isEmpty() && !ext4 && !QFile::exists(QStringLiteral("/dev/fuse"))) {
            why_ = QStringLiteral("/dev/fuse is missing: FUSE is not available");
        }
        if (why_.isEmpty()) why_ = imageFolder_.whyNot();
        if (why_.isEmpty()) why_ = mountFolder_.whyNot();
        if (!why_.isEmpty()) return;

        imagePath_ = imageFolder_.path() + QStringLiteral("/volume.img");
        if (!createImage(sizeBytes)) return;

        const ToolResult attached =
            runTool(QStringLiteral("losetup"),
                    {QStringLiteral("--find"), QStringLiteral("--show"), imagePath_});
        if (!attached.ok || !attached.output.startsWith(QStringLiteral("/dev/"))) {
            why_ = QStringLiteral("cannot attach a loop device: ") + attached.why;
            return;
        }
        loopDevice_ = attached.output;

        struct stat info {};
        if (::stat(QFile::encodeName(loopDevice_).constData(), &info) != 0 ||
            !S_ISBLK(info.st_mode)) {
            why_ = QStringLiteral("%1 is not a block device").arg(loopDevice_);
            return;
        }
        majorMinor_ = QStringLiteral("%1:%2").arg(major(info.st_rdev)).arg(minor(info.st_rdev));

        const QStringList formatArguments =
            ext4 ? QStringList{QStringLiteral("-q"),
                               QStringLiteral("-F"),
                               QStringLiteral("-L"),
                               label,
                               QStringLiteral("-E"),
                               QStringLiteral("lazy_itable_init=0,lazy_journal_init=0"),
                               loopDevice_}
                 : QStringList{QStringLiteral("-L"), label, loopDevice_};
        const ToolResult formatted = runTool(formatter, formatArguments);
        if (!formatted.ok) {
            why_ = QStringLiteral("cannot format %1: %2").arg(loopDevice_, formatted.why);
            return;
        }
        const QStringList mountArguments =
            ext4 ? QStringList{QStringLiteral("-t"), QStringLiteral("ext4"), loopDevice_,
                               mountFolder_.path()}
                 : QStringList{loopDevice_, mountFolder_.path()};
        const ToolResult mounted = runTool(mounter, mountArguments);
        if (!mounted.ok) {
            why_ = QStringLiteral("cannot mount %1: %2").arg(loopDevice_, mounted.why);
            return;
        }
        mounted_ = true;
        // Let every user write to the root, as on a stick mounted for the desktop user.
        if (ext4) ::chmod(QFile::encodeName(mountFolder_.path()).constData(), 01777);
    }
    ~LoopVolume() {
        if (mounted_) unmountQuietly(mountFolder_.path());
        if (!loopDevice_.isEmpty())
            runTool(QStringLiteral("losetup"), {QStringLiteral("-d"), loopDevice_});
        if (!imagePath_.isEmpty()) ::unlink(QFile::encodeName(imagePath_).constData());
    }
    LoopVolume(const LoopVolume&) = delete;
    LoopVolume& operator=(const LoopVolume&) = delete;

    bool isReady() const { return mounted_; }
    const QString& whyNot() const { return why_; }
    QString mountPoint() const { return mountFolder_.path(); }
    const QString& loopDevice() const { return loopDevice_; }  // "/dev/loopN"
    const QString& majorMinor() const { return majorMinor_; }  // "7:N"

private:
    bool createImage(qint64 sizeBytes) {
        const QByteArray path = QFile::encodeName(imagePath_);
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            why_ = QStringLiteral("cannot create %1: %2")
                       .arg(imagePath_, QString::fromLocal8Bit(std::strerror(errno)));
            imagePath_.clear();
            return false;
        }
        const bool sized = ::ftruncate(fd, sizeBytes) == 0;
        const int savedErrno = errno;
        ::close(fd);
        if (!sized) {
            why_ = QStringLiteral("cannot size %1: %2")
                       .arg(imagePath_, QString::fromLocal8Bit(std::strerror(savedErrno)));
            return false;
        }
        return true;
    }

    ScratchDirectory imageFolder_;
    ScratchDirectory mountFolder_;
    QString imagePath_;
    QString loopDevice_;
    QString majorMinor_;
    QString why_;
    bool mounted_ = false;
};

class LoopExt4 : public LoopVolume {
public:
    LoopExt4(qint64 sizeBytes, const QString& label) : LoopVolume(sizeBytes, label, Format::Ext4) {}
};

// exFAT through the FUSE daemon (type fuseblk), as many desktops mount a stick.
class LoopExfatFuse : public LoopVolume {
public:
    LoopExfatFuse(qint64 sizeBytes, const QString& label)
        : LoopVolume(sizeBytes, label, Format::ExfatFuse) {}
};

// Limits the read and write rate of one block device ("MAJ:MIN") in bytes per second, through
// cgroup v1 blkio at the hierarchy's root or, on a pure cgroup v2 system, io.max of this
// process's own cgroup. The limit is lifted again on destruction.
class BlockThrottle {
public:
    BlockThrottle(const QString& majorMinor, qint64 readBytesPerSecond, qint64 writeBytesPerSecond,
                  const QString& cgroupRoot = QStringLiteral("/sys/fs/cgroup"))
        : majorMinor_(majorMinor) {
        why_ = whyNotRoot(QStringLiteral("a block-I/O throttle"));
        if (!why_.isEmpty()) return;

        const QString v1 = cgroupRoot + QStringLiteral("/blkio");
        if (QFile::exists(v1 + QStringLiteral("/blkio.throttle.read_bps_device"))) {
            readFile_ = v1 + QStringLiteral("/blkio.throttle.read_bps_device");
            writeFile_ = v1 + QStringLiteral("/blkio.throttle.write_bps_device");
            if (!writeSetting(readFile_,
                              QStringLiteral("%1 %2").arg(majorMinor_).arg(readBytesPerSecond)))
                return;
            readSet_ = true;
            if (!writeSetting(writeFile_,
                              QStringLiteral("%1 %2").arg(majorMinor_).arg(writeBytesPerSecond)))
                return;
            writeSet_ = true;
            return;
        }

        if (QFile::exists(cgroupRoot + QStringLiteral("/cgroup.controllers"))) {
            const QString own = ownV2Cgroup();
            ioMaxFile_ = cgroupRoot + own + QStringLiteral("/io.max");
            if (!QFile::exists(ioMaxFile_)) {
                why_ = QStringLiteral("the io controller is not enabled for cgroup %1 (no %2)")
                           .arg(own, ioMaxFile_);
                ioMaxFile_.clear();
                return;
            }
            if (!writeSetting(ioMaxFile_, QStringLiteral("%1 rbps=%2 wbps=%3")
                                              .arg(majorMinor_)
                                              .arg(readBytesPerSecond)
                                              .arg(writeBytesPerSecond))) {
                ioMaxFile_.clear();
                return;
            }
            ioMaxSet_ = true;
            return;
        }
        why_ = QStringLiteral("neither cgroup v1 blkio nor cgroup v2 is mounted at %1")
                   .arg(cgroupRoot);
    }
    ~BlockThrottle() {
        if (readSet_) writeSetting(readFile_, majorMinor_ + QStringLiteral(" 0"));
        if (writeSet_) writeSetting(writeFile_, majorMinor_ + QStringLiteral(" 0"));
        if (ioMaxSet_) writeSetting(ioMaxFile_, majorMinor_ + QStringLiteral(" rbps=max wbps=max"));
    }
    BlockThrottle(const BlockThrottle&) = delete;
    BlockThrottle& operator=(const BlockThrottle&) = delete;

    bool isReady() const { return (readSet_ && writeSet_) || ioMaxSet_; }
    const QString& whyNot() const { return why_; }

private:
    static QString ownV2Cgroup() {
        QFile file(QStringLiteral("/proc/self/cgroup"));
        if (!file.open(QIODevice::ReadOnly)) return {};
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (line.startsWith("0::")) {
                QString path = QString::fromUtf8(line.mid(3));
                return path == QStringLiteral("/") ? QString() : path;
            }
        }
        return {};
    }

    // cgroup files take one whole write; QFile's buffering could split it.
    bool writeSetting(const QString& file, const QString& setting) {
        const QByteArray path = QFile::encodeName(file);
        const int fd = ::open(path.constData(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            if (why_.isEmpty())
                why_ = QStringLiteral("cannot open %1: %2")
                           .arg(file, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        const QByteArray bytes = setting.toLatin1() + '\n';
        const bool written = ::write(fd, bytes.constData(), bytes.size()) == bytes.size();
        const int savedErrno = errno;
        ::close(fd);
        if (!written && why_.isEmpty()) {
            why_ = QStringLiteral("cannot write \"%1\" to %2: %3")
                       .arg(setting, file, QString::fromLocal8Bit(std::strerror(savedErrno)));
        }
        return written;
    }

    QString majorMinor_;
    QString readFile_;
    QString writeFile_;
    QString ioMaxFile_;
    QString why_;
    bool readSet_ = false;
    bool writeSet_ = false;
    bool ioMaxSet_ = false;
};

}  // namespace testsupport
