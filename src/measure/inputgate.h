#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <vector>

#include "platform/inputhold.h"

class QEvent;

namespace measure {

// Decides which user input (isUserInput) the program handles while it must not react to the
// rest: while the window waits for work on another thread (a step of a run, the run's drive
// check), and while a message box waits for its answer. One rule for every state: input for the
// message box on top always reaches it; input the window's rule lets pass (QUIT, the close box)
// reaches its receiver; everything else is held back. While a box is up, what is held back is
// dropped, as a modal box would; during a wait without a box it is kept and posted again when the
// wait ends, so it is handled at the next wait. Lives on the window thread; Qt Core only, so that
// the waits off the window thread and the desktop's message box share it.
class InputGate : public QObject, public platform::InputHold {
public:
    using Rule = std::function<bool(QObject* receiver, QEvent* event)>;

    InputGate();
    ~InputGate() override;
    InputGate(const InputGate&) = delete;
    InputGate& operator=(const InputGate&) = delete;

    // The window's own exceptions; set once, cleared when the window goes.
    void setRule(Rule passes) { rule_ = std::move(passes); }

    // While a step of a run works off this thread; the end posts the kept input in its original
    // order.
    void beginStep() override;
    void endStep() override;

    // While a box waits: box is its widget, boxWindow its native window (input reaches that
    // first). Boxes nest; only the one opened last takes input.
    void beginBox(QObject* box, QObject* boxWindow) override;
    void endBox() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct HeldEvent;
    struct OpenBox {
        QPointer<QObject> box;
        QPointer<QObject> window;
    };

    bool passes(QObject* receiver, QEvent* event) const;
    bool insideTopBox(QObject* receiver) const;
    void keep(QObject* receiver, QEvent* event);
    void watchWhileClosed();

    Rule rule_;
    bool stepping_ = false;
    QList<OpenBox> boxes_;
    std::vector<HeldEvent> held_;
    bool filtering_ = false;
};

}  // namespace measure
