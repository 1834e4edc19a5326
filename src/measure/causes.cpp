#include "measure/causes.h"

#include <cerrno>
#include <exception>

#include "platform/failure.h"

namespace measure {

namespace {

constexpr double kBytesPerMegabyte = 1000000.0;

bool knownSameVolume(const VolumeFigures& one, const VolumeFigures& other) {
    return one.space && other.space && one.space->device != 0 &&
           one.space->device == other.space->device;
}

void requireRoomOn(const VolumeFigures& volume, double needed, const QString& what) {
    if (!volume.space || !figuresTrusted(*volume.space)) return;
    const double free = volume.space->availableBytes;
    if (needed <= free) return;
    throw platform::Failure(
        QStringLiteral("%1 cannot fit on %2: only %3 MB are free there; choose a smaller size "
                       "or make room")
            .arg(what, volume.name, megabytesText(free)));
}

// The volume whose file entries ran out while it still has space; nullptr when none did.
const VolumeFigures* outOfFileEntries(const QList<VolumeFigures>& volumes) {
    for (const VolumeFigures& volume : volumes) {
        if (!volume.space) continue;
        const platform::VolumeSpace& space = *volume.space;
        if (space.totalFiles > 0 && space.availableFiles < 1 && space.availableBytes > 0)
            return &volume;
    }
    return nullptr;
}

}  // namespace

std::optional<platform::VolumeSpace> figuresOf(platform::VolumeQueries& volumes,
                                               const QString& path) {
    try {
        return volumes.space(path);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

QString megabytesText(double bytes) {
    QString text = QString::number(bytes / kBytesPerMegabyte, 'f', 1);
    if (text.endsWith(QLatin1String(".0"))) text.chop(2);
    return text;
}

bool figuresTrusted(const platform::VolumeSpace& space) {
    return space.totalBytes > 0 && space.availableBytes >= 0 &&
           space.availableBytes <= space.totalBytes;
}

void requireRoom(qint64 bytes, const VolumeFigures& local, const VolumeFigures& drive) {
    if (bytes <= 0) return;
    const QString size = QStringLiteral("A test file of %1 MB").arg(megabytesText(double(bytes)));
    if (knownSameVolume(local, drive)) {
        requireRoomOn(drive, 2.0 * double(bytes),
                      QStringLiteral("%1 and its copy (%2 MB together, as the local test folder "
                                     "lies on the drive)")
                          .arg(size, megabytesText(2.0 * double(bytes))));
        return;
    }
    requireRoomOn(local, double(bytes), size);
    requireRoomOn(drive, double(bytes), size);
}

QString withCause(const QString& message, int error, const QList<VolumeFigures>& volumes) {
    switch (error) {
        case ENOSPC:
            if (const VolumeFigures* volume = outOfFileEntries(volumes)) {
                return message +
                       QStringLiteral(
                           "; %1 has %2 MB free but no free file entries (inodes) "
                           "left: delete some files there or choose another volume")
                           .arg(volume->name, megabytesText(volume->space->availableBytes));
            }
            // The figures found after the failure, so that the user sees how full it is.
            for (const VolumeFigures& volume : volumes) {
                if (!volume.space) continue;
                return message + QStringLiteral("; %1 has %2 MB free")
                                     .arg(volume.name, megabytesText(volume.space->availableBytes));
            }
            return message;
        case ENOTCONN:
        case ENODEV:
            return message +
                   QStringLiteral("; the drive's FUSE program ended or the drive was pulled out");
        case EDQUOT:
            return message + QStringLiteral(
                                 "; your disk quota there is used up: delete some of your files "
                                 "there or ask the administrator for more");
        default:
            return message;
    }
}

}  // namespace measure
