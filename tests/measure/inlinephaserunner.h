#pragma once

#include "measure/phaserunner.h"

namespace measure {

// Runs the phase on the calling thread; nothing else happens until it is done.
class InlinePhaseRunner : public PhaseRunner {
protected:
    void runPhase(const std::function<void()>& work) override { work(); }
};

}  // namespace measure
