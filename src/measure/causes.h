#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>
#include <optional>

#include "platform/drives.h"

namespace measure {

// A volume the run uses, with the words that name it to the user ("drive /media/stick").
struct VolumeFigures {
    QString name;
    std::optional<platform::VolumeSpace> space;  // none: the volume gave no figures
};

// The volume's figures, or none when it gives none.
std::optional<platform::VolumeSpace> figuresOf(platform::VolumeQueries& volumes,
                                               const QString& path);

// A volume that says it has no size (many FUSE and network volumes), or more free than in all,
// tells nothing about what fits.
bool figuresTrusted(const platform::VolumeSpace& space);

// Throws platform::Failure naming the size and the free space where a volume's own figures
// clearly say that a test file of `bytes` cannot fit. When the local test folder and the drive
// are one volume, both copies lie there at once after the write copy: it needs twice the size.
// Volumes without trusted figures are left to the run, as a full one fails it anyway.
void requireRoom(qint64 bytes, const VolumeFigures& local, const VolumeFigures& drive);

// The failure's message with the cause that the system's words hide, found from its errno and
// the volumes' figures read after it: file entries (inodes) run out while space is left, a
// FUSE drive whose program ended or a drive pulled out, the user's disk quota; a full volume's
// free space.
QString withCause(const QString& message, int error, const QList<VolumeFigures>& volumes);

// Megabytes of 1,000,000 bytes with at most one decimal, in ASCII digits: "20000", "63.9".
QString megabytesText(double bytes);

}  // namespace measure
