#pragma once

namespace platform {
class Clock;
class EventPump;
class FileService;
class InputGate;
class OffThread;
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
    // Work that may block on a drive runs there, off the window thread.
    platform::OffThread& offThread;
    StepRunner& steps;
    // Holds back the window's input while a wait lasts; without a window nothing is held.
    platform::InputGate& input;
};

}  // namespace measure
