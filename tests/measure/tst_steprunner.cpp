// The threaded step runner over the one wait off the window thread: the window thread keeps
// turning while a step runs, user input waits for the next pause, failures come back to the
// caller, and a wait with a limit gives up in time.

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>

#include "fakes/fakedesktop.h"
#include "measure/clockrules.h"
#include "measure/inputgate.h"
#include "measure/threadedsteprunner.h"
#include "platform/failure.h"
#include "platform/linuxclock.h"
#include "platform/qtdesktop.h"
#include "platform/qteventpump.h"
#include "platform/qtoffthread.h"
#include "runharness.h"

using namespace std::chrono_literals;

namespace {

// Calls onClose for each close request that reaches the widget.
struct CloseWatch : QObject {
    CloseWatch(QWidget* widget, std::function<void()> onClose) : onClose(std::move(onClose)) {
        widget->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Close) onClose();
        return false;
    }
    std::function<void()> onClose;
};

// Measures how often the window thread's timers fire while the runner is busy.
struct Liveness {
    explicit Liveness(const measure::StepRunner& runner) {
        sinceStart.start();
        QObject::connect(&ticker, &QTimer::timeout, &ticker, [this, &runner] {
            const qint64 now = sinceStart.elapsed();
            if (runner.busy() && lastTick >= 0) longestGap = std::max(longestGap, now - lastTick);
            ticksWhileBusy += runner.busy() ? 1 : 0;
            lastTick = runner.busy() ? now : -1;
        });
        ticker.start(10);
    }
    // A blocked window thread misses the whole of the two-second step; a loaded machine delays
    // single ticks, never by a second.
    void check() const {
        QVERIFY2(ticksWhileBusy > 10, qPrintable(QString::number(ticksWhileBusy)));
        QVERIFY2(longestGap < 1000, qPrintable(QStringLiteral("gap of %1 ms").arg(longestGap)));
    }
    QElapsedTimer sinceStart;
    QTimer ticker;
    qint64 lastTick = -1;
    qint64 longestGap = 0;
    int ticksWhileBusy = 0;
};

// The window's waits are real: they pump events. Only the write copy is slow; the stub clock
// needs no help to end the waits.
void slowWriteWithRealWaits(measuretest::RunHarness& run, int& currentWait) {
    run.view.onPause = [&currentWait](int wait) {
        currentWait = wait;
        platform::LinuxClock clock;
        platform::QtEventPump pump;
        measure::Pause(clock, pump, 0.1);
    };
    run.files.setBeforeOperation(
        [target = run.targetPath()](fakes::FakeFiles::Op op, const QString& path) {
            if (op == fakes::FakeFiles::Op::Copy && path.endsWith(target))
                std::this_thread::sleep_for(2s);
        });
    run.view.size = QStringLiteral("0.1");
}

QMessageBox* shownMessageBox() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) return box;
    }
    return nullptr;
}

// A drive query that fails late, as one of a vanished network volume does, its message shown as
// the drive panel shows it. answer(box) runs once the box is up; a box that its answer never
// reached is closed after three seconds.
void askSlowFailingDrive(platform::OffThread& queries, platform::MessageBoxService& messages,
                         std::function<void(QMessageBox*)> answer) {
    queries.start(
        QCoreApplication::instance(), [] { std::this_thread::sleep_for(300ms); },
        [&messages, answer](bool) {
            QTimer::singleShot(100, [answer] {
                if (QMessageBox* box = shownMessageBox()) answer(box);
            });
            QTimer::singleShot(3000, [] {
                if (QMessageBox* box = shownMessageBox()) box->done(0);
            });
            messages.showMessage(QStringLiteral("Drive /media/stick is not ready"));
        });
}

}  // namespace

class StepRunnerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The work runs on another thread while the runner is busy; its failure reaches the caller.
    void failureOfTheWorkReachesTheCaller() {
        platform::QtOffThread offThread;
        measure::ThreadedStepRunner runner(offThread);
        std::thread::id workerThread;
        bool busyInside = false;
        QVERIFY(!runner.busy());
        try {
            runner.run([&] {
                workerThread = std::this_thread::get_id();
                busyInside = runner.busy();
                throw platform::Failure(QStringLiteral("Cannot copy a to b: Input/output error"));
            });
            QFAIL("no failure came back");
        } catch (const platform::Failure& failure) {
            QCOMPARE(failure.description(),
                     QStringLiteral("Cannot copy a to b: Input/output error"));
        }
        QVERIFY(workerThread != std::this_thread::get_id());
        QVERIFY(busyInside);
        QVERIFY(!runner.busy());
    }

    // Work that ends before the local loop has even started must not leave it waiting.
    void instantWorkReturns() {
        platform::QtOffThread offThread;
        measure::ThreadedStepRunner runner(offThread);
        int done = 0;
        for (int i = 0; i < 200; ++i) runner.run([&] { ++done; });
        QCOMPARE(done, 200);
        QVERIFY(!runner.busy());
    }

    // During a slow copy the window thread's timers keep firing, while a click, a key press or
    // a close request made meanwhile is handled only in the wait after the phase, unless the
    // window lets it pass (QUIT and the close box), which handles it at once. A message box that
    // a slow drive query puts up in the phase always takes its OK, and the run goes on.
    void windowStaysAliveWhileInputWaits_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<bool>("passes");
        QTest::newRow("mouse click") << "mouse" << false;
        QTest::newRow("space key") << "key" << false;
        QTest::newRow("close request") << "close" << false;
        QTest::newRow("click let through") << "mouse" << true;
        QTest::newRow("key let through") << "key" << true;
        QTest::newRow("close request let through") << "close" << true;
        QTest::newRow("Enter on a box put up in the phase") << "box" << true;
    }
    void windowStaysAliveWhileInputWaits() {
        QFETCH(QString, input);
        QFETCH(bool, passes);
        measure::InputGate gate;
        platform::QtOffThread offThread(&gate);
        measure::ThreadedStepRunner runner(offThread);
        measuretest::RunHarness run(&runner);
        int currentWait = 0;
        slowWriteWithRealWaits(run, currentWait);

        QPushButton button(QStringLiteral("QUIT"));
        gate.setRule([&](QObject* receiver, QEvent*) {
            // A close request reaches the widget's window first.
            return passes && (receiver == &button || receiver == button.windowHandle());
        });
        button.show();
        QVERIFY(QTest::qWaitForWindowExposed(&button));
        button.setFocus();
        int handledInWait = -1;
        bool busyWhenHandled = true;
        auto handled = [&] {
            handledInWait = currentWait;
            busyWhenHandled = runner.busy();
        };
        connect(&button, &QPushButton::clicked, this, handled);
        CloseWatch closeWatch(&button, handled);
        const Liveness liveness(runner);

        bool inputMadeWhileBusy = false;
        bool handledAtOnce = false;
        bool stillShown = false;
        const auto makeInput = [&](QWidget* receiver) {
            inputMadeWhileBusy = runner.busy();
            if (input == QLatin1String("mouse")) QTest::mouseClick(receiver, Qt::LeftButton);
            if (input == QLatin1String("key")) QTest::keyClick(receiver, Qt::Key_Space);
            if (input == QLatin1String("close")) receiver->close();
            if (input == QLatin1String("box")) QTest::keyClick(receiver, Qt::Key_Return);
            handledAtOnce = handledInWait != -1;
            stillShown = button.isVisible();
        };
        platform::QtMessageBox messages(QStringLiteral("Tarvello"), &button, &gate);
        if (input == QLatin1String("box")) {
            // The drive is picked at the wait before the write copy; its query fails late.
            run.view.onPause = [&, pause = run.view.onPause](int wait) {
                if (wait == 2)
                    askSlowFailingDrive(offThread, messages, [&](QMessageBox* box) {
                        connect(box, &QMessageBox::finished, this, handled);
                        makeInput(box);
                    });
                pause(wait);
            };
        } else {
            QTimer::singleShot(500, this, [&] { makeInput(&button); });
        }

        run.speedTest.run();

        QVERIFY(run.messages.shown.isEmpty());
        QVERIFY(!run.view.boxes[3].isEmpty());
        QVERIFY(inputMadeWhileBusy);
        if (passes) {
            QVERIFY(handledAtOnce);
            QVERIFY(busyWhenHandled);
            QCOMPARE(stillShown, input != QLatin1String("close"));
        } else {
            QVERIFY(!handledAtOnce);
            QCOMPARE(handledInWait, 3);  // the wait right after the write copy
            QVERIFY(!busyWhenHandled);
            QVERIFY(stillShown);  // a close request does not hide the window before it is handled
        }
        liveness.check();
    }
};

QTEST_MAIN(StepRunnerTest)
#include "tst_steprunner.moc"
