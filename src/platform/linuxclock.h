#pragma once

#include <ctime>
#include <memory>
#include <mutex>

#include "platform/clock.h"

namespace platform {

// Time of day that moves with CLOCK_MONOTONIC. The local time of day is read from the real-time
// clock once, at construction; later wall-clock steps (NTP, daylight saving) leave every
// interval untouched.
class LinuxClock : public Clock {
public:
    LinuxClock();
    // Starts the reading at the given local time of day (seconds); lets tests place it near
    // midnight.
    explicit LinuxClock(double timeOfDayNow);

    ~LinuxClock() override;
    LinuxClock(const LinuxClock&) = delete;
    LinuxClock& operator=(const LinuxClock&) = delete;

    double secondsSinceLocalMidnight() override;
    // A watch counts the SIGCONTs that come (platform::continuesSoFar) and measures a stop's
    // length with a thread that ticks every 20 ms meanwhile: a stop shows as a gap between ticks.
    void beginStopWatch() override;
    Stops endStopWatch() override;

private:
    static double monotonicSeconds();
    class StopWatch;

    double offset_ = 0.0;  // time of day minus the monotonic reading
    std::mutex watchMutex_;
    std::unique_ptr<StopWatch> watch_;
};

}  // namespace platform
