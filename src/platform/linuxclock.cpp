#include "platform/linuxclock.h"

#include <cmath>

namespace platform {

namespace {

constexpr double secondsPerDay = 86400.0;

double localTimeOfDay(const timespec& now) {
    tm local{};
    const time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    // tm_sec may be 60 during a leap second; the wrap below keeps the result in range.
    return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + now.tv_nsec / 1e9;
}

}  // namespace

LinuxClock::LinuxClock() {
    timespec realNow{};
    clock_gettime(CLOCK_REALTIME, &realNow);
    offset_ = localTimeOfDay(realNow) - monotonicSeconds();
}

LinuxClock::LinuxClock(double timeOfDayNow) : offset_(timeOfDayNow - monotonicSeconds()) {}

double LinuxClock::monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}

double LinuxClock::secondsSinceLocalMidnight() {
    double reading = std::fmod(monotonicSeconds() + offset_, secondsPerDay);
    if (reading < 0.0) reading += secondsPerDay;
    // fmod of a value just below a whole day can round up to the day itself.
    if (reading >= secondsPerDay) reading = 0.0;
    return reading;
}

}  // namespace platform
