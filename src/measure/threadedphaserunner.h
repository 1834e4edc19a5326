#pragma once

#include <memory>

#include "measure/phaserunner.h"

namespace measure {

// Runs each phase on a worker thread while the calling (window) thread turns a local event
// loop without user input: the window repaints and answers the desktop, but no click, key or
// close request is handled. Such input that is delivered anyway (sent directly rather than
// through the window system) is held back and posted again when the phase ends, so it is
// handled at the next wait. A failure of the work is rethrown on the calling thread.
class ThreadedPhaseRunner : public PhaseRunner {
public:
    ThreadedPhaseRunner();
    ~ThreadedPhaseRunner() override;
    ThreadedPhaseRunner(const ThreadedPhaseRunner&) = delete;
    ThreadedPhaseRunner& operator=(const ThreadedPhaseRunner&) = delete;

protected:
    void runPhase(const std::function<void()>& work) override;

private:
    class InputHold;
    std::unique_ptr<InputHold> hold_;
};

}  // namespace measure
