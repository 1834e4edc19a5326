// The end of a run: the last check and the export, and the ways out: a stop, a failure and the
// end signals' removal of the run's files.

#include <cerrno>
#include <exception>
#include <utility>

#include "measure/causes.h"
#include "measure/resulttext.h"
#include "measure/runmessages.h"
#include "measure/runview.h"
#include "measure/speedtest.h"
#include "measure/steprunner.h"
#include "measure/testfile.h"
#include "platform/desktop.h"
#include "platform/drives.h"
#include "platform/failure.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace measure {

namespace {

// How long the way out waits for a drive before it leaves the clean-up to go on by itself.
constexpr StepRunner::Limit kCleanupLimit = std::chrono::seconds(5);

}  // namespace

// A drive unmounted or swapped under the run was measured on a volume that is no longer the
// one the path names: no success for it.
void SpeedTest::removeAndVerify() {
    platform::FileService& folders = services_.files;
    ownership::OwnFiles& files = *ownFiles_;
    const QString name = testFileName();
    bool driveStillThere = true;
    bool localFolderStillThere = true;
    runUntimed([&] {
        files.removeOwnFile(state_.localFolder, name);
        state_.localCopyExists = false;
        files.removeOwnFile(state_.driveFolder, name);
        state_.driveCopyExists = false;
        driveStillThere = folders.folderStillAt(state_.driveFolder);
        localFolderStillThere = folders.folderStillAt(state_.localFolder);
    });
    if (!driveStillThere || !localFolderStillThere) {
        result_.clearTimes();
        view_.resultChanged(result_, Phase::None);
    }
    if (!driveStillThere) {
        throw platform::Failure(runmessages::driveReplaced(result_.driveShown));
    }
    if (!localFolderStillThere) {
        throw platform::Failure(
            runmessages::localFolderReplaced(platform::displayPath(state_.localFolderPath)));
    }
    cleanUp({.closeFolders = true});
}

// From the result as it stands: a drive change during a wait emptied the times shown so far.
void SpeedTest::exportTimes() {
    if (platform::ClipboardService* clipboard = services_.clipboard) {
        clipboard->clear();
        clipboard->setText(resultLine(result_));
    }
    result_.complete = true;
}

void SpeedTest::removeRunFiles() noexcept {
    cleanUp({.removeRunFiles = true, .closeFolders = true});
}

void SpeedTest::cleanUp(Cleanup what) noexcept {
    platform::FileService* output = &services_.files;
    const int local = what.closeFolders ? std::exchange(state_.localFolder, 0) : 0;
    const int drive =
        what.closeFolders || what.closeDrive ? std::exchange(state_.driveFolder, 0) : 0;
    const int removeIn = state_.localFolder != 0 ? state_.localFolder : local;
    if (removeIn == 0) what.removeLocal = false;
    const bool closing = local != 0 || drive != 0;
    if (!what.abandonOutput && !what.removeLocal && !what.removeRunFiles && !closing) return;
    const auto work = [output, files = ownFiles_, local, drive, removeIn, what,
                       name = testFileName()] {
        if (what.abandonOutput) output->abandonOutput();
        if (what.removeLocal) {
            // Best effort: a message is about the original failure.
            try {
                files->removeOwnFile(removeIn, name);
            } catch (const std::exception&) {
            }
        }
        if (what.removeRunFiles) files->removeOwnFiles();
        for (const int folder : {local, drive}) {
            if (folder != 0) files->closeFolder(folder);
        }
    };
    try {
        services_.steps.runWithin(work, kCleanupLimit);
    } catch (const std::exception&) {
    }
}

QString SpeedTest::describe(const std::exception& failure) const {
    const auto* system = dynamic_cast<const platform::Failure*>(&failure);
    if (!system || system->error() != EROFS) return platform::describe(failure);
    const auto within = [&](const QString& folder) {
        return platform::pathIsWithin(system->path(), folder);
    };
    QString drive;
    if (state_.madeOnDrive && !result_.mountRoot.isEmpty() && within(result_.mountRoot))
        drive = runmessages::driveOf(result_.driveShown);
    else if (state_.madeLocal && within(state_.localFolderPath))
        drive = runmessages::driveOfFolder(platform::displayPath(state_.localFolderPath));
    if (drive.isEmpty()) return system->description();
    return runmessages::turnedReadOnly(drive, system->description());
}

// The program is ending. A file cut short is no clean test file; a copy removed its own,
// complete files stay.
void SpeedTest::endStopped() noexcept {
    state_.ending = true;
    cleanUp({.abandonOutput = true, .removeLocal = state_.creating});
}

QStringList SpeedTest::fail(const std::exception& failure) {
    cleanUp({.abandonOutput = true});
    const QString message = failureMessage(failure);
    cleanUp({.removeLocal = state_.localCopyExists, .closeFolders = true});
    QStringList messages{message};
    if (result_.readSeconds) messages.append(result_.notices);
    return messages;
}

// Read before the failure path removes anything: a freed file entry would hide the cause.
QString SpeedTest::failureMessage(const std::exception& failure) {
    const auto* systemFailure = dynamic_cast<const platform::Failure*>(&failure);
    const int error = systemFailure ? systemFailure->error() : 0;
    QList<VolumeFigures> volumes;
    if (error == ENOSPC && services_.volumes) {
        // The phase tells which volume was written to: the drive in the write copy, the local
        // test folder in the create and the read copy.
        const Phase phase = progress_.phase.load();
        QList<QString> paths;
        if (phase != Phase::Write) {
            paths.append(state_.localFolderPath);
            volumes.append(
                {runmessages::localVolume(platform::displayPath(state_.localFolderPath)), {}});
        }
        if (phase == Phase::Write || phase == Phase::None) {
            paths.append(result_.mountRoot);
            volumes.append({runmessages::driveVolume(result_.driveShown), {}});
        }
        try {
            runUntimed([&] {
                for (qsizetype i = 0; i < paths.size(); ++i) {
                    if (!paths[i].isEmpty())
                        volumes[i].space = figuresOf(*services_.volumes, paths[i]);
                }
            });
        } catch (const std::exception&) {
        }
    }
    QString message = withCause(describe(failure), error, volumes);
    // The failure path leaves the drive's copy where it is; not a word of it where it is gone
    // or no longer the run's (a link swapped in, a refusal without errno).
    const bool copyChanged = error == 0 || error == ENOENT || error == ELOOP;
    if (state_.driveCopyExists && (state_.phaseStopped || !copyChanged)) {
        message += runmessages::driveCopyStays(platform::displayPath(state_.targetPath));
    }
    return message;
}

}  // namespace measure
