#pragma once

#include <QList>
#include <QObject>
#include <chrono>
#include <functional>
#include <vector>

namespace driveinfo {

// Runs drive queries (labels, sizes, mount checks) that may never return: a FUSE daemon that
// stopped or a network server that went away blocks the calling thread inside the kernel.
// Work handed in must own what it uses (shared_ptr: its result slot and the services it calls),
// since work that does not answer in time is abandoned, not waited for, and may outlive
// whoever asked.
class QueryRunner {
public:
    virtual ~QueryRunner() = default;
    // Runs every item, in parallel where it can, and waits for them up to the time limit.
    // For each item: true when it returned in time.
    virtual QList<bool> runAll(const std::vector<std::function<void()>>& work) = 0;
    // Runs work, then calls done(answered) on context's thread; never after context is gone.
    virtual void runThen(QObject* context, std::function<void()> work,
                         std::function<void(bool answered)> done) = 0;
    // False where every query answers by construction (in place).
    virtual bool mayNotAnswer() const { return true; }
};

// Runs everything in place on the calling thread and reports it answered: for fakes in tests.
class InlineQueryRunner : public QueryRunner {
public:
    QList<bool> runAll(const std::vector<std::function<void()>>& work) override;
    void runThen(QObject* context, std::function<void()> work,
                 std::function<void(bool answered)> done) override;
    bool mayNotAnswer() const override { return false; }
};
InlineQueryRunner& inlineQueries();

// Each item on a thread of its own that is never joined: one stuck in the kernel stays there
// and costs nothing but itself. done is delivered through context's event loop.
class ThreadedQueryRunner : public QueryRunner {
public:
    explicit ThreadedQueryRunner(std::chrono::milliseconds limit = std::chrono::seconds(3));
    QList<bool> runAll(const std::vector<std::function<void()>>& work) override;
    void runThen(QObject* context, std::function<void()> work,
                 std::function<void(bool answered)> done) override;

private:
    std::chrono::milliseconds limit_;
};

}  // namespace driveinfo
