#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <atomic>
#include <exception>
#include <functional>
#include <memory>

#include "measure/runresult.h"
#include "ownership/folders.h"
#include "ownership/journal.h"
#include "ownership/ownfiles.h"
#include "platform/files.h"

namespace platform {
class Clock;
class ProcessService;
class ClipboardService;
class PointerService;
class MessageBoxService;
class VolumeQueries;
}  // namespace platform

namespace driveinfo {
class DriveLiveness;
}

namespace measure {

class RunView;
class StepRunner;

struct RunServices {
    platform::Clock& clock;
    platform::FileService& files;
    platform::ProcessService& process;
    // Where the times go as a line; none where the front end writes them itself.
    platform::ClipboardService* clipboard;
    platform::PointerService& pointer;
    platform::MessageBoxService& messages;
    StepRunner& steps;
    // Asked before the run opens its drive, so that a drive that never answers fails the run
    // instead of holding it.
    driveinfo::DriveLiveness& liveness;
    // The free space of the local test folder and of the drive, to refuse a size that cannot
    // fit before anything is written; without it every size is tried.
    platform::VolumeQueries* volumes = nullptr;
    // How the front end's user tries again after a refusal.
    ownership::Retry retry = ownership::Retry::PressStart;
};

// Where a run is, for a terminal's progress line. Written with relaxed stores by the phases and
// read from any thread.
struct RunProgress {
    std::atomic<Phase> phase{Phase::None};
    std::atomic<qint64> bytesDone{0};
    std::atomic<qint64> totalBytes{0};
};

// The START run: create the test file, copy it to the drive and back, check what came back, show
// and export the times.
class SpeedTest {
public:
    SpeedTest(RunView& view, RunServices services);
    ~SpeedTest();
    SpeedTest(const SpeedTest&) = delete;
    SpeedTest& operator=(const SpeedTest&) = delete;

    // What START does: returns when the run is over, succeeded, failed or stopped.
    void run();

    // The one stop channel (QUIT, the close box, an end signal): the program ends; the current
    // phase stops at its next chunk and the run at its next wait. The file the phase cut short
    // is removed; complete test files stay. run() then returns without a message, without
    // touching the clipboard and without giving START back.
    void stop();
    // A change of drive: the times shown so far are no longer the drive's, and a line exported
    // later carries them empty.
    void clearTimes() { result_.clearTimes(); }
    // Removes the test files this run made and still owns, found by what it recorded of them,
    // never by what a path names now; then closes the run's folders. Off the window thread.
    void removeRunFiles() noexcept;
    // True from START until the run is over: the one answer to "is a run in progress".
    bool running() const { return running_.load(std::memory_order_relaxed); }
    // Where the local test file goes; by default the rule of ownership::testFileFolder.
    void setTestFolderFinder(std::function<ownership::TestFolder()> finder) {
        findTestFolder_ = std::move(finder);
    }
    const RunProgress& progress() const { return progress_; }
    const RunResult& result() const { return result_; }

private:
    // What one run holds from START to its end. The folders stay open after a stop, so that
    // removeRunFiles still finds the run's files by their descriptors.
    struct State {
        int localFolder = 0;
        int driveFolder = 0;
        QString localFolderPath;
        bool localFolderPrivate = false;
        QString localPath;
        QString targetPath;
        int lines = 0;
        QString roomCheckedFor;        // the drive whose room was checked before the create
        bool localCopyExists = false;  // our own local test file is on disk
        bool driveCopyExists = false;  // our own complete copy is on the drive
        bool phaseStopped = false;     // the process was stopped inside a timed phase
        bool madeLocal = false;        // the run made a file in the local folder
        bool madeOnDrive = false;      // the run made a file on the drive
        bool creating = false;         // the local file is still being written
        bool ending = false;           // the program ends: START and the pointer stay
    };
    class BusyWhileRunning;

    // The steps, in their order; each throws on a failure.
    QStringList runSteps();
    bool waitAndGoOn();
    void create();
    void checkRoom(const QString& mountRoot, bool withLocal);
    void makeWayOnDrive(const QString& mountRoot);
    void openDrive();
    void write();
    void dropCacheBelow();
    void read();
    void checkReadBack();
    void removeAndVerify();
    void exportTimes();
    // The ways out: a stop leaves complete files; a failure removes the local copy and
    // returns the messages to show.
    void endStopped() noexcept;
    QStringList fail(const std::exception& failure);
    QString failureMessage(const std::exception& failure);

    bool stopRequested() const { return stop_.load(std::memory_order_relaxed); }
    void startPhase(Phase phase);
    // Throws when what is at the test file's place is not to be touched; else records the file
    // about to be made there.
    void claimTestFile(int folder, const QString& folderPath, bool privateFolder);
    // The failure as the user reads it: a volume the run had written to that refuses with
    // "Read-only file system" turned read-only during the run, and that is the news.
    QString describe(const std::exception& failure) const;
    // Runs one timed phase and returns its elapsed value; throws when the process was stopped
    // meanwhile, as the time then holds the stop.
    double timePhase(const std::function<void()>& work);
    // Times one phase and hands its time to the front end.
    void timed(Phase phase, const std::function<void()>& work);
    // Runs work off the window thread, outside every timed interval.
    void runUntimed(const std::function<void()>& work);
    // The way out's work on the files, off the window thread and given up after a limit, so
    // that a drive that stopped answering holds neither the window nor the program's end.
    struct Cleanup {
        bool abandonOutput = false;
        bool removeLocal = false;     // the local test file
        bool removeRunFiles = false;  // every file the run made and still owns
        bool closeFolders = false;
        bool closeDrive = false;  // the drive's folder only
    };
    void cleanUp(Cleanup what) noexcept;

    RunView& view_;
    RunServices services_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    RunProgress progress_;
    RunResult result_;
    State state_;
    // Shared with the clean-up work, which may outlive this object on a drive that stalls.
    std::shared_ptr<ownership::Journal> journal_;
    std::shared_ptr<ownership::OwnFiles> ownFiles_ =
        std::make_shared<ownership::OwnFiles>(services_.files, journal_);
    // The display going away ends the window through exit(); the run's files go first.
    ownership::RemoveOwnFilesAtExit removeAtExit_{*ownFiles_};
    std::function<ownership::TestFolder()> findTestFolder_;
};

}  // namespace measure
