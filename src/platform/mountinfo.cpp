#include "platform/mountinfo.h"

#include <QFile>
#include <QSet>

#include <fcntl.h>
#include <poll.h>
#include <cerrno>

#include "platform/failure.h"
#include "platform/paths.h"
#include "platform/systemfiles.h"

namespace platform {

namespace {

bool isOctalDigit(char c) {
    return c >= '0' && c <= '7';
}

bool parseNumber(QByteArrayView text, int& value) {
    bool ok = false;
    value = text.toByteArray().toInt(&ok);
    return ok;
}

bool parseDeviceNumber(QByteArrayView text, unsigned& major, unsigned& minor) {
    const qsizetype colon = text.indexOf(':');
    if (colon <= 0 || colon == text.size() - 1) return false;
    bool majorOk = false;
    bool minorOk = false;
    major = text.first(colon).toByteArray().toUInt(&majorOk);
    minor = text.sliced(colon + 1).toByteArray().toUInt(&minorOk);
    return majorOk && minorOk;
}

bool parseLine(QByteArrayView line, MountRecord& record) {
    QList<QByteArrayView> fields;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= line.size(); ++i) {
        if (i == line.size() || line[i] == ' ') {
            fields.append(line.sliced(start, i - start));
            start = i + 1;
        }
    }
    // id, parent, major:minor, root, mount point, options, [optional fields...], "-", type,
    // source, super options
    if (fields.size() < 9) return false;
    qsizetype separator = -1;
    for (qsizetype i = 6; i < fields.size(); ++i) {
        if (fields[i] == "-") {
            separator = i;
            break;
        }
    }
    if (separator < 0 || fields.size() < separator + 3) return false;
    if (!parseNumber(fields[0], record.mountId) || !parseNumber(fields[1], record.parentId) ||
        !parseDeviceNumber(fields[2], record.major, record.minor)) {
        return false;
    }
    record.root = decodeMountInfoField(fields[3]);
    record.mountPoint = decodeMountInfoField(fields[4]);
    if (!record.mountPoint.startsWith(QLatin1Char('/'))) return false;
    record.mountOptions = decodeMountInfoField(fields[5]);
    record.fileSystemType = decodeMountInfoField(fields[separator + 1]);
    record.source = decodeMountInfoField(fields[separator + 2]);
    record.superOptions =
        fields.size() > separator + 3 ? decodeMountInfoField(fields[separator + 3]) : QString();
    return !record.fileSystemType.isEmpty();
}

QSet<QString> setOf(std::initializer_list<const char*> names) {
    QSet<QString> result;
    for (const char* name : names) result.insert(QString::fromLatin1(name));
    return result;
}

}  // namespace

QString MountRecord::deviceNumber() const {
    return QStringLiteral("%1:%2").arg(major).arg(minor);
}

bool MountRecord::hasBlockDevice() const {
    // btrfs and some others report an anonymous device number; their source still names the
    // device. /dev/fuse is how some FUSE daemons name their source.
    return major != 0 ||
           (source.startsWith(QLatin1String("/dev/")) && source != QLatin1String("/dev/fuse"));
}

QString decodeMountInfoField(QByteArrayView field) {
    QByteArray bytes;
    bytes.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctalDigit(field[i + 1]) &&
            isOctalDigit(field[i + 2]) && isOctalDigit(field[i + 3])) {
            const int value =
                (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (value > 0 && value < 256) {
                bytes.append(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        bytes.append(field[i]);
    }
    return pathFromBytes(bytes);
}

QList<MountRecord> parseMountInfo(QByteArrayView text) {
    QList<MountRecord> records;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0) end = text.size();
        QByteArrayView line = text.sliced(start, end - start);
        if (line.endsWith('\r')) line.chop(1);
        MountRecord record;
        if (parseLine(line, record)) records.append(record);
        start = end + 1;
    }
    return records;
}

std::optional<int> mountIdFromFdInfo(QByteArrayView text) {
    for (QByteArrayView line : QByteArray::fromRawData(text.data(), text.size()).split('\n')) {
        if (!line.startsWith("mnt_id:")) continue;
        int id = 0;
        if (parseNumber(line.sliced(7).trimmed(), id)) return id;
    }
    return std::nullopt;
}

QString mountTablePath(const QString& systemRoot) {
    return systemfiles::hostPath(systemRoot, QStringLiteral("/proc/self/mountinfo"));
}

QList<MountRecord> readMountTable(const QString& systemRoot) {
    std::optional<QByteArray> content;
    int error = ENOENT;
    try {
        content = systemfiles::readWholeFile(systemRoot, QStringLiteral("/proc/self/mountinfo"));
    } catch (const Failure& failure) {
        error = failure.error();
    }
    if (!content)
        raiseSystemFailure(QStringLiteral("Cannot read the mount table"),
                           mountTablePath(systemRoot), error);
    return parseMountInfo(*content);
}

UniqueFd openMountTableToWatch(const QString& systemRoot) {
    const QString path = mountTablePath(systemRoot);
    UniqueFd table(::open(pathToBytes(path).constData(), O_RDONLY | O_CLOEXEC));
    if (!table) raiseSystemFailure(QStringLiteral("Cannot open"), path, errno);
    return table;
}

bool mountTableChanged(const UniqueFd& watched) noexcept {
    pollfd watch{watched.get(), POLLPRI, 0};
    return watched && ::poll(&watch, 1, 0) == 1 && (watch.revents & POLLPRI) != 0;
}

bool isNetworkFileSystem(const QString& type) {
    static const QSet<QString> network = setOf({"nfs",
                                                "nfs4",
                                                "cifs",
                                                "smb3",
                                                "smbfs",
                                                "9p",
                                                "ceph",
                                                "glusterfs",
                                                "afs",
                                                "ncpfs",
                                                "coda",
                                                "lustre",
                                                "davfs",
                                                "fuse.sshfs",
                                                "fuse.gvfsd-fuse",
                                                "fuse.kio-fuse",
                                                "fuse.rclone",
                                                "fuse.s3fs",
                                                "fuse.glusterfs",
                                                "fuse.ceph-fuse",
                                                "fuse.cephfs",
                                                "fuse.curlftpfs",
                                                "fuse.davfs2",
                                                "fuse.gcsfuse",
                                                "fuse.goofys",
                                                "fuse.smbnetfs",
                                                "fuse.juicefs",
                                                "fuse.blobfuse",
                                                "fuse.blobfuse2",
                                                "fuse.mountpoint-s3"});
    return network.contains(type);
}

}  // namespace platform
