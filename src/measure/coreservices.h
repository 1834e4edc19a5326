#pragma once

namespace platform {
class Clock;
class EventPump;
class FileService;
class OffThread;
class ProcessService;
class VolumeQueries;
}  // namespace platform

namespace driveinfo {
class DriveAnswers;
}

namespace measure {

class InputGate;
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
    InputGate& input;
    // The free space of volumes, to refuse a size that cannot fit.
    platform::VolumeQueries& volumes;
    // Whether a drive still answers, asked before a run opens it; the window's drive panel
    // keeps the drives it found stalled there too.
    driveinfo::DriveAnswers& driveAnswers;
};

}  // namespace measure
