#pragma once

namespace platform {

// Seconds since local midnight, in [0, 86400). Implementations derive it from a monotonic
// source so that a wall-clock step can never distort an interval.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double secondsSinceLocalMidnight() = 0;
};

}  // namespace platform
