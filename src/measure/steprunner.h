#pragma once

#include <functional>

namespace measure {

// Runs one step of a run to completion, a timed phase or untimed work on a drive, and rethrows
// its failure. The threaded implementation keeps the window live meanwhile.
class StepRunner {
public:
    virtual ~StepRunner() = default;

    void run(const std::function<void()>& work) {
        busy_ = true;
        struct Leave {
            bool& busy;
            ~Leave() { busy = false; }
        } leave{busy_};
        runStep(work);
    }

    // True while a step runs; the window defers its own refreshes meanwhile. Read and written
    // on the window thread only.
    bool busy() const { return busy_; }

protected:
    virtual void runStep(const std::function<void()>& work) = 0;

private:
    bool busy_ = false;
};

}  // namespace measure
