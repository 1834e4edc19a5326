#pragma once

namespace platform {
class Clock;
class FileService;
class ProcessService;
class ClipboardService;
class PointerService;
class MessageBoxService;
}  // namespace platform

namespace measure {

class RunView;
class PhaseRunner;

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
    void Command1_Click();

private:
    RunView& view_;
    RunServices services_;
};

}  // namespace measure
