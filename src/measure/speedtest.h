#pragma once

#include <QString>
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
class PhaseRunner;

// How far the current phase is, for a progress display; relaxed atomic stores only.
struct RunProgress {
    std::atomic<int> phase{0};  // 0 none, 1 create, 2 write, 3 read
    std::atomic<qint64> bytesDone{0};
    std::atomic<qint64> totalBytes{0};
};

struct RunServices {
    platform::Clock& clock;
    platform::FileService& files;
    platform::ProcessService& process;
    platform::ClipboardService& clipboard;
    platform::PointerService& pointer;
    platform::MessageBoxService& messages;
    PhaseRunner& phases;
};

// The START run: create the test file, copy it to the drive and back, show and export the times.
class SpeedTest {
public:
    SpeedTest(RunView& view, RunServices services);
    // What START does: returns when the run is over, succeeded or failed.
    void run();
    // Thread-safe; stops the current phase at its next chunk.
    void requestStop();
    // Removes the test files this run created and still owns.
    void removeRunFiles() noexcept;
    bool running() const;
    const RunProgress& progress() const;

private:
    // How the run may create the test file at path; throws when what is there is the user's.
    platform::CreateMode claimTestFile(const QString& path);
    // Runs one timed phase and returns its elapsed value.
    float timePhase(const std::function<void()>& work);

    RunView& view_;
    RunServices services_;
    RunProgress progress_;
};

}  // namespace measure
