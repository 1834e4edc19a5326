#include "measure/inputgate.h"

#include <QCoreApplication>
#include <QEvent>

#include "platform/qteventpump.h"

namespace measure {

struct InputGate::HeldEvent {
    QPointer<QObject> receiver;
    std::unique_ptr<QEvent> event;
};

InputGate::InputGate() = default;

InputGate::~InputGate() {
    if (filtering_ && QCoreApplication::instance())
        QCoreApplication::instance()->removeEventFilter(this);
}

void InputGate::beginStep() {
    stepping_ = true;
    held_.clear();
    watchWhileClosed();
}

void InputGate::endStep() {
    if (!stepping_) return;
    stepping_ = false;
    watchWhileClosed();
    std::vector<HeldEvent> held = std::move(held_);
    held_.clear();
    for (HeldEvent& item : held) {
        if (item.receiver) QCoreApplication::postEvent(item.receiver, item.event.release());
    }
}

void InputGate::beginBox(QObject* box, QObject* boxWindow) {
    boxes_.append(OpenBox{box, boxWindow});
    watchWhileClosed();
}

void InputGate::endBox() {
    if (!boxes_.isEmpty()) boxes_.removeLast();
    watchWhileClosed();
}

// The filter is installed only while something is closed, so input costs nothing otherwise.
void InputGate::watchWhileClosed() {
    QCoreApplication* application = QCoreApplication::instance();
    const bool closed = stepping_ || !boxes_.isEmpty();
    if (!application || closed == filtering_) return;
    if (closed) {
        application->installEventFilter(this);
    } else {
        application->removeEventFilter(this);
    }
    filtering_ = closed;
}

bool InputGate::insideTopBox(QObject* receiver) const {
    if (boxes_.isEmpty()) return false;
    const OpenBox& top = boxes_.last();
    if (top.window && receiver == top.window.data()) return true;
    for (QObject* object = receiver; object; object = object->parent()) {
        if (object == top.box.data()) return true;
    }
    return false;
}

bool InputGate::passes(QObject* receiver, QEvent* event) const {
    return insideTopBox(receiver) || (rule_ && rule_(receiver, event));
}

void InputGate::keep(QObject* receiver, QEvent* event) {
    // Moves only matter by where they end; keep the latest of a run of moves.
    if (event->type() == QEvent::MouseMove && !held_.empty() &&
        held_.back().event->type() == QEvent::MouseMove && held_.back().receiver == receiver) {
        held_.back().event.reset(event->clone());
    } else {
        held_.push_back({QPointer<QObject>(receiver), std::unique_ptr<QEvent>(event->clone())});
    }
}

bool InputGate::eventFilter(QObject* watched, QEvent* event) {
    if (!platform::isUserInput(event->type()) || passes(watched, event)) return false;
    // A box stands for a modal one: what it keeps from the window is dropped, never replayed.
    if (boxes_.isEmpty()) keep(watched, event);
    // A refused close keeps the window open until its request is handled; accepted input is
    // not passed on to the parent widgets.
    if (event->type() == QEvent::Close) {
        event->ignore();
    } else {
        event->accept();
    }
    return true;
}

}  // namespace measure
