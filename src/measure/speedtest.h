#pragma once

#include <QString>
#include <QtGlobal>
#include <atomic>
#include <functional>

#include "platform/files.h"

namespace platform {
class Clock;
class ProcessService;
class ClipboardService;
class PointerService;
class MessageBoxService;
}  // namespace platform

namespace measure {

class RunView;
class StepRunner;

struct RunServices {
    platform::Clock& clock;
    platform::FileService& files;
    platform::ProcessService& process;
    platform::ClipboardService& clipboard;
    platform::PointerService& pointer;
    platform::MessageBoxService& messages;
    StepRunner& phases;
};

// Where a run is, for a terminal's progress line. Written with relaxed stores by the phases and
// read from any thread.
struct RunProgress {
    std::atomic<int> phase{0};  // 0 none, 1 create, 2 write, 3 read
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

    // Ends the current phase at its next chunk; thread-safe, and a plain atomic store, so a
    // signal handler may call it. The file the phase cut short is removed; complete test files
    // stay. run() then returns without a message, without touching the clipboard and without
    // enabling START again (the program is ending).
    void requestStop();
    // Removes the test files this run made and still owns, found by what it recorded of them,
    // never by what a path names now.
    void removeRunFiles() noexcept;
    bool running() const { return running_.load(std::memory_order_relaxed); }
    const RunProgress& progress() const { return progress_; }

private:
    bool stopRequested() const { return stop_.load(std::memory_order_relaxed); }
    // Throws when what is at the test file's place is not to be touched.
    void claimTestFile(int folder, const QString& path);
    // Runs one timed phase and returns its elapsed value.
    float timePhase(const std::function<void()>& work);
    // Runs work off the window thread, outside every timed interval.
    void runUntimed(const std::function<void()>& work);
    void closeFolders() noexcept;

    RunView& view_;
    RunServices services_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    RunProgress progress_;
    // The run's folders; they stay open after a stop, so that removeRunFiles still finds the
    // run's files by their descriptors.
    int localFolder_ = 0;
    int driveFolder_ = 0;
};

}  // namespace measure
