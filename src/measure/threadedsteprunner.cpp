#include "measure/threadedsteprunner.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QPointer>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

#include "platform/qteventpump.h"

namespace measure {

// Application-wide filter that keeps user input away from the window during a phase.
class ThreadedStepRunner::InputHold : public QObject {
public:
    explicit InputHold(const ThreadedStepRunner& runner) : runner_(runner) {}

    void begin() {
        held_.clear();
        QCoreApplication::instance()->installEventFilter(this);
    }

    // Stops holding and posts what was held, in its original order.
    void end() {
        QCoreApplication::instance()->removeEventFilter(this);
        std::vector<HeldEvent> held = std::move(held_);
        held_.clear();
        for (HeldEvent& item : held) {
            if (item.receiver) QCoreApplication::postEvent(item.receiver, item.event.release());
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!platform::isUserInput(event->type())) return false;
        if (runner_.inputPasses(watched, event)) return false;
        // Moves only matter by where they end; keep the latest of a run of moves.
        if (event->type() == QEvent::MouseMove && !held_.empty() &&
            held_.back().event->type() == QEvent::MouseMove && held_.back().receiver == watched) {
            held_.back().event.reset(event->clone());
        } else {
            held_.push_back({QPointer<QObject>(watched), std::unique_ptr<QEvent>(event->clone())});
        }
        // A refused close keeps the window open until its request is handled; accepted input
        // is not passed on to the parent widgets.
        if (event->type() == QEvent::Close) {
            event->ignore();
        } else {
            event->accept();
        }
        return true;
    }

private:
    struct HeldEvent {
        QPointer<QObject> receiver;
        std::unique_ptr<QEvent> event;
    };

    const ThreadedStepRunner& runner_;
    std::vector<HeldEvent> held_;
};

ThreadedStepRunner::ThreadedStepRunner() : hold_(std::make_unique<InputHold>(*this)) {}

ThreadedStepRunner::~ThreadedStepRunner() = default;

void ThreadedStepRunner::runStep(const std::function<void()>& work) {
    // Without an application there is no loop to keep turning; a nested phase already has one.
    if (QCoreApplication::instance() == nullptr || nested()) {
        work();
        return;
    }

    hold_->begin();

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
    // User input reaches the hold, which keeps it for the next wait unless it passes.
    loop.exec();
    // exec() returns early when the application is told to quit (QUIT during the phase): the
    // work stops at its next chunk, or when the kernel lets it go. Meanwhile the window system
    // is still served (the hidden window, the clipboard), the user no more.
    while (!finished) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents |
                                        QEventLoop::ExcludeUserInputEvents);
    }
    worker.join();

    hold_->end();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace measure
