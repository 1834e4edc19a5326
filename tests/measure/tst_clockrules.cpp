// The elapsed-time rule, its display, the event-pumping wait and the spread of repeated runs.

#include <QCoreApplication>
#include <QTest>
#include <limits>

#include "fakes/fakedesktop.h"
#include "measure/clockrules.h"
#include "measure/samplesummary.h"

class ClockRules : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void elapsedIsCutToHundredthsAndShown_data() {
        QTest::addColumn<float>("start");
        QTest::addColumn<float>("end");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("shown");

        const auto row = [](const char* tag, float start, float end, const char* locale,
                            const char* shown) {
            QTest::newRow(tag) << start << end << locale << shown;
        };
        row("two and a half", 0.0f, 2.5f, "C", "2.5");
        row("whole seconds", 0.0f, 3.0f, "C", "3");
        row("below a hundredth", 0.0f, 0.004f, "C", "0");
        row("cut, not rounded", 0.0f, 12.349f, "C", "12.34");
        row("nothing at all", 500.0f, 500.0f, "C", "0");
        row("below one", 0.0f, 0.75f, "C", "0.75");
        row("later in the day", 43200.0f, 43202.5f, "C", "2.5");
        row("across midnight", 86399.5f, 2.0f, "C", "2.5");
        row("whole day short of midnight", 86399.0f, 0.0f, "C", "1");
        row("no group separator", 0.0f, 12345.5f, "C", "12345.5");
        row("seven digits", 0.0f, 54321.25f, "C", "54321.25");
        row("German comma", 0.0f, 2.5f, "de_DE", "2,5");
        row("German whole", 0.0f, 3.0f, "de_DE", "3");
        row("German no group separator", 0.0f, 12345.5f, "de_DE", "12345,5");
        row("German across midnight", 86390.0f, 2.25f, "de_DE", "12,25");
        // ASCII digits in every locale, with the locale's own decimal separator.
        row("Arabic (Egypt)", 0.0f, 12.5f, "ar_EG", "12\u066b5");
        row("Persian", 0.0f, 3.25f, "fa_IR", "3\u066b25");
        row("Bengali", 0.0f, 0.75f, "bn_BD", "0.75");
        row("C", 0.0f, 1234.5f, "C", "1234.5");
    }
    void elapsedIsCutToHundredthsAndShown() {
        QFETCH(float, start);
        QFETCH(float, end);
        QFETCH(QString, locale);
        QFETCH(QString, shown);
        const float elapsed = measure::elapsedBetween(start, end);
        QVERIFY(elapsed >= 0.0f);
        QCOMPARE(measure::elapsedText(elapsed, QLocale(locale)), shown);
    }

    // The wait lasts at least its length in clock readings and handles the events that are
    // pending on every pass, including ones posted while it waits.
    void pauseWaitsAndHandlesEvents_data() {
        QTest::addColumn<double>("startOfWait");
        QTest::addColumn<double>("step");
        QTest::newRow("morning") << 36000.0 << 0.001;
        QTest::newRow("coarse clock") << 36000.0 << 0.02;
        QTest::newRow("across midnight") << 86399.95 << 0.001;
        QTest::newRow("last reading before midnight") << 86399.99 << 0.05;
        QTest::newRow("ends after midnight, moved by the wait alone") << 86399.97 << 0.0;
    }
    void pauseWaitsAndHandlesEvents() {
        QFETCH(double, startOfWait);
        QFETCH(double, step);
        fakes::FakeClock clock;
        clock.now = startOfWait;
        clock.stepPerReading = step;
        fakes::FakeEventPump pump;
        pump.clock = &clock;
        bool pendingHandled = false;
        bool postedHandled = false;
        QMetaObject::invokeMethod(
            this, [&] { pendingHandled = true; }, Qt::QueuedConnection);
        pump.onPass = [&] {
            if (pump.passes == 1)
                QMetaObject::invokeMethod(
                    this, [&] { postedHandled = true; }, Qt::QueuedConnection);
            QCoreApplication::processEvents();
        };

        measure::Pause(clock, pump, 0.1);

        QVERIFY(pendingHandled);
        QVERIFY(postedHandled);
        // Readings: one start, one per pass, one final; the waits move the clock in between.
        // Time covered is at least 0.1 s and at most one step more (plus single-precision
        // rounding of the readings and the whole milliseconds of a wait).
        const int readings = pump.passes + 2;
        double covered = (readings - 1) * step;
        for (const int milliseconds : pump.waitedMilliseconds) covered += milliseconds / 1000.0;
        QVERIFY2(covered >= 0.1 - 0.008, qPrintable(QString::number(covered)));
        QVERIFY2(covered <= 0.1 + step + 0.009, qPrintable(QString::number(covered)));
    }

    void pauseOfNothingHandlesNoEvent_data() {
        QTest::addColumn<double>("pauseTime");
        QTest::newRow("zero") << 0.0;
        QTest::newRow("negative") << -1.0;
        QTest::newRow("tiny negative") << -1e-9;
        QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN();
    }
    void pauseOfNothingHandlesNoEvent() {
        QFETCH(double, pauseTime);
        fakes::FakeClock clock;
        clock.stepPerReading = 0.0;  // a frozen clock: the wait must end by the comparison alone
        fakes::FakeEventPump pump;
        bool handled = false;
        QMetaObject::invokeMethod(
            this, [&] { handled = true; }, Qt::QueuedConnection);
        pump.onPass = [] { QCoreApplication::processEvents(); };

        measure::Pause(clock, pump, pauseTime);

        QCOMPARE(pump.passes, 0);
        QVERIFY(!handled);
        QCoreApplication::processEvents();  // leave nothing pending for the next case
        QVERIFY(handled);
    }

    // An event handled in a wait takes clock time; each round waits only for what the clock
    // says is left. The end of the program ends the wait at once.
    void pauseReadsTheClockOnEveryPass() {
        fakes::FakeClock clock;
        clock.now = 5000.0;
        fakes::FakeEventPump pump;
        pump.onPass = [&] { clock.now += 0.03125; };  // exact in single precision
        measure::Pause(clock, pump, 0.1);
        QCOMPARE(pump.passes, 4);  // 0, 0.03125, 0.0625, 0.09375 are all short of 0.1
        QCOMPARE(pump.waitedMilliseconds, (QList<int>{100, 69, 38, 7}));

        pump.toldToEnd = true;
        measure::Pause(clock, pump, 0.1);
        QCOMPARE(pump.passes, 5);
    }

    // The spread of repeated runs, the samples in the order the runs ended: median, lowest and
    // highest, or no count at all.
    void sampleSummary_data() {
        QTest::addColumn<QList<double>>("samples");
        QTest::addColumn<QList<double>>("spread");
        QTest::newRow("none") << QList<double>{} << QList<double>{0, 0, 0};
        QTest::newRow("one") << QList<double>{2.5} << QList<double>{2.5, 2.5, 2.5};
        QTest::newRow("odd, unsorted") << QList<double>{3, 1, 2} << QList<double>{2, 1, 3};
        QTest::newRow("even: mean of the middle two")
            << QList<double>{4, 1, 3, 2} << QList<double>{2.5, 1, 4};
        QTest::newRow("an outlier leaves the median")
            << QList<double>{1.01, 1.02, 9.5, 0.99, 1.0} << QList<double>{1.01, 0.99, 9.5};
    }
    void sampleSummary() {
        QFETCH(QList<double>, samples);
        QFETCH(QList<double>, spread);
        const measure::SampleSummary summary = measure::summarize(samples);
        QCOMPARE(summary.count, samples.size());
        QCOMPARE((QList<double>{summary.median, summary.lowest, summary.highest}), spread);
    }
};

QTEST_GUILESS_MAIN(ClockRules)
#include "tst_clockrules.moc"
