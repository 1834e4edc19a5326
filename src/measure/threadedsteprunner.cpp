#include "measure/threadedsteprunner.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <atomic>
#include <exception>
#include <thread>

#include "platform/inputgate.h"

namespace measure {

void ThreadedStepRunner::runStep(const std::function<void()>& work) {
    // Without an application there is no loop to keep turning; a nested phase already has one.
    if (QCoreApplication::instance() == nullptr || nested()) {
        work();
        return;
    }

    if (input_) input_->beginStep();

    QEventLoop loop;
    std::exception_ptr failure;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        finished = true;
        // Queued, so it takes effect inside exec() even when the work was quicker than the start
        // of the loop.
        QMetaObject::invokeMethod(
            &loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    // User input reaches the gate, which keeps it for the next wait unless it passes.
    loop.exec();
    // exec() returns early when the application is told to quit (QUIT during the phase): the
    // work stops at its next chunk, or when the kernel lets it go. Meanwhile the window system
    // is still served (the hidden window, the clipboard), the user no more.
    while (!finished) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents |
                                        QEventLoop::ExcludeUserInputEvents);
    }
    worker.join();

    if (input_) input_->endStep();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace measure
