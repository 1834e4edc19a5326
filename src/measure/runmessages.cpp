#include "measure/runmessages.h"

#include "measure/resulttext.h"

namespace measure::runmessages {

QString dataSizeError() {
    return QStringLiteral("Data Size Error");
}

QString localVolume(const QString& folder) {
    return QStringLiteral("the volume of %1").arg(folder);
}

QString driveVolume(const QString& drive) {
    return QStringLiteral("drive %1").arg(drive);
}

QString cannotCreate(const QString& file, const QString& reason) {
    return QStringLiteral("Cannot create %1: %2").arg(file, reason);
}

// A time that holds a stop of the process (Ctrl+Z, SIGSTOP, a background write to the
// terminal) is no drive time.
QString stoppedDuring(Phase phase, double seconds) {
    const QString length =
        seconds >= 0.05 ? QStringLiteral(" for %1 s").arg(seconds, 0, 'f', 1) : QString();
    return QStringLiteral(
               "The program was stopped%1 during %2; its time is not valid and nothing was "
               "exported")
        .arg(length, phaseNames(phase).phrase);
}

QString programFolderIsTheDrive(const QString& target) {
    return QStringLiteral(
               "%1 is the program folder's own test file; choose a drive other than the one "
               "whose root holds the program")
        .arg(target);
}

QString otherDataCameBack(const QString& drive, const QString& target, qint64 byte) {
    return QStringLiteral(
               "Drive %1 gave back other data than was written to it: %2 differs from the test "
               "file first at byte %3")
        .arg(drive, target)
        .arg(byte);
}

QString driveReplaced(const QString& drive) {
    return QStringLiteral(
               "Drive %1 was unmounted or replaced during the run; its times are not valid and "
               "were not exported")
        .arg(drive);
}

QString localFolderReplaced(const QString& folder) {
    return QStringLiteral(
               "The folder %1 of the local test file was unmounted or replaced during the run; "
               "the times are not valid and were not exported")
        .arg(folder);
}

QString driveOf(const QString& drive) {
    return QStringLiteral("Drive %1").arg(drive);
}

QString driveOfFolder(const QString& folder) {
    return QStringLiteral("The drive of %1").arg(folder);
}

QString turnedReadOnly(const QString& who, const QString& what) {
    return QStringLiteral("%1 turned read-only during the run: %2%3")
        .arg(who, what.left(1).toLower(), what.mid(1));
}

QString driveCopyStays(const QString& target) {
    return QStringLiteral(
               "\nWhere the drive still holds it, the run's copy of the test file stays at %1; "
               "the next run on that drive removes it.")
        .arg(target);
}

}  // namespace measure::runmessages
