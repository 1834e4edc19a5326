#pragma once

#include <ctime>

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

    double secondsSinceLocalMidnight() override;

private:
    static double monotonicSeconds();

    double offset_ = 0.0;  // time of day minus the monotonic reading
};

}  // namespace platform
