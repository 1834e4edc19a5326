#include "measure/threadedsteprunner.h"

#include "platform/offthread.h"

namespace measure {

void ThreadedStepRunner::runStep(const std::function<void()>& work) {
    // Without a limit the wait outlasts the work, so the work may use what the caller holds.
    offThread_.wait(work);
}

}  // namespace measure
