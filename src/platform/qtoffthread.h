#pragma once

#include "platform/offthread.h"

namespace platform {

class InputHold;

// Each piece of work on a thread of its own that is never joined: one stuck in the kernel stays
// there and costs nothing but itself. A wait turns a local event loop and closes the input
// gate, when one is given, for as long as it lasts.
class QtOffThread : public OffThread {
public:
    explicit QtOffThread(InputHold* input = nullptr) : input_(input) {}

    void start(QObject* context, std::function<void()> work,
               std::function<void(bool answered)> done, Limit limit = kNoLimit) override;
    bool wait(std::function<void()> work, Limit limit = kNoLimit) override;

private:
    InputHold* input_;
};

}  // namespace platform
