// The one formatter of a run's result: the time boxes, the clipboard and standard output's line,
// and the command line's summary, from the same numbers.

#include <QTest>
#include <optional>

#include "measure/resulttext.h"

namespace {

// A negative time stands for one that is empty.
std::optional<double> timeOf(double seconds) {
    return seconds < 0.0 ? std::nullopt : std::optional<double>(seconds);
}

}  // namespace

class TestResultText : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void resultIsFormattedOnce_data() {
        QTest::addColumn<double>("create");
        QTest::addColumn<double>("write");
        QTest::addColumn<double>("read");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("line");  // the boxes, joined by tabs
        QTest::addColumn<QString>("summary");
        const auto row = [](const char* tag, double create, double write, double read,
                            const char* locale, const char* line, const char* summary) {
            QTest::newRow(tag) << create << write << read << QString::fromLatin1(locale)
                               << QString::fromUtf8(line) << QString::fromUtf8(summary);
        };
        const char* whole =
            "Test file of 10 MB, drive /media/stick\n"
            "DATA CREATE       2.5 s  4.00 MB/s\n"
            "WRITE TIME          4 s  2.50 MB/s\n"
            "READ TIME        0.25 s  40.00 MB/s\n";
        row("as measured, cut to hundredths", 2.5049, 4.009, 0.2599, "C", "2.5\t4\t0.25", whole);
        row("German", 2.5, 4.0, 0.25, "de_DE", "2,5\t4\t0,25",
            "Test file of 10 MB, drive /media/stick\n"
            "DATA CREATE       2,5 s  4,00 MB/s\n"
            "WRITE TIME          4 s  2,50 MB/s\n"
            "READ TIME        0,25 s  40,00 MB/s\n");
        row("too fast", 0.001, 0.009, 1.0, "C", "0\t0\t1",
            "Test file of 10 MB, drive /media/stick\n"
            "DATA CREATE         0 s  too fast to time (under 0.01 s)\n"
            "WRITE TIME          0 s  too fast to time (under 0.01 s)\n"
            "READ TIME           1 s  10.00 MB/s\n");
        // A change of drive during a wait emptied the times shown so far.
        row("emptied by a drive change", -1, -1, 0.25, "C", "\t\t0.25",
            "Test file of 10 MB, drive /media/stick\n"
            "DATA CREATE           s  too fast to time (under 0.01 s)\n"
            "WRITE TIME            s  too fast to time (under 0.01 s)\n"
            "READ TIME        0.25 s  40.00 MB/s\n");
        row("nothing measured", -1, -1, -1, "C", "\t\t",
            "Test file of 10 MB, drive /media/stick\n"
            "DATA CREATE           s  too fast to time (under 0.01 s)\n"
            "WRITE TIME            s  too fast to time (under 0.01 s)\n"
            "READ TIME             s  too fast to time (under 0.01 s)\n");
    }
    void resultIsFormattedOnce() {
        QFETCH(double, create);
        QFETCH(double, write);
        QFETCH(double, read);
        QFETCH(QString, locale);
        QFETCH(QString, line);
        QFETCH(QString, summary);
        measure::RunResult result;
        result.createSeconds = timeOf(create);
        result.writeSeconds = timeOf(write);
        result.readSeconds = timeOf(read);
        result.bytes = 10000000;
        result.mountRoot = QStringLiteral("/media/stick");
        const QLocale given(locale);

        const std::array<QString, 3> boxes = measure::formatTimes(result, given);
        QCOMPARE(QStringList(boxes.begin(), boxes.end()).join(QLatin1Char('\t')), line);
        QCOMPARE(measure::resultLine(result, given), line);
        QCOMPARE(measure::resultSummary(result, given), summary);
    }
};

QTEST_GUILESS_MAIN(TestResultText)
#include "tst_resulttext.moc"
