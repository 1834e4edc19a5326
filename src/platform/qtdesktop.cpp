#include "platform/qtdesktop.h"

#include <QApplication>
#include <QClipboard>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMessageBox>
#include <QWindow>

#include "platform/inputhold.h"

namespace platform {

void QtMessageBox::showMessage(const QString& text) {
    QMessageBox box(QMessageBox::Warning, title_, text, QMessageBox::Ok, parent_.data());
    if (!input_) {
        box.setWindowModality(Qt::ApplicationModal);
        box.exec();
        return;
    }
    // Not modal, so the window system still delivers QUIT's click and the close request to
    // the parent; the gate drops the rest of the input that is not for the box.
    box.setWindowModality(Qt::NonModal);
    QEventLoop loop;
    QObject::connect(&box, &QMessageBox::finished, &loop, &QEventLoop::quit);
    box.show();
    input_->beginBox(&box, box.windowHandle());
    struct Open {
        InputHold& gate;
        ~Open() { gate.endBox(); }
    } open{*input_};
    box.activateWindow();
    // Returns at once when the program is ending (exit() leaves every loop).
    loop.exec();
}

QtPointer::~QtPointer() {
    setBusy(false);
}

void QtPointer::setBusy(bool busy) {
    if (busy == busy_) return;
    if (busy) {
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QGuiApplication::restoreOverrideCursor();
    }
    busy_ = busy;
}

void QtClipboard::clear() {
    QGuiApplication::clipboard()->clear(QClipboard::Clipboard);
}

void QtClipboard::setText(const QString& text) {
    QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
}

}  // namespace platform
