#include "platform/qteventpump.h"

#include <QCoreApplication>

namespace platform {

void QtEventPump::processPendingEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace platform
