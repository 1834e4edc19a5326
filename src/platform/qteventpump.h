#pragma once

#include <QEvent>

#include "platform/eventpump.h"

namespace platform {

class QtEventPump : public EventPump {
public:
    void processPendingEvents() override;
};

// What a person does to a window: clicks, keys, touches, pens, input methods and a close
// request. Held back from the window while it must not react.
bool isUserInput(QEvent::Type type);

}  // namespace platform
