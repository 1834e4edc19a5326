#include "platform/qtoffthread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/inputhold.h"

namespace platform {

namespace {

// Takes the end of one piece of work on the waiting thread. While it lives, the work's thread
// may post to it; its destructor tells that thread it has gone.
class Relay : public QObject {
public:
    struct Job {
        std::mutex mutex;
        Relay* relay = nullptr;
        std::function<void()> work;
        std::exception_ptr failure;
    };

    explicit Relay(QObject* parent) : QObject(parent), job_(std::make_shared<Job>()) {
        job_->relay = this;
    }
    ~Relay() override {
        const std::lock_guard<std::mutex> lock(job_->mutex);
        job_->relay = nullptr;
    }
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    const std::shared_ptr<Job>& job() const { return job_; }

    // done(answered) runs once: when the work returned, or when limit passed first.
    void launch(std::function<void()> work, OffThread::Limit limit,
                std::function<void(bool)> done) {
        done_ = std::move(done);
        job_->work = std::move(work);
        if (limit != OffThread::kNoLimit) {
            timer_.setSingleShot(true);
            connect(&timer_, &QTimer::timeout, this, [this] { report(false); });
            timer_.start(limit);
        }
        std::thread([job = job_] {
            try {
                job->work();
            } catch (...) {
                job->failure = std::current_exception();
            }
            const std::lock_guard<std::mutex> lock(job->mutex);
            if (Relay* relay = job->relay) {
                QMetaObject::invokeMethod(
                    relay, [relay] { relay->arrived(); }, Qt::QueuedConnection);
            }
        }).detach();
    }

private:
    // The work's end, posted under the job's lock: taking it once more orders everything the
    // work wrote before what the caller reads, in a way the thread checkers can see too.
    void arrived() {
        { const std::lock_guard<std::mutex> lock(job_->mutex); }
        report(true);
    }

    void report(bool answered) {
        if (reported_) return;
        reported_ = true;
        timer_.stop();
        done_(answered);
    }

    std::shared_ptr<Job> job_;
    std::function<void(bool)> done_;
    QTimer timer_;
    bool reported_ = false;
};

}  // namespace

void QtOffThread::start(QObject* context, std::function<void()> work,
                        std::function<void(bool)> done, Limit limit) {
    // A child of the context: it goes with it, and with it every report still to come.
    auto* relay = new Relay(context);
    relay->launch(std::move(work), limit, [relay, done = std::move(done)](bool answered) {
        relay->deleteLater();
        done(answered);
    });
}

bool QtOffThread::wait(std::function<void()> work, Limit limit) {
    // Without an application there is no loop to turn.
    if (QCoreApplication::instance() == nullptr) {
        work();
        return true;
    }
    QEventLoop loop;
    bool ended = false;
    bool answered = false;
    Relay relay(nullptr);
    if (input_) input_->beginStep();
    relay.launch(std::move(work), limit, [&](bool inTime) {
        ended = true;
        answered = inTime;
        loop.quit();
    });
    // User input reaches the gate, which keeps it for the next wait unless it passes.
    loop.exec();
    // exec() returns early when the application is told to quit (QUIT during the wait): the
    // work stops at its next chunk, or when the kernel lets it go. Meanwhile the window system
    // is still served (the hidden window, the clipboard), the user no more.
    while (!ended) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents |
                                        QEventLoop::ExcludeUserInputEvents);
    }
    if (input_) input_->endStep();
    if (answered && relay.job()->failure) std::rethrow_exception(relay.job()->failure);
    return answered;
}

void InPlace::start(QObject*, std::function<void()> work, std::function<void(bool)> done, Limit) {
    work();
    done(true);
}

bool InPlace::wait(std::function<void()> work, Limit) {
    work();
    return true;
}

InPlace& inPlace() {
    static InPlace runner;
    return runner;
}

}  // namespace platform
