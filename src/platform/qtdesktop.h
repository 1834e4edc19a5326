#pragma once

#include <QPointer>
#include <QWidget>

#include "platform/desktop.h"

namespace platform {

class QtMessageBox : public MessageBoxService {
public:
    explicit QtMessageBox(QWidget* parent = nullptr) : parent_(parent) {}
    void setParentWidget(QWidget* parent) { parent_ = parent; }
    void showMessage(const QString& text) override;

private:
    QPointer<QWidget> parent_;
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
