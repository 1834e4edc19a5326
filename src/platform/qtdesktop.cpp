#include "platform/qtdesktop.h"

#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QMessageBox>

namespace platform {

void QtMessageBox::showMessage(const QString& text) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Tarvello"), text, QMessageBox::Ok,
                    parent_.data());
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
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
