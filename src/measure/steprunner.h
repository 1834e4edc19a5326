#pragma once

#include <functional>

namespace measure {

// Runs one step of a run to completion, a timed phase or untimed work on a drive, and rethrows
// its failure. The threaded implementation keeps the window thread's event loop turning
// meanwhile (repaint, desktop pings) while its input gate holds back user input until the next
// wait.
class StepRunner {
public:
    virtual ~StepRunner() = default;

    void run(const std::function<void()>& work) {
        ++depth_;
        struct Leave {
            int& depth;
            ~Leave() { --depth; }
        } leave{depth_};
        runStep(work);
    }

    // True while a step runs; the window defers its own refreshes meanwhile. Read and written
    // on the window thread only.
    bool busy() const { return depth_ > 0; }

protected:
    // True inside a phase started from within another phase.
    bool nested() const { return depth_ > 1; }
    virtual void runStep(const std::function<void()>& work) = 0;

private:
    int depth_ = 0;
};

}  // namespace measure
