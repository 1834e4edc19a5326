#pragma once

namespace platform {

// Runs the handlers of every pending window event, then returns.
class EventPump {
public:
    virtual ~EventPump() = default;
    virtual void processPendingEvents() = 0;
};

}  // namespace platform
