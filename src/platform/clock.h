#pragma once

namespace platform {

// Stops of the whole process (SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU) within one watch. A stop is
// seen by the SIGCONT that ends it; seconds is how long the stops lasted, to a few hundredths.
struct Stops {
    int count = 0;
    double seconds = 0.0;
};

// Seconds since local midnight, in [0, 86400). Implementations derive it from a monotonic
// source so that a wall-clock step can never distort an interval. A monotonic clock runs on
// while the process is stopped, so the clock also tells whether an interval held a stop.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double secondsSinceLocalMidnight() = 0;
    // Starts watching for stops of the process; one watch at a time, ended from any thread.
    virtual void beginStopWatch() = 0;
    // Ends the watch and returns the stops seen since beginStopWatch.
    virtual Stops endStopWatch() = 0;
};

}  // namespace platform
