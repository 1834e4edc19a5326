#include "platform/qtdesktop.h"

#include <QApplication>
#include <QClipboard>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMessageBox>
#include <QWindow>

#include "platform/qteventpump.h"

namespace platform {

namespace {

// Drops user input to one window while a box waits, except what may pass.
class ParentInputBlock : public QObject {
public:
    ParentInputBlock(QWidget* parent, const std::function<bool(QObject*, QEvent*)>& passes)
        : parent_(parent), passes_(passes) {
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~ParentInputBlock() override { QCoreApplication::instance()->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!parent_ || !isUserInput(event->type()) || !isParentWindow(watched)) return false;
        if (passes_ && passes_(watched, event)) return false;
        if (event->type() == QEvent::Close) event->ignore();
        return true;
    }

private:
    bool isParentWindow(QObject* watched) const {
        if (watched == static_cast<QObject*>(parent_->windowHandle())) return true;
        auto* widget = qobject_cast<QWidget*>(watched);
        return widget && widget->window() == parent_;
    }

    QPointer<QWidget> parent_;
    const std::function<bool(QObject*, QEvent*)>& passes_;
};

}  // namespace

void QtMessageBox::showMessage(const QString& text) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Tarvello"), text, QMessageBox::Ok,
                    parent_.data());
    if (!passes_) {
        box.setWindowModality(Qt::ApplicationModal);
        box.exec();
        return;
    }
    // Not modal, so the window system still delivers QUIT's click and the close request to
    // the parent; the block below drops the rest of its input.
    box.setWindowModality(Qt::NonModal);
    const ParentInputBlock block(parent_.data(), passes_);
    QEventLoop loop;
    QObject::connect(&box, &QMessageBox::finished, &loop, &QEventLoop::quit);
    box.show();
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
