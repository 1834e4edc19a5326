#pragma once

namespace platform {
class Clock;
class EventPump;
class FileService;
class InputGate;
class ProcessService;
}  // namespace platform

namespace measure {

class StepRunner;

// The services a run needs in either front end, built once by main().
struct CoreServices {
    platform::Clock& clock;
    platform::EventPump& pump;
    platform::FileService& files;
    platform::ProcessService& process;
    StepRunner& phases;
    // Holds back the window's input while a step works; without a window nothing is held.
    platform::InputGate& input;
};

}  // namespace measure
