#pragma once

namespace platform {

// Hands the window's events to their handlers while a run waits.
class EventPump {
public:
    virtual ~EventPump() = default;
    // Handles events as they come, asleep between them, for up to maxMilliseconds. Returns
    // false when the program was told to end meanwhile (or before), so the wait ends at once.
    virtual bool waitForEvents(int maxMilliseconds) = 0;
};

}  // namespace platform
