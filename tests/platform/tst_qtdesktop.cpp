// Message box, busy pointer and clipboard through Qt.

#include <QApplication>
#include <QClipboard>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "platform/qtdesktop.h"

class QtDesktopTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void messageBoxIsAModalWarningTitledTarvello() {
        QWidget owner;
        owner.show();
        platform::QtMessageBox messages(QStringLiteral("Tarvello"), &owner);
        QString seen;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) {
                seen = QStringLiteral("no modal message box");
                return;
            }
            seen = QStringLiteral("%1|%2|%3|%4|%5|%6")
                       .arg(box->windowTitle(), box->text())
                       .arg(box->icon() == QMessageBox::Warning)
                       .arg(box->buttons().size())
                       .arg(box->standardButtons() == QMessageBox::Ok)
                       .arg(box->parentWidget() == &owner);
            box->button(QMessageBox::Ok)->click();
        });
        messages.showMessage(QStringLiteral("Cannot create /opt/x/TEST.TXT: Permission denied"));
        QCOMPARE(seen, QStringLiteral(
                           "Tarvello|Cannot create /opt/x/TEST.TXT: Permission denied|1|1|1|1"));
    }

    void busyPointerIsSetOnceAndRestoredOnce() {
        platform::QtPointer pointer;
        pointer.setBusy(true);
        pointer.setBusy(true);
        QVERIFY(QGuiApplication::overrideCursor());
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
        pointer.setBusy(false);
        QVERIFY(!QGuiApplication::overrideCursor());
    }

    void restoringLeavesOtherCursorsAlone() {
        QGuiApplication::setOverrideCursor(Qt::CrossCursor);
        {
            platform::QtPointer pointer;
            pointer.setBusy(false);
            QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::CrossCursor);
            pointer.setBusy(true);
        }  // going away while busy restores its own cursor only
        QVERIFY(QGuiApplication::overrideCursor());
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::CrossCursor);
        QGuiApplication::restoreOverrideCursor();
    }

    void clipboardHoldsExactlyTheText() {
        platform::QtClipboard clipboard;
        clipboard.setText(QStringLiteral("stale"));
        clipboard.clear();
        QVERIFY(QGuiApplication::clipboard()->text().isEmpty());
        clipboard.setText(QStringLiteral("1.23\t4.5\t6"));
        QCOMPARE(QGuiApplication::clipboard()->text(QClipboard::Clipboard),
                 QStringLiteral("1.23\t4.5\t6"));
    }
};

QTEST_MAIN(QtDesktopTest)
#include "tst_qtdesktop.moc"
