#pragma once

class QObject;

namespace platform {

// What the waits off the window thread and the desktop's message box tell the holder of the
// window's input; which input it then lets through is the holder's rule, not platform's.
class InputHold {
public:
    virtual ~InputHold() = default;
    // While a step of a run works off this thread.
    virtual void beginStep() = 0;
    virtual void endStep() = 0;
    // While a box waits: box is its widget, boxWindow its native window (input reaches that
    // first). Boxes nest.
    virtual void beginBox(QObject* box, QObject* boxWindow) = 0;
    virtual void endBox() = 0;
};

}  // namespace platform
