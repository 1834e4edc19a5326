#pragma once

#include <exception>
#include <functional>
#include <thread>

#include "measure/steprunner.h"

namespace measure {

// Runs work on a thread of its own and waits for it, handing on what it threw.
inline void runJoined(const std::function<void()>& work) {
    std::exception_ptr failure;
    std::thread([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
    }).join();
    if (failure) std::rethrow_exception(failure);
}

// Runs the step on a thread of its own and waits for it: nothing else happens until it is done,
// and the work runs off the test's (the window's) thread, as in the program. Fakes do not stall,
// so the limit is never reached.
class InlineStepRunner : public StepRunner {
protected:
    bool runStep(const std::function<void()>& work, Limit) override {
        runJoined(work);
        return true;
    }
};

}  // namespace measure
