#pragma once

#include "measure/steprunner.h"

namespace measure {

// Runs the phase on the calling thread; nothing else happens until it is done.
class InlineStepRunner : public StepRunner {
protected:
    void runStep(const std::function<void()>& work) override { work(); }
};

}  // namespace measure
