#pragma once

#include "platform/eventpump.h"

namespace platform {

class QtEventPump : public EventPump {
public:
    void processPendingEvents() override;
};

}  // namespace platform
