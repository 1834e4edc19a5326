#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>

#include "platform/desktop.h"

namespace platform {

// The box waits for OK in an event loop of its own. Input meant for the parent window is
// dropped meanwhile, except input for which passes(receiver, event) holds (QUIT and the close
// box, which end the program and with it the box).
class QtMessageBox : public MessageBoxService {
public:
    explicit QtMessageBox(QWidget* parent = nullptr) : parent_(parent) {}
    void setParentWidget(QWidget* parent) { parent_ = parent; }
    void setInputThatPasses(std::function<bool(QObject*, QEvent*)> passes) {
        passes_ = std::move(passes);
    }
    void showMessage(const QString& text) override;

private:
    QPointer<QWidget> parent_;
    std::function<bool(QObject*, QEvent*)> passes_;
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
