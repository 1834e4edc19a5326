#pragma once

#include <chrono>
#include <functional>

class QObject;

namespace platform {

// The one way to run work that may block in the kernel (a stalled FUSE daemon, a lost server, a
// long copy) off the window thread. Its end reaches the caller through the caller's event loop
// as a queued call; nothing polls for it.
class OffThread {
public:
    using Limit = std::chrono::milliseconds;
    static constexpr Limit kNoLimit = Limit::max();

    virtual ~OffThread() = default;

    // Starts work and returns at once. done(true) runs on context's thread once work returned,
    // done(false) once limit passed first, and nothing after that; nothing once context is gone.
    // Work given up goes on by itself, so it must own what it uses (shared_ptr).
    virtual void start(QObject* context, std::function<void()> work,
                       std::function<void(bool answered)> done, Limit limit = kNoLimit) = 0;

    // Runs work and waits for it while this thread's event loop turns: the window stays live
    // while its input gate holds back the user's input. True once work returned (its failure is
    // rethrown here), false once limit passed first; work given up must own what it uses. When
    // the application is told to quit meanwhile, the wait goes on serving all but input.
    virtual bool wait(std::function<void()> work, Limit limit = kNoLimit) = 0;
};

// Runs everything in place and reports it answered: for fakes in tests, and where no event loop
// could turn.
class InPlace : public OffThread {
public:
    void start(QObject* context, std::function<void()> work,
               std::function<void(bool answered)> done, Limit limit = kNoLimit) override;
    bool wait(std::function<void()> work, Limit limit = kNoLimit) override;
};
InPlace& inPlace();

}  // namespace platform
