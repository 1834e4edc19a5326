#include "measure/speedtest.h"

#include <exception>

#include "measure/clockrules.h"
#include "measure/steprunner.h"
#include "measure/runview.h"
#include "measure/sizerule.h"
#include "measure/testfile.h"
#include "platform/desktop.h"
#include "platform/failure.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace measure {

namespace {

constexpr int kTestFileNumber = 1;
constexpr double kPauseSeconds = 0.1;

// The folder of the local test file; a failure reads as the test file's, as it always has
// ("Cannot create /x/TEST.TXT: Permission denied").
int openLocalFolder(platform::FileService& files, const QString& folder, const QString& file) {
    try {
        return files.openFolder(folder);
    } catch (const platform::Failure& failure) {
        const QString prefix =
            QStringLiteral("Cannot open %1: ").arg(platform::displayPath(folder));
        if (!failure.description().startsWith(prefix)) throw;
        throw platform::Failure(
            QStringLiteral("Cannot create %1: %2")
                .arg(platform::displayPath(file), failure.description().mid(prefix.size())));
    }
}

// Clears the flag on every way out of run().
struct RunningFlag {
    explicit RunningFlag(std::atomic<bool>& flag) : flag_(flag) { flag_ = true; }
    ~RunningFlag() { flag_ = false; }
    std::atomic<bool>& flag_;
};

}  // namespace

SpeedTest::SpeedTest(RunView& view, RunServices services) : view_(view), services_(services) {}

SpeedTest::~SpeedTest() {
    closeFolders();
}

void SpeedTest::requestStop() {
    stop_.store(true, std::memory_order_relaxed);
}

void SpeedTest::removeRunFiles() noexcept {
    services_.files.removeOwnFiles();
}

void SpeedTest::closeFolders() noexcept {
    for (int* folder : {&localFolder_, &driveFolder_}) {
        if (*folder != 0) services_.files.closeFolder(*folder);
        *folder = 0;
    }
}

void SpeedTest::claimTestFile(int folder, const QString& path) {
    platform::Claim claim = platform::Claim::Free;
    runUntimed([&] { claim = services_.files.claim(folder, testFileName(), kTestLineWithEnd); });
    switch (claim) {
        case platform::Claim::Free:
        case platform::Claim::Reclaimed:
            return;
        case platform::Claim::InUse:
            throw platform::Failure(
                QStringLiteral("%1 is in use by another run of this program; it was left untouched")
                    .arg(platform::displayPath(path)));
        case platform::Claim::NotOurs:
            break;
    }
    throw platform::Failure(
        QStringLiteral(
            "%1 already exists and is not a test file of this program; it was left untouched")
            .arg(platform::displayPath(path)));
}

float SpeedTest::timePhase(const std::function<void()>& work) {
    platform::Clock& clock = services_.clock;
    const float startReading = ClockSeconds(clock);
    float endReading = startReading;
    // The end reading is taken where the work finishes, not when the window thread wakes up.
    services_.phases.run([&] {
        work();
        endReading = ClockSeconds(clock);
    });
    return elapsedBetween(startReading, endReading);
}

void SpeedTest::runUntimed(const std::function<void()>& work) {
    services_.phases.run(work);
}

void SpeedTest::run() {
    view_.clearResults();
    if (view_.sizeText().isEmpty()) {
        services_.messages.showMessage(QStringLiteral("Data Size Error"));
        return;
    }

    // A run that was stopped left its folders open for removeRunFiles.
    closeFolders();
    RunningFlag runningFlag(running_);
    progress_.phase.store(0, std::memory_order_relaxed);
    progress_.bytesDone.store(0, std::memory_order_relaxed);
    progress_.totalBytes.store(0, std::memory_order_relaxed);
    const auto startPhase = [&](int phase, qint64 totalBytes) {
        progress_.bytesDone.store(0, std::memory_order_relaxed);
        progress_.totalBytes.store(totalBytes, std::memory_order_relaxed);
        progress_.phase.store(phase, std::memory_order_relaxed);
    };
    const auto ended = [&] { return view_.programEnded() || stopRequested(); };

    platform::FileService& files = services_.files;
    const QString name = testFileName();
    bool localCopyExists = false;  // our own local test file is on disk
    bool creating = false;         // the local file is still being written
    QString driveShown;
    QString cacheNotice;
    try {
        services_.pointer.setBusy(true);
        view_.setStartEnabled(false);
        view_.pause(kPauseSeconds);
        if (ended()) return;

        // Create phase.
        const QString localFolder = services_.process.testFileFolder();
        const QString localPath = platform::joinPath(localFolder, name);
        // Every call that may wait on a drive runs off the window thread.
        runUntimed([&] { localFolder_ = openLocalFolder(files, localFolder, localPath); });
        claimTestFile(localFolder_, localPath);
        const int lines = testLineCount(view_.sizeText());
        const qint64 bytes = qint64(lines) * qint64(kTestLineWithEnd.size());
        startPhase(1, bytes);
        const float createTime = timePhase([&] {
            files.createForOutput(kTestFileNumber, localFolder_, name);
            localCopyExists = true;
            creating = true;
            writeTestLines(files, kTestFileNumber, lines, &stop_, &progress_.bytesDone);
            files.close(kTestFileNumber);
            creating = false;
        });
        view_.setTimeText(1, elapsedText(createTime));
        view_.pause(kPauseSeconds);
        if (ended()) return;

        // Write phase: the drive is the one selected now, and stays so for this run.
        const QString mountRoot = view_.selectedMountRoot();
        if (mountRoot.isEmpty()) throw platform::noDriveSelected();
        driveShown = platform::displayPath(mountRoot);
        const QString targetPath = platform::joinPath(mountRoot, name);
        bool sameFolder = false;
        runUntimed([&] {
            driveFolder_ = files.openFolder(mountRoot);
            sameFolder = files.sameFolder(localFolder_, driveFolder_);
        });
        if (sameFolder) {
            throw platform::Failure(
                QStringLiteral("%1 is the program folder's own test file; choose a drive other "
                               "than the one whose root holds the program")
                    .arg(platform::displayPath(targetPath)));
        }
        claimTestFile(driveFolder_, targetPath);
        platform::CopyOptions toDrive;
        toDrive.flushToDevice = true;
        toDrive.dropCachedPages = true;
        toDrive.stop = &stop_;
        toDrive.bytesDone = &progress_.bytesDone;
        startPhase(2, bytes);
        const float writeTime =
            timePhase([&] { files.copyFile(localFolder_, name, driveFolder_, name, toDrive); });
        view_.setTimeText(2, elapsedText(writeTime));
        // A FUSE daemon on a block device reads through the device's cache; dropping it may
        // need the privileged helper, so it happens here, outside the timed copy.
        platform::CacheDrop drop;
        runUntimed([&] { drop = files.dropDeviceCache(driveFolder_, name); });
        if (!drop.done) {
            cacheNotice = QStringLiteral("The read time of %1 may come partly from memory: %2")
                              .arg(driveShown, drop.why);
        }
        view_.pause(kPauseSeconds);
        if (ended()) return;

        // Read phase: the local copy is made again from the drive's.
        runUntimed([&] { files.removeOwnFile(localFolder_, name); });
        localCopyExists = false;
        platform::CopyOptions fromDrive;
        fromDrive.stop = &stop_;
        fromDrive.bytesDone = &progress_.bytesDone;
        startPhase(3, bytes);
        const float readTime = timePhase([&] {
            files.copyFile(driveFolder_, name, localFolder_, name, fromDrive);
            localCopyExists = true;
        });
        view_.setTimeText(3, elapsedText(readTime));
        progress_.phase.store(0, std::memory_order_relaxed);
        // What came back must be what was written; checked once the clock is read.
        qint64 difference = -1;
        runUntimed([&] {
            difference = files.firstDifference(localFolder_, name, kTestLineWithEnd, bytes);
            if (difference < 0) return;
            // Neither copy is a clean test file; both are the run's own and go.
            files.removeOwnFile(localFolder_, name);
            localCopyExists = false;
            files.removeOwnFile(driveFolder_, name);
        });
        if (difference >= 0) {
            throw platform::Failure(
                QStringLiteral("Drive %1 gave back other data than was written to it: %2 differs "
                               "from the test file first at byte %3")
                    .arg(driveShown, platform::displayPath(targetPath))
                    .arg(difference));
        }
        view_.pause(kPauseSeconds);
        if (ended()) return;

        bool driveStillThere = true;
        bool localFolderStillThere = true;
        runUntimed([&] {
            files.removeOwnFile(localFolder_, name);
            localCopyExists = false;
            files.removeOwnFile(driveFolder_, name);
            driveStillThere = files.folderStillAt(driveFolder_);
            localFolderStillThere = files.folderStillAt(localFolder_);
        });

        // A drive unmounted or swapped under the run was measured on a volume that is no longer
        // the one the path names: no success for it.
        if (!driveStillThere) {
            view_.clearResults();
            throw platform::Failure(
                QStringLiteral("Drive %1 was unmounted or replaced during the run; its times are "
                               "not valid and were not exported")
                    .arg(driveShown));
        }
        if (!localFolderStillThere) {
            view_.clearResults();
            throw platform::Failure(
                QStringLiteral("The folder %1 of the local test file was unmounted or replaced "
                               "during the run; the times are not valid and were not exported")
                    .arg(platform::displayPath(localFolder)));
        }
        closeFolders();

        services_.clipboard.clear();
        const QChar tab(QLatin1Char('\t'));
        services_.clipboard.setText(view_.timeText(1) + tab + view_.timeText(2) + tab +
                                    view_.timeText(3));
        view_.setStartEnabled(true);
        services_.pointer.setBusy(false);
        if (!cacheNotice.isEmpty()) services_.messages.showMessage(cacheNotice);
    } catch (const platform::Stopped&) {
        // The program is ending. A file cut short is no clean test file; a copy removed its own,
        // complete files stay.
        files.closeAll();
        if (creating) {
            try {
                files.removeOwnFile(localFolder_, name);
            } catch (const std::exception&) {
            }
        }
    } catch (const std::exception& failure) {
        files.closeAll();
        if (localCopyExists) {
            // Best effort: the message below is about the original failure.
            try {
                files.removeOwnFile(localFolder_, name);
            } catch (const std::exception&) {
            }
        }
        closeFolders();
        services_.pointer.setBusy(false);
        services_.messages.showMessage(platform::describe(failure));
        if (!cacheNotice.isEmpty() && !view_.timeText(3).isEmpty())
            services_.messages.showMessage(cacheNotice);
        view_.setStartEnabled(true);
    }
}

}  // namespace measure
