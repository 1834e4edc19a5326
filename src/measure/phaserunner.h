#pragma once

#include <functional>

namespace measure {

// Runs one timed phase to completion and rethrows its failure. The threaded implementation
// keeps the window thread's event loop turning meanwhile (repaint, desktop pings) but holds
// back user input and anything else that would run a window handler until the next wait.
class PhaseRunner {
public:
    virtual ~PhaseRunner() = default;

    void run(const std::function<void()>& work) {
        ++depth_;
        struct Leave {
            int& depth;
            ~Leave() { --depth; }
        } leave{depth_};
        runPhase(work);
    }

    // True while a phase runs; the window defers its own refreshes meanwhile. Read and written
    // on the window thread only.
    bool busy() const { return depth_ > 0; }

protected:
    // True inside a phase started from within another phase.
    bool nested() const { return depth_ > 1; }
    virtual void runPhase(const std::function<void()>& work) = 0;

private:
    int depth_ = 0;
};

}  // namespace measure
