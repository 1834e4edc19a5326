#pragma once

#include "measure/steprunner.h"

namespace platform {
class InputGate;
}

namespace measure {

// Runs each phase on a worker thread while the calling (window) thread turns a local event
// loop: the window repaints and answers the desktop, while the input gate holds back user input
// until the next wait, except what its rule lets pass. A failure of the work is rethrown on the
// calling thread. When the application is told to quit during a phase, the runner still waits
// for the work (which a stop request ends at its next chunk) before it returns. Without a gate
// (no window, as on the command line) there is no input to hold.
class ThreadedStepRunner : public StepRunner {
public:
    explicit ThreadedStepRunner(platform::InputGate* input = nullptr) : input_(input) {}

protected:
    void runStep(const std::function<void()>& work) override;

private:
    platform::InputGate* input_;
};

}  // namespace measure
