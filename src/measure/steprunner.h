#pragma once

#include <chrono>
#include <functional>

namespace measure {

// Runs one step of a run to completion, a timed phase or untimed work on a drive, and rethrows
// its failure. The threaded implementation keeps the window live meanwhile.
class StepRunner {
public:
    using Limit = std::chrono::milliseconds;

    virtual ~StepRunner() = default;

    void run(const std::function<void()>& work) { runWithin(work, Limit::max()); }

    // As run(), but gives the work up after limit and returns false: for the clean-up on the way
    // out, which must not hold the window or the program's end on a drive that stopped
    // answering. Work given up goes on by itself, so it must own what it uses.
    bool runWithin(const std::function<void()>& work, Limit limit) {
        busy_ = true;
        struct Leave {
            bool& busy;
            ~Leave() { busy = false; }
        } leave{busy_};
        return runStep(work, limit);
    }

    // True while a step runs; the window defers its own refreshes meanwhile. Read and written
    // on the window thread only.
    bool busy() const { return busy_; }

protected:
    virtual bool runStep(const std::function<void()>& work, Limit limit) = 0;

private:
    bool busy_ = false;
};

}  // namespace measure
