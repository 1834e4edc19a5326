#pragma once

#include "measure/steprunner.h"

namespace platform {
class OffThread;
}

namespace measure {

// Runs each step off the calling (window) thread and waits for it with the window live, for
// as long as it takes or up to its limit: a stop request ends the work at its next chunk. A
// failure of the work is rethrown on the calling thread.
class ThreadedStepRunner : public StepRunner {
public:
    explicit ThreadedStepRunner(platform::OffThread& offThread) : offThread_(offThread) {}

protected:
    bool runStep(const std::function<void()>& work, Limit limit) override;

private:
    platform::OffThread& offThread_;
};

}  // namespace measure
