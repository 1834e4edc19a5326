#pragma once

#include <QEvent>

#include "platform/eventpump.h"

namespace platform {

// Waits in a nested event loop that a timer ends; QCoreApplication::exit() ends it too.
class QtEventPump : public EventPump {
public:
    bool waitForEvents(int maxMilliseconds) override;
};

// What a person does to a window: clicks, keys, touches, pens, input methods and a close
// request. Held back from the window while it must not react.
bool isUserInput(QEvent::Type type);

}  // namespace platform
