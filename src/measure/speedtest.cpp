#include "measure/speedtest.h"

#include <cerrno>
#include <exception>
#include <optional>

#include "measure/causes.h"
#include "measure/clockrules.h"
#include "measure/resulttext.h"
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

// A time that holds a stop of the process (Ctrl+Z, SIGSTOP, a background write to the
// terminal) is no drive time.
platform::Failure stoppedDuring(Phase phase, const platform::Stops& stops) {
    const QString length = stops.seconds >= 0.05
                               ? QStringLiteral(" for %1 s").arg(stops.seconds, 0, 'f', 1)
                               : QString();
    return platform::Failure(
        QStringLiteral("The program was stopped%1 during %2; its time is not valid and nothing "
                       "was exported")
            .arg(length, phaseNames(phase).phrase));
}

// The volume's figures, or none when it gives none.
std::optional<platform::VolumeSpace> figuresOf(platform::VolumeQueries& volumes,
                                               const QString& path) {
    try {
        return volumes.space(path);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

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
      findTestFolder_([this] { return ownership::testFileFolder(services_.process); }) {}

SpeedTest::~SpeedTest() {
    closeFolders();
    services_.files.setRecorder(nullptr);
}

void SpeedTest::stop() {
    stop_.store(true, std::memory_order_relaxed);
    // Leaves the wait or the phase's loop under way.
    services_.process.endProgram();
}

void SpeedTest::removeRunFiles() noexcept {
    services_.files.removeOwnFiles();
}

void SpeedTest::closeFolders() noexcept {
    for (int* folder : {&state_.localFolder, &state_.driveFolder}) {
        if (*folder != 0) services_.files.closeFolder(*folder);
        *folder = 0;
    }
}

void SpeedTest::claimTestFile(int folder, const QString& folderPath, bool privateFolder) {
    const ownership::TestFilePlace place{folder, folderPath, testFileName(), privateFolder};
    runUntimed([&] {
        ownership::makeWayForTestFile(services_.files, place, journal_, kTestLineWithEnd);
        journal_.expect(folderPath, place.name);
    });
}

QString SpeedTest::describe(const std::exception& failure) const {
    const auto* system = dynamic_cast<const platform::Failure*>(&failure);
    if (!system || system->error() != EROFS) return platform::describe(failure);
    const auto within = [&](const QString& folder) {
        return platform::pathIsWithin(system->path(), folder);
    };
    QString drive;
    if (state_.madeOnDrive && !result_.mountRoot.isEmpty() && within(result_.mountRoot))
        drive = QStringLiteral("Drive %1").arg(result_.driveShown);
    else if (state_.madeLocal && within(state_.localFolderPath))
        drive =
            QStringLiteral("The drive of %1").arg(platform::displayPath(state_.localFolderPath));
    if (drive.isEmpty()) return system->description();
    const QString text = system->description();
    return QStringLiteral("%1 turned read-only during the run: %2%3")
        .arg(drive, text.left(1).toLower(), text.mid(1));
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
        throw stoppedDuring(progress_.phase.load(), stops);
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
        services_.messages.showMessage(QStringLiteral("Data Size Error"));
        return;
    }

    // A run that was stopped left its folders open for removeRunFiles.
    closeFolders();
    services_.files.setRecorder(&journal_);
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
    if (const QString notice = journal_.notice();
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
    checkRoom(view_.driveChosen(), true);
    timed(Phase::Create, [&] {
        files.createForOutput(state_.localFolder, name);
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
    // A drive that does not answer fails here, within a few seconds, instead of holding the run.
    if (!mountRoot.isEmpty()) services_.liveness.checkAnswers(mountRoot);
    state_.roomCheckedFor = mountRoot;
    platform::VolumeQueries* volumes = services_.volumes;
    if (!volumes) return;
    VolumeFigures local{
        QStringLiteral("the volume of %1").arg(platform::displayPath(state_.localFolderPath)), {}};
    VolumeFigures drive{QStringLiteral("drive %1").arg(platform::displayPath(mountRoot)), {}};
    runUntimed([&] {
        if (withLocal) local.space = figuresOf(*volumes, state_.localFolderPath);
        if (!mountRoot.isEmpty()) drive.space = figuresOf(*volumes, mountRoot);
    });
    requireRoom(result_.bytes, local, drive);
}

// The drive is the one selected now, and stays so for this run. One that does not answer
// fails here, within a few seconds, instead of holding the run.
void SpeedTest::openDrive() {
    const QString mountRoot = view_.driveChosen();
    if (mountRoot.isEmpty()) throw platform::Failure(QStringLiteral("No drive is selected"));
    // A drive chosen during the last wait has not been looked at yet.
    if (mountRoot != state_.roomCheckedFor) checkRoom(mountRoot, false);
    result_.mountRoot = mountRoot;
    result_.driveShown = platform::displayPath(mountRoot);
    state_.targetPath = platform::joinPath(mountRoot, testFileName());
    bool sameFolder = false;
    runUntimed([&] {
        state_.driveFolder = services_.files.openFolder(mountRoot);
        sameFolder = services_.files.sameFolder(state_.localFolder, state_.driveFolder);
    });
    if (sameFolder) {
        throw platform::Failure(
            QStringLiteral("%1 is the program folder's own test file; choose a drive other "
                           "than the one whose root holds the program")
                .arg(platform::displayPath(state_.targetPath)));
    }
    claimTestFile(state_.driveFolder, mountRoot, false);
}

void SpeedTest::write() {
    const QString name = testFileName();
    platform::CopyOptions toDrive = copyOptions(&stop_, &progress_.bytesDone);
    toDrive.flushToDevice = true;
    toDrive.dropCachedPages = true;
    timed(Phase::Write, [&] {
        services_.files.copyFile(state_.localFolder, name, state_.driveFolder, name, toDrive);
        state_.madeOnDrive = true;
        state_.driveCopyExists = true;
    });
}

// A FUSE daemon reads through the cache of the device or image file below it; dropping that may
// need the privileged helper, so it happens here, outside the timed copy.
void SpeedTest::dropCacheBelow() {
    try {
        runUntimed([&] { services_.files.dropDeviceCache(state_.driveFolder, testFileName()); });
    } catch (const platform::Failure& failure) {
        result_.notices.append(QStringLiteral("The read time of %1 may come partly from memory: %2")
                                   .arg(result_.driveShown, failure.description()));
    }
}

// The local copy is made again from the drive's.
void SpeedTest::read() {
    const QString name = testFileName();
    runUntimed([&] {
        services_.files.removeOwnFile(state_.localFolder, name);
        journal_.expect(state_.localFolderPath, name);
    });
    state_.localCopyExists = false;
    const platform::CopyOptions fromDrive = copyOptions(&stop_, &progress_.bytesDone);
    timed(Phase::Read, [&] {
        services_.files.copyFile(state_.driveFolder, name, state_.localFolder, name, fromDrive);
        state_.localCopyExists = true;
    });
    startPhase(Phase::None);
}

// What came back must be what was written; checked once the clock is read.
void SpeedTest::checkReadBack() {
    platform::FileService& files = services_.files;
    const QString name = testFileName();
    std::optional<qint64> difference;
    runUntimed([&] {
        difference =
            files.firstDifference(state_.localFolder, name, kTestLineWithEnd, result_.bytes);
        if (!difference) return;
        // Neither copy is a clean test file; both are the run's own and go.
        files.removeOwnFile(state_.localFolder, name);
        state_.localCopyExists = false;
        files.removeOwnFile(state_.driveFolder, name);
        state_.driveCopyExists = false;
    });
    if (!difference) return;
    throw platform::Failure(
        QStringLiteral("Drive %1 gave back other data than was written to it: %2 differs "
                       "from the test file first at byte %3")
            .arg(result_.driveShown, platform::displayPath(state_.targetPath))
            .arg(*difference));
}

// A drive unmounted or swapped under the run was measured on a volume that is no longer the
// one the path names: no success for it.
void SpeedTest::removeAndVerify() {
    platform::FileService& files = services_.files;
    const QString name = testFileName();
    bool driveStillThere = true;
    bool localFolderStillThere = true;
    runUntimed([&] {
        files.removeOwnFile(state_.localFolder, name);
        state_.localCopyExists = false;
        files.removeOwnFile(state_.driveFolder, name);
        state_.driveCopyExists = false;
        driveStillThere = files.folderStillAt(state_.driveFolder);
        localFolderStillThere = files.folderStillAt(state_.localFolder);
    });
    if (!driveStillThere || !localFolderStillThere) {
        result_.clearTimes();
        view_.resultChanged(result_, Phase::None);
    }
    if (!driveStillThere) {
        throw platform::Failure(
            QStringLiteral("Drive %1 was unmounted or replaced during the run; its times are "
                           "not valid and were not exported")
                .arg(result_.driveShown));
    }
    if (!localFolderStillThere) {
        throw platform::Failure(
            QStringLiteral("The folder %1 of the local test file was unmounted or replaced "
                           "during the run; the times are not valid and were not exported")
                .arg(platform::displayPath(state_.localFolderPath)));
    }
    closeFolders();
}

// From the result as it stands: a drive change during a wait emptied the times shown so far.
void SpeedTest::exportTimes() {
    if (platform::ClipboardService* clipboard = services_.clipboard) {
        clipboard->clear();
        clipboard->setText(resultLine(result_));
    }
    result_.complete = true;
}

// The program is ending. A file cut short is no clean test file; a copy removed its own,
// complete files stay.
void SpeedTest::endStopped() noexcept {
    state_.ending = true;
    services_.files.abandonOutput();
    if (!state_.creating) return;
    try {
        services_.files.removeOwnFile(state_.localFolder, testFileName());
    } catch (const std::exception&) {
    }
}

QStringList SpeedTest::fail(const std::exception& failure) {
    services_.files.abandonOutput();
    const QString message = failureMessage(failure);
    if (state_.localCopyExists) {
        // Best effort: the message is about the original failure.
        try {
            services_.files.removeOwnFile(state_.localFolder, testFileName());
        } catch (const std::exception&) {
        }
    }
    closeFolders();
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
            volumes.append({QStringLiteral("the volume of %1")
                                .arg(platform::displayPath(state_.localFolderPath)),
                            {}});
        }
        if (phase == Phase::Write || phase == Phase::None) {
            paths.append(result_.mountRoot);
            volumes.append({QStringLiteral("drive %1").arg(result_.driveShown), {}});
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
        message += QStringLiteral(
                       "\nWhere the drive still holds it, the run's copy of the test file stays "
                       "at %1; the next run on that drive removes it.")
                       .arg(platform::displayPath(state_.targetPath));
    }
    return message;
}

}  // namespace measure
