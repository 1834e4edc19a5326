#pragma once

#include <functional>

namespace measure {

// Runs one timed phase to completion and rethrows its failure. The threaded implementation
// keeps the window thread's event loop turning meanwhile (repaint, desktop pings) but holds
// back user input and anything else that would run a window handler until the next wait.
class PhaseRunner {
public:
    virtual ~PhaseRunner() = default;
    virtual void run(const std::function<void()>& work) = 0;
};

}  // namespace measure
