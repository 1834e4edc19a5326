#include "platform/qteventpump.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace platform {

namespace {
// What the timer's end of a wait returns from exec(); QCoreApplication::exit() gives 0 to the
// loops running then, and -1 to any started after it until the application's loop is left.
constexpr int kTimeIsUp = 1;
}  // namespace

bool QtEventPump::waitForEvents(int maxMilliseconds) {
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&loop] { loop.exit(kTimeIsUp); });
    timer.start(qMax(0, maxMilliseconds));
    return loop.exec() == kTimeIsUp;
}

bool isUserInput(QEvent::Type type) {
    switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Shortcut:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TouchCancel:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
        case QEvent::TabletMove:
        case QEvent::InputMethod:
        case QEvent::Close:
            return true;
        default:
            return false;
    }
}

}  // namespace platform
