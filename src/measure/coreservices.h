#pragma once

namespace platform {
class Clock;
class EventPump;
class FileService;
class InputGate;
class ProcessService;
class VolumeQueries;
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
    // The free space of volumes, to refuse a size that cannot fit.
    platform::VolumeQueries& volumes;
};

}  // namespace measure
