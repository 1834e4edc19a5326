#include "measure/speedtest.h"

#include <cerrno>
#include <exception>
#include <optional>
#include <utility>

#include "driveinfo/driveanswers.h"
#include "driveinfo/drivechoice.h"
#include "measure/causes.h"
#include "measure/clockrules.h"
#include "measure/resulttext.h"
#include "measure/runmessages.h"
#include "measure/runview.h"
#include "measure/sizerule.h"
#include "measure/steprunner.h"
#include "measure/testfile.h"
#include "ownership/claim.h"
#include "platform/clock.h"
#include "platform/desktop.h"
#include "platform/drives.h"
#include "platform/failure.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "readcache/cachebelowfuse.h"

namespace measure {

namespace {

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
        throw platform::Failure(runmessages::cannotCreate(
            platform::displayPath(file), failure.description().mid(prefix.size())));
    }
}

// Clears the flag on every way out of run().
struct RunningFlag {
    explicit RunningFlag(std::atomic<bool>& flag) : flag_(flag) { flag_ = true; }
    ~RunningFlag() { flag_ = false; }
    std::atomic<bool>& flag_;
};

platform::CopyOptions copyOptions(std::atomic<bool>* stop, std::atomic<qint64>* bytesDone) {
    platform::CopyOptions options;
    options.stop = stop;
    options.bytesDone = bytesDone;
    return options;
}

}  // namespace

// The hourglass and a disabled START for as long as the run goes; both are given back here,
// whatever way the run ends, except when the program is ending.
class SpeedTest::BusyWhileRunning {
public:
    explicit BusyWhileRunning(SpeedTest& test) : test_(test) {
        test_.services_.pointer.setBusy(true);
        test_.view_.runStarted();
    }
    ~BusyWhileRunning() {
        if (test_.state_.ending) return;
        test_.view_.runEnded(test_.result_);
        test_.services_.pointer.setBusy(false);
    }
    BusyWhileRunning(const BusyWhileRunning&) = delete;
    BusyWhileRunning& operator=(const BusyWhileRunning&) = delete;

private:
    SpeedTest& test_;
};

SpeedTest::SpeedTest(RunView& view, RunServices services)
    : view_(view),
      services_(services),
      journal_(std::make_shared<ownership::Journal>(QString(), services.retry)),
      findTestFolder_(
          [this] { return ownership::testFileFolder(services_.process, services_.retry); }) {}

SpeedTest::~SpeedTest() {
    cleanUp({.closeFolders = true});
}

void SpeedTest::stop() {
    stop_.store(true, std::memory_order_relaxed);
    // Leaves the wait or the phase's loop under way.
    services_.process.endProgram();
}

void SpeedTest::claimTestFile(int folder, const QString& folderPath, bool privateFolder) {
    const ownership::TestFilePlace place{folder, folderPath, testFileName(), privateFolder};
    runUntimed([&] {
        ownership::makeWayForTestFile(services_.files, place, *journal_, kTestLineWithEnd,
                                      services_.retry);
        journal_->expect(folderPath, place.name);
    });
}

double SpeedTest::timePhase(const std::function<void()>& work) {
    platform::Clock& clock = services_.clock;
    // Ends the watch when the work fails too; a second end is harmless.
    struct Watch {
        platform::Clock& clock;
        ~Watch() { clock.endStopWatch(); }
    } watch{clock};
    clock.beginStopWatch();
    const float startReading = ClockSeconds(clock);
    float endReading = startReading;
    platform::Stops stops;
    // The end reading is taken where the work finishes, not when the window thread wakes up.
    services_.steps.run([&] {
        work();
        endReading = ClockSeconds(clock);
        stops = clock.endStopWatch();
    });
    if (stops.count > 0) {
        state_.phaseStopped = true;
        throw platform::Failure(runmessages::stoppedDuring(progress_.phase.load(), stops.seconds));
    }
    return secondsBetween(startReading, endReading);
}

void SpeedTest::timed(Phase phase, const std::function<void()>& work) {
    startPhase(phase);
    result_.secondsOf(phase) = timePhase(work);
    view_.resultChanged(result_, phase);
}

void SpeedTest::runUntimed(const std::function<void()>& work) {
    services_.steps.run(work);
}

void SpeedTest::startPhase(Phase phase) {
    progress_.bytesDone.store(0, std::memory_order_relaxed);
    progress_.totalBytes.store(phase == Phase::None ? 0 : result_.bytes, std::memory_order_relaxed);
    progress_.phase.store(phase, std::memory_order_relaxed);
}

void SpeedTest::run() {
    result_ = RunResult{};
    view_.resultChanged(result_, Phase::None);
    if (const SizeAsked size = view_.sizeAsked(); !size.lines && size.text.isEmpty()) {
        services_.messages.showMessage(runmessages::dataSizeError());
        return;
    }

    // A run that was stopped left its folders open for removeRunFiles.
    cleanUp({.closeFolders = true});
    state_ = State{};
    startPhase(Phase::None);
    RunningFlag runningFlag(running_);
    QStringList messages;
    {
        BusyWhileRunning busy(*this);
        messages = runSteps();
    }
    // Told once a run is over that nothing else went wrong with; a failure removed the run's
    // files, so no record of them was needed.
    if (const QString notice = journal_->notice();
        !notice.isEmpty() && !state_.ending && messages.isEmpty())
        messages.append(notice);
    for (const QString& message : messages) services_.messages.showMessage(message);
}

QStringList SpeedTest::runSteps() {
    try {
        if (!waitAndGoOn()) return {};
        create();
        if (!waitAndGoOn()) return {};
        openDrive();
        write();
        dropCacheBelow();
        if (!waitAndGoOn()) return {};
        read();
        checkReadBack();
        if (!waitAndGoOn()) return {};
        removeAndVerify();
        exportTimes();
        return result_.notices;
    } catch (const platform::Stopped&) {
        endStopped();
        return {};
    } catch (const std::exception& failure) {
        return fail(failure);
    }
}

// Form1's Pause between the steps; false once QUIT, the close box or an end signal asked the
// run to stop.
bool SpeedTest::waitAndGoOn() {
    view_.waitBetweenSteps(kPauseSeconds);
    state_.ending = stopRequested();
    return !state_.ending;
}

void SpeedTest::create() {
    platform::FileService& files = services_.files;
    const QString name = testFileName();
    // The folder may be made now (the user's cache) and may lie on a drive that does not
    // answer: found and opened off the window thread, as every call that may wait on a drive.
    runUntimed([&] {
        const ownership::TestFolder found = findTestFolder_();
        state_.localFolderPath = found.path;
        state_.localFolderPrivate = found.privateFolder;
        state_.localPath = platform::joinPath(state_.localFolderPath, name);
        state_.localFolder = openLocalFolder(files, state_.localFolderPath, state_.localPath);
    });
    claimTestFile(state_.localFolder, state_.localFolderPath, state_.localFolderPrivate);
    const SizeAsked size = view_.sizeAsked();
    state_.lines = size.lines ? *size.lines : testLineCount(size.text);
    // A size of zero or less writes no line.
    result_.bytes = qint64(qMax(0, state_.lines)) * qint64(kTestLineWithEnd.size());
    // The drive is only looked at here; the run takes the one selected after the next wait.
    const QString chosen = view_.driveChosen();
    state_.roomCheckedFor = chosen;
    if (!chosen.isEmpty()) {
        makeWayOnDrive(chosen);
        // No local test file exists yet, so whatever lies at the drive's name is judged alone.
        claimTestFile(state_.driveFolder, chosen, false);
    }
    checkRoom(chosen, true);
    timed(Phase::Create, [&] {
        ownFiles_->createForOutput(state_.localFolder, name);
        state_.localCopyExists = true;
        state_.madeLocal = true;
        state_.creating = true;
        writeTestLines(files, state_.lines, &stop_, &progress_.bytesDone);
        files.closeOutput();
        state_.creating = false;
    });
}

// Refuses a size that the volumes' own figures say cannot fit, before anything is written.
// withLocal is false once the local copy exists: then only the drive's room is in question.
void SpeedTest::checkRoom(const QString& mountRoot, bool withLocal) {
    platform::VolumeQueries* volumes = services_.volumes;
    if (!volumes) return;
    VolumeFigures local{runmessages::localVolume(platform::displayPath(state_.localFolderPath)),
                        {}};
    VolumeFigures drive{runmessages::driveVolume(platform::displayPath(mountRoot)), {}};
    runUntimed([&] {
        if (withLocal) local.space = figuresOf(*volumes, state_.localFolderPath);
        if (!mountRoot.isEmpty()) drive.space = figuresOf(*volumes, mountRoot);
    });
    requireRoom(result_.bytes, local, drive);
}

// A drive that does not answer fails here, within a few seconds, instead of holding the run.
void SpeedTest::makeWayOnDrive(const QString& mountRoot) {
    services_.liveness.checkAnswers(mountRoot);
    runUntimed([&] { state_.driveFolder = services_.files.openFolder(mountRoot); });
}

// The drive is the one selected now, and stays so for this run. A leftover of the program's own
// there is taken back before its free space is checked, as that space is the run's to use.
void SpeedTest::openDrive() {
    const QString mountRoot = view_.driveChosen();
    if (mountRoot.isEmpty()) throw driveinfo::noDriveSelected();
    // A drive chosen during the last wait has not been looked at yet.
    const bool chosenNow = mountRoot != state_.roomCheckedFor;
    if (chosenNow) {
        cleanUp({.closeDrive = true});
        makeWayOnDrive(mountRoot);
    }
    result_.mountRoot = mountRoot;
    result_.driveShown = platform::displayPath(mountRoot);
    state_.targetPath = platform::joinPath(mountRoot, testFileName());
    bool sameFolder = false;
    runUntimed(
        [&] { sameFolder = services_.files.sameFolder(state_.localFolder, state_.driveFolder); });
    // Checked before the claim: there the local test file would be taken for a leftover.
    if (sameFolder) {
        throw platform::Failure(
            runmessages::programFolderIsTheDrive(platform::displayPath(state_.targetPath)));
    }
    claimTestFile(state_.driveFolder, mountRoot, false);
    if (chosenNow) checkRoom(mountRoot, false);
}

void SpeedTest::write() {
    const QString name = testFileName();
    platform::CopyOptions toDrive = copyOptions(&stop_, &progress_.bytesDone);
    toDrive.flushToDevice = true;
    toDrive.dropCachedPages = true;
    timed(Phase::Write, [&] {
        ownFiles_->copyFile(state_.localFolder, name, state_.driveFolder, name, toDrive);
        state_.madeOnDrive = true;
        state_.driveCopyExists = true;
    });
}

// A FUSE daemon reads through the cache of the device or image file below it; dropping that may
// need the privileged helper, so it happens here, outside the timed copy.
void SpeedTest::dropCacheBelow() {
    try {
        runUntimed([&] { ownFiles_->dropDeviceCache(state_.driveFolder, testFileName()); });
    } catch (const platform::Failure& failure) {
        result_.notices.append(
            readcache::readTimeNotice(result_.driveShown, failure.description()));
    }
}

// The local copy is made again from the drive's.
void SpeedTest::read() {
    const QString name = testFileName();
    runUntimed([&] {
        ownFiles_->removeOwnFile(state_.localFolder, name);
        journal_->expect(state_.localFolderPath, name);
    });
    state_.localCopyExists = false;
    const platform::CopyOptions fromDrive = copyOptions(&stop_, &progress_.bytesDone);
    timed(Phase::Read, [&] {
        ownFiles_->copyFile(state_.driveFolder, name, state_.localFolder, name, fromDrive);
        state_.localCopyExists = true;
    });
    startPhase(Phase::None);
}

// What came back must be what was written; checked once the clock is read.
void SpeedTest::checkReadBack() {
    ownership::OwnFiles& files = *ownFiles_;
    const QString name = testFileName();
    std::optional<qint64> difference;
    runUntimed([&] {
        difference = firstDifference(files.readOwn(state_.localFolder, name), result_.bytes);
        if (!difference) return;
        // Neither copy is a clean test file; both are the run's own and go.
        files.removeOwnFile(state_.localFolder, name);
        state_.localCopyExists = false;
        files.removeOwnFile(state_.driveFolder, name);
        state_.driveCopyExists = false;
    });
    if (!difference) return;
    throw platform::Failure(runmessages::otherDataCameBack(
        result_.driveShown, platform::displayPath(state_.targetPath), *difference));
}

}  // namespace measure
