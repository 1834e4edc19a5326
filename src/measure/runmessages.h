#pragma once

#include <QString>
#include <QtGlobal>

#include "measure/runresult.h"

namespace measure {

// Every sentence the START run words itself, in one place; paths are given as the user reads
// them (platform::displayPath). The causes added to a failure are in causes.h.
namespace runmessages {

QString dataSizeError();
// What names a volume in a sentence about its free space.
QString localVolume(const QString& folder);
QString driveVolume(const QString& drive);
// The local folder could not be opened: read as the test file's, as it always has been.
QString cannotCreate(const QString& file, const QString& reason);
QString stoppedDuring(Phase phase, double seconds);
QString programFolderIsTheDrive(const QString& target);
QString otherDataCameBack(const QString& drive, const QString& target, qint64 byte);
QString driveReplaced(const QString& drive);
QString localFolderReplaced(const QString& folder);
// who: "Drive X" or "The drive of FOLDER"; what: the system's failure, as it reads.
QString driveOf(const QString& drive);
QString driveOfFolder(const QString& folder);
QString turnedReadOnly(const QString& who, const QString& what);
QString driveCopyStays(const QString& target);

}  // namespace runmessages

}  // namespace measure
