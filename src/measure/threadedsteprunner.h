#pragma once

#include <memory>

#include "measure/steprunner.h"

namespace measure {

// Runs each phase on a worker thread while the calling (window) thread turns a local event
// loop: the window repaints and answers the desktop, but no click, key or close request is
// handled, except input the window lets pass (setInputThatPasses). Held input is posted again
// when the phase ends, so it is handled at the next wait. A failure of the work is rethrown on
// the calling thread. When the application is told to quit during a phase, the runner still
// waits for the work (which a stop request ends at its next chunk) before it returns.
class ThreadedStepRunner : public StepRunner {
public:
    ThreadedStepRunner();
    ~ThreadedStepRunner() override;
    ThreadedStepRunner(const ThreadedStepRunner&) = delete;
    ThreadedStepRunner& operator=(const ThreadedStepRunner&) = delete;

protected:
    void runStep(const std::function<void()>& work) override;

private:
    class InputHold;
    std::unique_ptr<InputHold> hold_;
};

}  // namespace measure
