#include "platform/linuxclock.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <thread>

#include "platform/endsignals.h"

namespace platform {

namespace {

constexpr double secondsPerDay = 86400.0;
constexpr std::chrono::milliseconds kTick{20};

double localTimeOfDay(const timespec& now) {
    tm local{};
    const time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    // tm_sec may be 60 during a leap second; the wrap below keeps the result in range.
    return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + now.tv_nsec / 1e9;
}

}  // namespace

// Ticks until it is ended; the time between two ticks beyond one tick's length is time the
// process did not run (a stop, or a machine too busy to wake the thread).
class LinuxClock::StopWatch {
public:
    StopWatch() : continuesAtStart_(continuesSoFar()), lastTick_(monotonicSeconds()) {
        ticker_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            while (!ending_) {
                tick();
                wake_.wait_for(lock, kTick);
            }
        });
    }
    Stops end() {
        {
            std::lock_guard lock(mutex_);
            ending_ = true;
            tick();
        }
        wake_.notify_all();
        ticker_.join();
        Stops stops;
        stops.count = int(continuesSoFar() - continuesAtStart_);
        if (stops.count > 0) stops.seconds = gaps_;
        return stops;
    }

private:
    // With mutex_ held.
    void tick() {
        const double now = monotonicSeconds();
        const double tickSeconds = std::chrono::duration<double>(kTick).count();
        gaps_ += std::max(0.0, now - lastTick_ - tickSeconds);
        lastTick_ = now;
    }

    const unsigned long continuesAtStart_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool ending_ = false;
    double lastTick_;
    double gaps_ = 0.0;
    std::thread ticker_;
};

LinuxClock::LinuxClock() {
    timespec realNow{};
    clock_gettime(CLOCK_REALTIME, &realNow);
    offset_ = localTimeOfDay(realNow) - monotonicSeconds();
}

LinuxClock::LinuxClock(double timeOfDayNow) : offset_(timeOfDayNow - monotonicSeconds()) {}

LinuxClock::~LinuxClock() {
    endStopWatch();
}

void LinuxClock::beginStopWatch() {
    endStopWatch();
    std::lock_guard lock(watchMutex_);
    watch_ = std::make_unique<StopWatch>();
}

Stops LinuxClock::endStopWatch() {
    std::unique_ptr<StopWatch> watch;
    {
        std::lock_guard lock(watchMutex_);
        watch = std::move(watch_);
    }
    return watch ? watch->end() : Stops{};
}

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
