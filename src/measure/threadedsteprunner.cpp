#include "measure/threadedsteprunner.h"

#include "platform/offthread.h"

namespace measure {

bool ThreadedStepRunner::runStep(const std::function<void()>& work, Limit limit) {
    // Without a limit the wait outlasts the work, so the work may use what the caller holds.
    return offThread_.wait(work, limit);
}

}  // namespace measure
