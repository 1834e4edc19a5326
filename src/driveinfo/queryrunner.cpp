#include "driveinfo/queryrunner.h"

#include <QTimer>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace driveinfo {

namespace {

// What a detached query thread and its waiter share; whoever comes last frees it.
struct Completion {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
};

void startDetached(std::function<void()> work, std::shared_ptr<Completion> completion) {
    std::thread([work = std::move(work), completion = std::move(completion)] {
        try {
            work();
        } catch (...) {
            // The work records its own failures; nothing may leave the thread.
        }
        const std::lock_guard<std::mutex> lock(completion->mutex);
        completion->done = true;
        completion->finished.notify_all();
    }).detach();
}

}  // namespace

QList<bool> InlineQueryRunner::runAll(const std::vector<std::function<void()>>& work) {
    QList<bool> answered;
    for (const auto& item : work) {
        item();
        answered.append(true);
    }
    return answered;
}

void InlineQueryRunner::runThen(QObject*, std::function<void()> work,
                                std::function<void(bool)> done) {
    work();
    done(true);
}

InlineQueryRunner& inlineQueries() {
    static InlineQueryRunner runner;
    return runner;
}

ThreadedQueryRunner::ThreadedQueryRunner(std::chrono::milliseconds limit) : limit_(limit) {}

QList<bool> ThreadedQueryRunner::runAll(const std::vector<std::function<void()>>& work) {
    std::vector<std::shared_ptr<Completion>> completions;
    for (const auto& item : work) {
        completions.push_back(std::make_shared<Completion>());
        startDetached(item, completions.back());
    }
    // One deadline for all: the items run side by side.
    const auto deadline = std::chrono::steady_clock::now() + limit_;
    QList<bool> answered;
    for (const auto& completion : completions) {
        std::unique_lock<std::mutex> lock(completion->mutex);
        answered.append(
            completion->finished.wait_until(lock, deadline, [&] { return completion->done; }));
    }
    return answered;
}

void ThreadedQueryRunner::runThen(QObject* context, std::function<void()> work,
                                  std::function<void(bool)> done) {
    auto completion = std::make_shared<Completion>();
    startDetached(std::move(work), completion);
    // The worker touches no Qt object: a timer on the context's thread looks for its end. The
    // timer is the context's child, so nothing is reported once the context is gone.
    auto* watch = new QTimer(context);
    const auto deadline = std::chrono::steady_clock::now() + limit_;
    QObject::connect(watch, &QTimer::timeout, watch, [watch, completion, deadline, done] {
        bool finished = false;
        {
            const std::lock_guard<std::mutex> lock(completion->mutex);
            finished = completion->done;
        }
        if (!finished && std::chrono::steady_clock::now() < deadline) return;
        watch->stop();
        watch->deleteLater();
        done(finished);
    });
    watch->start(std::chrono::milliseconds(10));
}

}  // namespace driveinfo
