// The time-of-day clock and the event pump.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTime>
#include <QTimer>

#include "platform/linuxclock.h"
#include "platform/qteventpump.h"

using platform::LinuxClock;

class LinuxClockTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void readingsStayInADayAndNeverGoBack() {
        LinuxClock clock;
        QElapsedTimer spin;
        spin.start();
        double previous = clock.secondsSinceLocalMidnight();
        int distinct = 0;
        while (spin.elapsed() < 50) {
            const double reading = clock.secondsSinceLocalMidnight();
            QVERIFY(reading >= 0.0 && reading < 86400.0);
            // Only the wrap at midnight may go back.
            if (!(previous > 86399.0 && reading < 1.0)) QVERIFY(reading >= previous);
            if (reading != previous) ++distinct;
            previous = reading;
        }
        // Millisecond resolution or better: 50 ms of spinning sees many different readings.
        QVERIFY2(distinct >= 50, qPrintable(QString::number(distinct)));
    }

    void startsAtTheLocalTimeOfDay() {
        LinuxClock clock;
        const double expected = QTime::currentTime().msecsSinceStartOfDay() / 1000.0;
        double difference = std::abs(clock.secondsSinceLocalMidnight() - expected);
        difference = std::min(difference, 86400.0 - difference);
        QVERIFY2(difference < 1.0, qPrintable(QString::number(difference)));
    }

    void wrapsAtMidnight() {
        LinuxClock clock(86399.98);
        const double before = clock.secondsSinceLocalMidnight();
        QVERIFY(before >= 86399.98 && before < 86400.0);
        QTest::qSleep(50);
        const double after = clock.secondsSinceLocalMidnight();
        QVERIFY2(after >= 0.0 && after < 1.0, qPrintable(QString::number(after)));
    }

    void followsElapsedTimeNotWallClock() {
        LinuxClock clock(1000.0);
        QElapsedTimer timer;
        timer.start();
        QTest::qSleep(120);
        const double elapsed = clock.secondsSinceLocalMidnight() - 1000.0;
        QVERIFY(elapsed >= 0.12);
        QVERIFY(elapsed <= timer.nsecsElapsed() / 1e9 + 0.001);
    }

    // The wait runs what is pending and what comes, sleeps otherwise, ends when its time is up,
    // and at once when the program is told to end.
    void pumpRunsEventsUntilItsTimeIsUp() {
        platform::QtEventPump pump;
        int ran = 0;
        QMetaObject::invokeMethod(
            this, [&ran] { ++ran; }, Qt::QueuedConnection);
        QTimer::singleShot(0, this, [&ran] { ++ran; });
        QTimer::singleShot(30, this, [&ran] { ++ran; });
        QElapsedTimer timer;
        timer.start();
        QVERIFY(pump.waitForEvents(80));
        QCOMPARE(ran, 3);
        QVERIFY2(timer.elapsed() >= 79 && timer.elapsed() < 2500,
                 qPrintable(QString::number(timer.elapsed())));

        QTimer::singleShot(10, this, [] { QCoreApplication::exit(0); });
        timer.restart();
        QVERIFY(!pump.waitForEvents(5000));
        QVERIFY(!pump.waitForEvents(5000));  // still ending: no sleep
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
        // The application's own loop takes the end and leaves waits working again.
        QTimer::singleShot(0, this, [] { QCoreApplication::exit(0); });
        QCoreApplication::exec();
        QVERIFY(pump.waitForEvents(1));
    }
};

QTEST_GUILESS_MAIN(LinuxClockTest)
#include "tst_linuxclock.moc"
