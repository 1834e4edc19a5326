#pragma once

#include <QPointer>
#include <QWidget>
#include <utility>

#include "platform/desktop.h"

namespace platform {

class InputHold;

// The box waits for OK in an event loop of its own. With an input gate, the gate keeps all other
// input from the program meanwhile, except what the window's rule lets pass (QUIT and the close
// box, which end the program and with it the box); without one the box is application-modal.
class QtMessageBox : public MessageBoxService {
public:
    explicit QtMessageBox(QString title, QWidget* parent = nullptr, InputHold* input = nullptr)
        : title_(std::move(title)), parent_(parent), input_(input) {}
    void setParentWidget(QWidget* parent) { parent_ = parent; }
    void showMessage(const QString& text) override;

private:
    QString title_;
    QPointer<QWidget> parent_;
    InputHold* input_;
};

// Sets the application's override cursor at most once, so one setBusy(false) always restores
// the default pointer.
class QtPointer : public PointerService {
public:
    QtPointer() = default;
    ~QtPointer() override;
    QtPointer(const QtPointer&) = delete;
    QtPointer& operator=(const QtPointer&) = delete;

    void setBusy(bool busy) override;

private:
    bool busy_ = false;
};

class QtClipboard : public ClipboardService {
public:
    void clear() override;
    void setText(const QString& text) override;
};

}  // namespace platform
