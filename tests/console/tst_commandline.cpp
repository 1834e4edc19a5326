// The command line: the parser as a pure function, the built program's options, exit codes and
// output run as a child without any display, and its run without a window on real scratch
// drives, including a full drive and an interrupt.

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <csignal>
#include <latch>
#include <memory>
#include <optional>
#include <thread>

#include "console/commandline.h"
#include "console/consolerun.h"
#include "console/runlog.h"
#include "console/seriesreport.h"
#include "fakes/fakedesktop.h"
#include "ownership/folders.h"
#include "support/harness.h"
#include "support/scratchmounts.h"
#include "window/windowstartup.h"

using Action = console::CommandLine::Action;

namespace {

const QString kProgram = QStringLiteral(DOV_PROGRAM_PATH);

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
}

// A child's world with no display at all, and its own runtime, cache and home folders, so
// anything it creates there shows.
class ChildWorld {
public:
    ChildWorld() {
        environment_ = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment_.remove(QLatin1String(name));
        environment_.insert(QStringLiteral("XDG_RUNTIME_DIR"), home_.path());
        environment_.insert(QStringLiteral("XDG_CACHE_HOME"), home_.path() + "/cache");
        environment_.insert(QStringLiteral("HOME"), home_.path());
        testFolder_ = programsTestFolder();
        // For shell lines that wait for the test file.
        environment_.insert(QStringLiteral("TEST_FILE_PLACE"), testFile());
    }

    testsupport::ChildRun run(const QStringList& arguments, int timeoutMs = 60000) const {
        return testsupport::runChild(kProgram, arguments, timeoutMs, environment_);
    }

    // What the child left in its folders or in its test file's folder. The program's own cache
    // folder, where it keeps the test file when the program's folder is not the user's, is no
    // leftover; a file in it is.
    QStringList leftovers() const {
        QStringList found;
        QDirIterator it(home_.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (path == testFolder_ || testFolder_.startsWith(path + '/')) continue;
            found << QDir(home_.path()).relativeFilePath(path);
        }
        if (!testFile().startsWith(home_.path() + '/') && QFileInfo::exists(testFile()))
            found << "TEST.TXT beside the program";
        return found;
    }

    // Where the program puts its local test file, by its own rule, whoever owns the build.
    QString testFile() const { return testFolder_ + "/TEST.TXT"; }
    QProcessEnvironment environment() const { return environment_; }
    static QString programFolder() { return QFileInfo(kProgram).absolutePath(); }

private:
    // The rule asked with the child's folders; it may make the cache folder the child would.
    QString programsTestFolder() const {
        const QByteArray names[2] = {"XDG_CACHE_HOME", "HOME"};
        std::optional<QByteArray> saved[2];
        for (int i = 0; i < 2; ++i) {
            if (qEnvironmentVariableIsSet(names[i].constData())) saved[i] = qgetenv(names[i]);
            qputenv(names[i].constData(), environment_.value(names[i]).toLocal8Bit());
        }
        fakes::FakeProcess process;
        process.folder = programFolder();
        const QString folder = ownership::testFileFolder(process).path;
        for (int i = 0; i < 2; ++i) {
            if (saved[i])
                qputenv(names[i].constData(), *saved[i]);
            else
                qunsetenv(names[i].constData());
        }
        return folder;
    }

    QTemporaryDir home_;
    QProcessEnvironment environment_;
    QString testFolder_;
};

// Where a --drive folder lies: a RAM disk the drive list shows, one it hides (under /run), one
// mounted read-only, a read-only image, and the kernel's /dev, which is no drive.
enum class Volume { Tmpfs, HiddenTmpfs, ReadOnlyTmpfs, Squashfs, KernelDevices };

const QString kTimesLine = QStringLiteral("^\\d+(\\.\\d+)?\\t\\d+(\\.\\d+)?\\t\\d+(\\.\\d+)?\\n");
// One phase of the human summary; %1 is its label.
const QString kRate = QStringLiteral("([0-9.]+ MB/s|too fast to time \\(under 0.01 s\\))");
const QString kPhaseLine = QStringLiteral("%1 +[0-9.]+ s  ") + kRate + '\n';
const QString kSpreadLine = QStringLiteral("%1( +[0-9.]+ s){3}  ") + kRate + '\n';

// RFC 4180 as a spreadsheet reads it: fields split at commas, quoted ones with "" for a quote,
// records ending in CR LF. Empty when the text is not whole records.
QList<QStringList> csvRecords(const QByteArray& bytes) {
    const QString text = QString::fromUtf8(bytes);
    QList<QStringList> records;
    QStringList record;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c != '"')
                field += c;
            else if (i + 1 < text.size() && text[i + 1] == '"')
                field += text[++i];
            else
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            record << std::exchange(field, {});
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            record << std::exchange(field, {});
            records << std::exchange(record, {});
            ++i;
        } else {
            field += c;
        }
    }
    return quoted || !field.isEmpty() || !record.isEmpty() ? QList<QStringList>{} : records;
}

// The log's rows below its header, each checked as a run on the RAM disk at root, its numbers
// in the "." notation whatever the locale.
void checkLogRows(const QList<QStringList>& rows, const QString& root) {
    for (const QStringList& row : rows) {
        QCOMPARE(row.size(), 14);
        QVERIFY(QDateTime::fromString(row[0], Qt::ISODate).isValid());
        QCOMPARE(row.mid(1, 4), (QStringList{root, "", "RAM DISK", "tmpfs"}));
        QCOMPARE(row[7], "2");
        for (int column = 8; column < 13; ++column) {
            bool isNumber = false;
            row[column].toDouble(&isNumber);
            QVERIFY2(isNumber || (column > 10 && row[column].isEmpty()), qPrintable(row[column]));
        }
    }
}

}  // namespace

class TestCommandLine : public QObject {
    Q_OBJECT

    static void checkDocument(const QByteArray& output, const QString& root,
                              const QStringList& options);

private Q_SLOTS:
    void parser_data();
    void parser();
    void windowPlatform_data();
    void windowPlatform();
    void progressLine_data();
    void progressLine();
    void programWithoutDisplay_data();
    void programWithoutDisplay();
    void runOnScratchDrive_data();
    void runOnScratchDrive();
    void runLog_data();
    void runLog();
    void logRowsFromRunsAtOnce();
    void recordOfARun_data();
    void recordOfARun();
    void interruptDuringCreateRemovesItsFile_data();
    void interruptDuringCreateRemovesItsFile();
    void toolkitOptionsReachTheWindow();
};

void TestCommandLine::parser_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<Action>("action");
    QTest::addColumn<QString>("drive");
    QTest::addColumn<QString>("lines");  // the size as test lines
    QTest::addColumn<bool>("human");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("series");  // --repeat, --json and --log as read

    const QString c = QStringLiteral("C");
    QTest::newRow("nothing opens the window") << QStringList{} << c << Action::Window << ""
                                              << "" << false << "" << QString();
    QTest::newRow("help") << QStringList{"--help"} << c << Action::Help << ""
                          << "" << false << "" << QString();
    QTest::newRow("version") << QStringList{"--version"} << c << Action::Version << ""
                             << "" << false << "" << QString();
    QTest::newRow("help after a run's options")
        << QStringList{"--drive", "/m", "--help"} << c << Action::Help << ""
        << "" << false << "" << QString();
    QTest::newRow("mistake before help")
        << QStringList{"--bogus", "--help"} << c << Action::Error << ""
        << "" << false << "unknown option '--bogus'" << QString();
    QTest::newRow("run") << QStringList{"--drive", "/media/a b", "--size", "100"} << c
                         << Action::Measure << "/media/a b"
                         << "2000000" << false << "" << QString();
    QTest::newRow("run, values attached, human")
        << QStringList{"--size=0.5", "--human", "--drive=/m"} << c << Action::Measure << "/m"
        << "10000" << true << "" << QString();
    QTest::newRow("folder named like an option")
        << QStringList{"--drive=--x", "--size", "1"} << c << Action::Measure << "--x"
        << "20000" << false << "" << QString();
    QTest::newRow("locale's decimal comma") << QStringList{"--drive", "/m", "--size", "0,5"}
                                            << QStringLiteral("de_DE") << Action::Measure << "/m"
                                            << "10000" << false << "" << QString();
    QTest::newRow("group separator refused")
        << QStringList{"--drive", "/m", "--size", "1,000"} << c << Action::Error << ""
        << "" << false << "Data size '1,000' is not a number" << QString();
    QTest::newRow("size not a number")
        << QStringList{"--drive", "/m", "--size", "ten"} << c << Action::Error << ""
        << "" << false << "Data size 'ten' is not a number" << QString();
    QTest::newRow("full-width digits") << QStringList{"--drive", "/m", "--size", "\uff11\uff10"}
                                       << QStringLiteral("ja_JP") << Action::Measure << "/m"
                                       << "200000" << false << "" << QString();
    QTest::newRow("size too large")
        << QStringList{"--drive", "/m", "--size", "1e9"} << c << Action::Error << ""
        << "" << false << "Data size '1e9' is too large" << QString();
    QTest::newRow("value missing at the end")
        << QStringList{"--size", "1", "--drive"} << c << Action::Error << ""
        << "" << false << "--drive needs a value" << QString();
    QTest::newRow("option in the value's place")
        << QStringList{"--drive", "--size", "1"} << c << Action::Error << ""
        << "" << false << "--drive needs a value" << QString();
    QTest::newRow("empty attached value")
        << QStringList{"--drive=", "--size", "1"} << c << Action::Error << ""
        << "" << false << "--drive needs a value" << QString();
    QTest::newRow("given twice") << QStringList{"--size", "1", "--size", "2", "--drive", "/"} << c
                                 << Action::Error << ""
                                 << "" << false << "--size is given twice" << QString();
    QTest::newRow("size without drive") << QStringList{"--size", "1"} << c << Action::Error << ""
                                        << "" << false << "--size needs --drive" << QString();
    QTest::newRow("drive without size") << QStringList{"--drive", "/"} << c << Action::Error << ""
                                        << "" << false << "--drive needs --size" << QString();
    QTest::newRow("human alone") << QStringList{"--human"} << c << Action::Error << ""
                                 << "" << false << "--human needs --drive and --size" << QString();
    QTest::newRow("flag with a value") << QStringList{"--help=yes"} << c << Action::Error << ""
                                       << "" << false << "--help takes no value" << QString();
    QTest::newRow("short option") << QStringList{"-h"} << c << Action::Error << ""
                                  << "" << false << "unknown option '-h'" << QString();
    QTest::newRow("size below zero")
        << QStringList{"--drive", "/m", "--size", "-1"} << c << Action::Error << ""
        << "" << false << "the size must be a positive number of megabytes, not '-1'" << QString();
    QTest::newRow("size zero") << QStringList{"--drive", "/m", "--size", "0"} << c << Action::Error
                               << ""
                               << "" << false
                               << "the size must be a positive number of megabytes, not '0'"
                               << QString();
    QTest::newRow("size nan") << QStringList{"--drive", "/m", "--size", "nan"} << c << Action::Error
                              << ""
                              << "" << false << "Data size 'nan' is not a number" << QString();
    QTest::newRow("size inf") << QStringList{"--drive", "/m", "--size", "inf"} << c << Action::Error
                              << ""
                              << "" << false << "Data size 'inf' is too large" << QString();
    // The toolkit's own options, with their values, are Qt's to take.
    QTest::newRow("Qt's own options")
        << QStringList{"-platform",      "xcb",    "-style", "Fusion", "-reverse",
                       "--qwindowtitle", "--drive"}
        << c << Action::Window << ""
        << "" << false << "" << QString();
    QTest::newRow("Qt's options beside a run")
        << QStringList{"-style=Fusion", "--drive", "/m", "-nograb", "--size", "1"} << c
        << Action::Measure << "/m"
        << "20000" << false << "" << QString();
    QTest::newRow("Qt's option without its value")
        << QStringList{"-display"} << c << Action::Error << ""
        << "" << false << "-display needs a value" << QString();
    QTest::newRow("neither ours nor Qt's")
        << QStringList{"-styles", "Fusion"} << c << Action::Error << ""
        << "" << false << "unknown option '-styles'" << QString();
    QTest::newRow("stray word") << QStringList{"/media/stick"} << c << Action::Error << ""
                                << "" << false << "unexpected argument '/media/stick'" << QString();
    // A series, and what a script reads it by.
    const QStringList run = {"--drive", "/m", "--size", "1"};
    QTest::newRow("repeat, json, log")
        << run + QStringList{"--repeat", "5", "--json", "--log=a.csv"} << c << Action::Measure
        << "/m"
        << "20000" << false << ""
        << "repeat 5, json, log a.csv";
    QTest::newRow("repeat's highest, human")
        << run + QStringList{"--repeat=100", "--human"} << c << Action::Measure << "/m"
        << "20000" << true << ""
        << "repeat 100";
    const QString badCount =
        QStringLiteral("--repeat takes a whole number of runs from 1 to 100, not '%1'");
    for (const char* count : {"0", "101", "-3", "2.5", "five", "1e2"}) {
        QTest::newRow(qPrintable(QStringLiteral("repeat %1").arg(count)))
            << run + QStringList{"--repeat", count} << c << Action::Error << ""
            << "" << false << badCount.arg(count) << "";
    }
    QTest::newRow("json with human")
        << run + QStringList{"--json", "--human"} << c << Action::Error << ""
        << "" << false << "--json and --human do not go together"
        << "";
    QTest::newRow("json twice") << run + QStringList{"--json", "--json"} << c << Action::Error << ""
                                << "" << false << "--json is given twice"
                                << "";
    QTest::newRow("log without its file") << run + QStringList{"--log"} << c << Action::Error << ""
                                          << "" << false << "--log needs a value"
                                          << "";
    for (const char* alone : {"--repeat=2", "--json", "--log=x.csv"}) {
        QTest::newRow(alone) << QStringList{alone} << c << Action::Error << ""
                             << "" << false
                             << QString(alone).section('=', 0, 0) + " needs --drive and --size"
                             << "";
    }
}

void TestCommandLine::parser() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, locale);
    QFETCH(Action, action);
    QFETCH(QString, drive);
    QFETCH(QString, lines);
    QFETCH(bool, human);
    QFETCH(QString, error);
    QFETCH(QString, series);

    const console::CommandLine parsed = console::parseCommandLine(arguments, QLocale(locale));
    QCOMPARE(parsed.error, error);
    QCOMPARE(parsed.action, action);
    if (action != Action::Measure) return;
    QCOMPARE(parsed.drive, drive);
    QCOMPARE(QString::number(parsed.testLines), lines);
    QCOMPARE(parsed.human, human);
    QStringList read;
    if (parsed.repeat != 1) read << QStringLiteral("repeat %1").arg(parsed.repeat);
    if (parsed.json) read << "json";
    if (!parsed.logPath.isEmpty()) read << "log " + parsed.logPath;
    QCOMPARE(read.join(", "), series);
}

void TestCommandLine::windowPlatform_data() {
    QTest::addColumn<QByteArray>("qtPlatform");
    QTest::addColumn<QByteArray>("display");
    QTest::addColumn<QByteArray>("wayland");
    QTest::addColumn<QByteArray>("chosen");

    QTest::newRow("XWayland next to Wayland")
        << QByteArray() << QByteArray(":0") << QByteArray("wayland-0") << QByteArray("xcb;wayland");
    QTest::newRow("X11 alone") << QByteArray() << QByteArray(":0") << QByteArray()
                               << QByteArray("xcb");
    QTest::newRow("Wayland alone stays native")
        << QByteArray() << QByteArray() << QByteArray("wayland-0") << QByteArray();
    QTest::newRow("the user's choice stands")
        << QByteArray("wayland") << QByteArray(":0") << QByteArray("wayland-0") << QByteArray();
    QTest::newRow("no display") << QByteArray() << QByteArray() << QByteArray() << QByteArray();
}

void TestCommandLine::windowPlatform() {
    QFETCH(QByteArray, qtPlatform);
    QFETCH(QByteArray, display);
    QFETCH(QByteArray, wayland);
    QFETCH(QByteArray, chosen);
    QCOMPARE(window::windowPlatform(qtPlatform, display, wayland), chosen);
}

void TestCommandLine::progressLine_data() {
    QTest::addColumn<measure::Phase>("phase");
    QTest::addColumn<qint64>("done");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<int>("run");  // of runs
    QTest::addColumn<int>("runs");
    QTest::addColumn<QString>("text");

    using measure::Phase;
    QTest::newRow("between phases")
        << Phase::None << qint64(5) << qint64(10) << 1.0 << 2 << 5 << "";
    QTest::newRow("create, just begun") << Phase::Create << qint64(0) << qint64(100000000) << 0.0
                                        << 1 << 1 << "create [....................] 0.0 / 100.0 MB";
    QTest::newRow("write, half") << Phase::Write << qint64(50000000) << qint64(100000000) << 2.0
                                 << 1 << 1
                                 << "write  [##########..........] 50.0 / 100.0 MB  25.0 MB/s";
    QTest::newRow("read, done") << Phase::Read << qint64(2500000) << qint64(2500000) << 0.5 << 1
                                << 1 << "read   [####################] 2.5 / 2.5 MB  5.0 MB/s";
    QTest::newRow("second of five runs")
        << Phase::Write << qint64(0) << qint64(1000000) << 0.0 << 2 << 5
        << "run 2/5  write  [....................] 0.0 / 1.0 MB";
}

void TestCommandLine::progressLine() {
    QFETCH(measure::Phase, phase);
    QFETCH(qint64, done);
    QFETCH(qint64, total);
    QFETCH(double, seconds);
    QFETCH(int, run);
    QFETCH(int, runs);
    QFETCH(QString, text);
    QCOMPARE(console::progressText(phase, done, total, seconds, run, runs), text);
}

void TestCommandLine::programWithoutDisplay_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");  // exact
    QTest::addColumn<QString>("errors");  // pattern

    const QString usage = console::usageText();
    const QString usageAfter =
        QStringLiteral("^dov-uruvivuz: %1\n\n") + QRegularExpression::escape(usage) + '$';
    QTest::newRow("help") << QStringList{"--help"} << 0 << usage << "^$";
    for (const QString& line : usage.split('\n'))
        QVERIFY2(line.size() < 80, qPrintable("wider than a terminal: " + line));
    QTest::newRow("version") << QStringList{"--version"} << 0 << console::versionText() << "^$";
    QTest::newRow("unknown option")
        << QStringList{"--bogus"} << 2 << "" << usageAfter.arg("unknown option '--bogus'");
    QTest::newRow("missing value") << QStringList{"--size", "5", "--drive"} << 2 << ""
                                   << usageAfter.arg("--drive needs a value");
    QTest::newRow("bad size") << QStringList{"--drive", "/", "--size", "x"} << 2 << ""
                              << usageAfter.arg("Data size 'x' is not a number");
    QTest::newRow("size zero") << QStringList{"--drive", "/", "--size", "0"} << 2 << ""
                               << usageAfter.arg(
                                      "the size must be a positive number of megabytes, not '0'");
    const QString withoutWindow =
        "To measure a drive without a window: dov-uruvivuz --drive DIR "
        "--size MB \\(see --help\\)\n$";
    QTest::newRow("window without a display")
        << QStringList{} << 1 << ""
        << "^dov-uruvivuz: The window needs a display, and neither DISPLAY nor WAYLAND_DISPLAY "
           "is set.\n" +
               withoutWindow;
    QTest::newRow("window on a display nobody serves")
        << QStringList{"-display", ":97"} << 1 << ""
        << "^dov-uruvivuz: Cannot open the display :97: no X server answers there.\n" +
               withoutWindow;
    QTest::newRow("folder that does not exist")
        << QStringList{"--drive", "/nonexistent/dov", "--size", "1"} << 1 << ""
        << "^Cannot measure the drive of /nonexistent/dov: No such file or directory\n$";
}

// Also proves that none of these needs a display, takes the window's lock or creates a file.
void TestCommandLine::programWithoutDisplay() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QString, errors);

    const ChildWorld world;
    const testsupport::ChildRun run = world.run(arguments);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(QString::fromLocal8Bit(run.output), output);
    const QString errorText = QString::fromLocal8Bit(run.errors);
    QVERIFY2(QRegularExpression(errors).match(errorText).hasMatch(), qPrintable(errorText));
    QCOMPARE(world.leftovers(), QStringList());
}

void TestCommandLine::runOnScratchDrive_data() {
    QTest::addColumn<qint64>("driveBytes");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");  // pattern; %1 is the drive's root
    QTest::addColumn<QString>("errors");  // pattern; %1 is the drive's root
    QTest::addColumn<bool>("throughLink");
    // A bash command line that runs the program as "$0" "$@"; empty: run directly.
    QTest::addColumn<QString>("wrapper");
    QTest::addColumn<Volume>("volume");

    QTest::newRow("times line") << qint64(32 << 20) << QStringList{"--size", "2"} << 0
                                << kTimesLine + '$' << "^$" << false << "" << Volume::Tmpfs;
    QTest::newRow("human summary, folder given by a link")
        << qint64(32 << 20) << QStringList{"--size", "2", "--human"} << 0
        << kTimesLine + "Test file of 2 MB, drive %1\n" + kPhaseLine.arg("DATA CREATE") +
               kPhaseLine.arg("WRITE TIME") + kPhaseLine.arg("READ TIME") + '$'
        << "^$" << true << "" << Volume::Tmpfs;
    // A series: each line as its run ends, then the spread; or one document a script parses.
    QTest::newRow("two runs and their spread")
        << qint64(32 << 20) << QStringList{"--size", "2", "--repeat", "2", "--human"} << 0
        << kTimesLine + kTimesLine.mid(1) + "Test file of 2 MB, drive %1, 2 runs\n" +
               " +median +lowest +highest  median rate\n" + kSpreadLine.arg("DATA CREATE") +
               kSpreadLine.arg("WRITE TIME") + kSpreadLine.arg("READ TIME") + '$'
        << "^$" << false << "" << Volume::Tmpfs;
    QTest::newRow("three runs as one JSON document")
        << qint64(32 << 20) << QStringList{"--size", "2", "--repeat", "3", "--json"} << 0
        << "^\\{\n[^\t]*\\}\n$"
        << "^$" << true << "" << Volume::Tmpfs;
    QTest::newRow("size beyond the drive's free space")
        << qint64(64 << 20) << QStringList{"--size", "20000"} << 1 << "^$"
        << "^A test file of 20000 MB cannot fit on drive %1: only 6[0-9.]+ MB are free there; "
           "choose a smaller size or make room\n$"
        << false << "" << Volume::Tmpfs;
    QTest::newRow("human summary in a locale with digits of its own")
        << qint64(32 << 20) << QStringList{"--size", "2", "--human"} << 0
        << "^[^\u0660-\u0669]*DATA CREATE[^\u0660-\u0669]*$"
        << "^$" << false << "exec env LC_ALL=ar_EG.UTF-8 \"$0\" \"$@\"" << Volume::Tmpfs;
    // The first run fails, and so does the series, with one message.
    QTest::newRow("file-size limit")
        << qint64(32 << 20) << QStringList{"--size", "4", "--repeat", "3"} << 1 << "^$"
        << "^Cannot write [^\n]*/TEST.TXT: File too large\n$" << false
        << "ulimit -f 1024; exec \"$0\" \"$@\"" << Volume::Tmpfs;
    const QString notWritten =
        "^dov-uruvivuz: the times could not be written to standard output: %2\n$";
    QTest::newRow("result to /dev/full")
        << qint64(32 << 20) << QStringList{"--size", "2"} << 1 << "^$"
        << notWritten.arg("No space left on device") << false << "exec \"$0\" \"$@\" >/dev/full"
        << Volume::Tmpfs;
    QTest::newRow("result to a closed pipe")
        << qint64(32 << 20) << QStringList{"--size", "2"} << 1 << "^$"
        << notWritten.arg("Broken pipe") << false << "set -o pipefail; \"$0\" \"$@\" | true"
        << Volume::Tmpfs;
    // A job of a shell with job control on a terminal of its own, its output on that terminal.
    QTest::newRow("background run under tostop on a terminal")
        << qint64(64 << 20) << QStringList{"--size", "40"} << 0
        << "\\d+(\\.\\d+)?\\t\\d+(\\.\\d+)?\\t\\d+(\\.\\d+)?\\r\\n"
        << "^$" << false
        << "printf -v run '%q ' \"$0\" \"$@\"; SHELL=/bin/bash exec script -qec "
           "\"set -m; stty tostop; $run & wait \\$!\" /dev/null"
        << Volume::Tmpfs;
    QTest::newRow("stopped for 1 s during the create")
        << qint64(256 << 20) << QStringList{"--size", "200"} << 1 << "^$"
        << "^The program was stopped for 1\\.[0-9] s during the creation of the test file; its "
           "time is not valid and nothing was exported\n$"
        << false
        << "\"$0\" \"$@\" & while [ ! -e \"$TEST_FILE_PLACE\" ]; do sleep 0.01; done; "
           "kill -STOP $!; sleep 1; kill -CONT $!; wait $!"
        << Volume::Tmpfs;
    // The folder's own volume, never a listed one above it (/ or /run's).
    QTest::newRow("tmpfs the list hides")
        << qint64(32 << 20) << QStringList{"--size", "2", "--human"} << 0
        << kTimesLine + "Test file of 2 MB, drive %1\n"
        << "^$" << true << "" << Volume::HiddenTmpfs;
    QTest::newRow("squashfs image")
        << qint64(0) << QStringList{"--size", "2"} << 1 << "^$"
        << "^Cannot measure the drive of [^\n]*: it is on a squashfs image, which is read-only\n$"
        << false << "" << Volume::Squashfs;
    QTest::newRow("read-only RAM disk")
        << qint64(1 << 20) << QStringList{"--size", "2"} << 1 << "^$"
        << "^Cannot measure the drive of [^\n]*: its drive %1 is mounted read-only\n$" << false
        << "" << Volume::ReadOnlyTmpfs;
    QTest::newRow("devtmpfs") << qint64(0) << QStringList{"--size", "2"} << 1 << "^$"
                              << "^Cannot measure the drive of /dev: it is on devtmpfs, a file "
                                 "system of the kernel's, not a drive\n$"
                              << false << "" << Volume::KernelDevices;
}

// A folder on the drive stands for its root, as in the window; a link stands for its target.
void TestCommandLine::runOnScratchDrive() {
    QFETCH(qint64, driveBytes);
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QString, errors);
    QFETCH(bool, throughLink);
    QFETCH(QString, wrapper);
    QFETCH(Volume, volume);

    std::unique_ptr<testsupport::ScratchMount> drive;
    if (volume == Volume::Squashfs) {
        drive = std::make_unique<testsupport::ScratchSquashfs>();
    } else if (volume != Volume::KernelDevices) {
        drive = std::make_unique<testsupport::ScratchTmpfs>(
            driveBytes, volume == Volume::HiddenTmpfs ? "/run" : QDir::tempPath());
    }
    if (drive && !drive->isReady()) QSKIP(qPrintable(drive->whyNot()));
    const QString root = drive ? drive->mountPoint() : QStringLiteral("/dev");
    QString folder = drive ? root + "/some/folder" : root;
    QVERIFY(!drive || QDir().mkpath(folder));
    if (volume == Volume::ReadOnlyTmpfs)
        QVERIFY2(static_cast<testsupport::ScratchTmpfs&>(*drive).makeReadOnly(),
                 qPrintable(drive->whyNot()));
    const QTemporaryDir links;
    if (throughLink) {
        QVERIFY(QFile::link(folder, links.filePath("stick")));
        folder = links.filePath("stick");
    }

    const ChildWorld world;
    const QStringList arguments = QStringList{"--drive", folder} + options;
    const testsupport::ChildRun run =
        wrapper.isEmpty()
            ? world.run(arguments)
            : testsupport::runChild("bash", QStringList{"-c", wrapper, kProgram} + arguments, 60000,
                                    world.environment());
    const QString outputText = QString::fromLocal8Bit(run.output);
    const QString errorText = QString::fromLocal8Bit(run.errors);
    const auto withRoot = [&](const QString& pattern) {
        return pattern.contains("%1") ? pattern.arg(QRegularExpression::escape(root)) : pattern;
    };
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.why));
    QVERIFY2(QRegularExpression(withRoot(output)).match(outputText).hasMatch(),
             qPrintable(outputText));
    QVERIFY2(QRegularExpression(withRoot(errors)).match(errorText).hasMatch(),
             qPrintable(errorText));
    if (options.contains("--json")) checkDocument(run.output, root, options);
    if (drive) QCOMPARE(entries(root), QStringList{"some"});
    QCOMPARE(world.leftovers(), QStringList());
}

// The runs of --json as a script reads them, and a summary that matches them.
void TestCommandLine::checkDocument(const QByteArray& output, const QString& root,
                                    const QStringList& options) {
    QJsonParseError error;
    const QJsonObject document = QJsonDocument::fromJson(output, &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(error.errorString()));
    QCOMPARE(document["program"].toString(), "DOV Uruvivuz");
    QCOMPARE(document["drive"]["mount_point"].toString(), root);
    QCOMPARE(document["drive"]["type"].toString(), "RAM DISK");
    QCOMPARE(document["drive"]["file_system"].toString(), "tmpfs");
    QVERIFY(document["drive"]["total_bytes"].toDouble() > 0);
    QCOMPARE(document["size_bytes"].toDouble(), 2e6);
    const QJsonArray runs = document["runs"].toArray();
    QCOMPARE(runs.size(), options.value(options.indexOf("--repeat") + 1).toInt());
    QCOMPARE(document["summary"]["runs"].toInt(), runs.size());
    for (const char* phase : {"create", "write", "read"}) {
        QList<double> seconds;
        for (const QJsonValue& run : runs) {
            const QDateTime started =
                QDateTime::fromString(run["started_utc"].toString(), Qt::ISODate);
            QVERIFY(started.isValid() && started.timeSpec() == Qt::UTC);
            seconds << run[QString(phase) + "_seconds"].toDouble(-1);
            QVERIFY(seconds.last() >= 0);
            QVERIFY(run["notices"].isArray());
        }
        std::sort(seconds.begin(), seconds.end());
        const QJsonValue spread = document["summary"][phase];
        QCOMPARE(spread["median_seconds"].toDouble(), seconds[seconds.size() / 2]);
        QCOMPARE(spread["lowest_seconds"].toDouble(), seconds.first());
        QCOMPARE(spread["highest_seconds"].toDouble(), seconds.last());
    }
}

void TestCommandLine::runLog_data() {
    QTest::addColumn<QString>("place");  // what is at the log's path before the run
    QTest::addColumn<QString>("locale");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("errors");  // pattern; %1 is the log's path
    QTest::addColumn<int>("rows");        // the log's runs afterwards; -1: left as it was

    const QString refused =
        "^Cannot log the runs to %1: %2\\. It was left as it is and nothing was measured; name a "
        "new file or a log this program wrote\n$";
    QTest::newRow("new file") << "nothing"
                              << "C" << 0 << "^$" << 1;
    QTest::newRow("new file, German locale") << "nothing"
                                             << "de_DE.UTF-8" << 0 << "^$" << 1;
    QTest::newRow("its own log") << "own log"
                                 << "C" << 0 << "^$" << 2;
    QTest::newRow("empty file") << "empty"
                                << "C" << 0 << "^$" << 1;
    QTest::newRow("another CSV") << "other CSV"
                                 << "C" << 1
                                 << refused.arg(
                                        "%1",
                                        "its first line is not the header of this program's log")
                                 << -1;
    QTest::newRow("folder") << "folder"
                            << "C" << 1 << refused.arg("%1", "it is a folder") << -1;
    QTest::newRow("FIFO") << "FIFO"
                          << "C" << 1 << refused.arg("%1", "it is a FIFO") << -1;
    QTest::newRow("link to its own log")
        << "link"
        << "C" << 1 << refused.arg("%1", "it is a symbolic link \\(name the log file itself\\)")
        << -1;
    QTest::newRow("device") << "device"
                            << "C" << 1 << refused.arg("%1", "it is a device") << -1;
    QTest::newRow("read-only volume")
        << "read-only"
        << "C" << 1
        << "^Cannot open %1: Read-only file system\\. Nothing was measured; name a log file you "
           "may write to\n$"
        << -1;
    // The times still reach standard output; the log ends as it did.
    QTest::newRow("full volume")
        << "full"
        << "C" << 1
        << "^dov-uruvivuz: Cannot write %1: No space left on device; this run and those after it "
           "are not in the log\n$"
        << -1;
}

// --log with what may be found at its path; a refusal comes before anything is made.
void TestCommandLine::runLog() {
    QFETCH(QString, place);
    QFETCH(QString, locale);
    QFETCH(int, exitCode);
    QFETCH(QString, errors);
    QFETCH(int, rows);

    testsupport::ScratchTmpfs drive(32 << 20);
    testsupport::ScratchTmpfs logVolume(256 << 10);
    if (!drive.isReady()) QSKIP(qPrintable(drive.whyNot()));
    if (!logVolume.isReady()) QSKIP(qPrintable(logVolume.whyNot()));
    const QString root = drive.mountPoint();
    const QString log = place == "device" ? "/dev/null" : logVolume.mountPoint() + "/runs.csv";
    const auto write = [](const QString& path, const QByteArray& bytes) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
               file.write(bytes) == bytes.size();
    };
    const QByteArray header = console::csvHeader();
    const console::RunRecord earlier{QDateTime::currentDateTimeUtc(), {0.5, 1, 1}, 2000000, {}};
    QByteArray before;
    if (place == "own log")
        before = header + console::csvRow(earlier, {root, "", "RAM DISK", "tmpfs"});
    if (place == "other CSV") before = "name,size\r\nstick,64\r\n";
    if (place == "read-only") before = header;
    // Up to a page's end, so that a row needs room the volume no longer has.
    if (place == "full") before = header + QByteArray(4094 - header.size(), 'x') + "\r\n";
    if (!before.isEmpty() || place == "empty" || place == "link") QVERIFY(write(log, before));
    if (place == "link")
        QVERIFY(QFile::rename(log, log + ".real") && QFile::link(log + ".real", log));
    if (place == "folder") QVERIFY(QDir().mkdir(log));
    if (place == "FIFO") QCOMPARE(::mkfifo(QFile::encodeName(log).constData(), 0600), 0);
    if (place == "read-only") QVERIFY2(logVolume.makeReadOnly(), qPrintable(logVolume.whyNot()));
    if (place == "full") {
        QFile filler(logVolume.mountPoint() + "/filler");
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray page(4096, 'f');
        while (filler.write(page) == page.size()) {
        }
    }
    const QFileInfo was(log);

    const ChildWorld world;
    QProcessEnvironment environment = world.environment();
    environment.insert("LC_ALL", locale);
    const testsupport::ChildRun run = testsupport::runChild(
        kProgram, {"--drive", root, "--size", "2", "--log", log}, 60000, environment);
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.why));
    const QString errorText = QString::fromLocal8Bit(run.errors);
    const QString pattern =
        errors.contains("%1") ? errors.arg(QRegularExpression::escape(log)) : errors;
    QVERIFY2(QRegularExpression(pattern).match(errorText).hasMatch(), qPrintable(errorText));
    const bool measured = exitCode == 0 || place == "full";
    QCOMPARE(QRegularExpression("^[0-9.,]+\\t[0-9.,]+\\t[0-9.,]+\\n$").match(run.output).hasMatch(),
             measured);
    QCOMPARE(entries(root), QStringList());
    QCOMPARE(world.leftovers(), QStringList());

    QFile file(log);
    const QFileInfo is(log);
    if (rows < 0) {
        QCOMPARE(is.isSymLink(), was.isSymLink());
        QCOMPARE(is.isDir(), was.isDir());
        QCOMPARE(is.size(), was.size());
        if (is.isFile() && !is.isSymLink())
            QVERIFY(file.open(QIODevice::ReadOnly) && file.readAll() == before);
        return;
    }
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QStringList> records = csvRecords(file.readAll());
    QCOMPARE(records.size(), rows + 1);
    QCOMPARE(records.first(), csvRecords(header).first());
    checkLogRows(records.mid(1), root);
}

// Two runs logging at once to a new log, again and again: one header, and whole rows only.
void TestCommandLine::logRowsFromRunsAtOnce() {
    const QTemporaryDir folder;
    const console::RunRecord run{QDateTime::currentDateTimeUtc(), {0, 0.5, 0.25}, 2000000, {}};
    const driveinfo::DriveFacts facts{"/m", "A \"B\", C", "RAM DISK", "tmpfs"};
    const QStringList header = csvRecords(console::csvHeader()).first();
    const QStringList row = csvRecords(console::csvRow(run, facts)).first();
    for (int round = 0; round < 100; ++round) {
        const QString path = folder.filePath(QStringLiteral("runs%1.csv").arg(round));
        console::RunLog first(path);
        console::RunLog second(path);
        std::latch start(2);
        const auto appendTwice = [&](console::RunLog* log) {
            start.arrive_and_wait();
            log->append(run, facts);
            log->append(run, facts);
        };
        std::thread one(appendTwice, &first);
        std::thread other(appendTwice, &second);
        one.join();
        other.join();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QStringList> records = csvRecords(file.readAll());
        QCOMPARE(records, (QList<QStringList>{header, row, row, row, row}));
    }
}

void TestCommandLine::recordOfARun_data() {
    QTest::addColumn<QString>("volume");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QList<double>>("seconds");  // as measured
    QTest::addColumn<QStringList>("summary");    // the spread's phase lines, as shown
    QTest::addColumn<QStringList>("row");        // the log row's size, times and rates

    QTest::newRow("quote and comma in the name, German locale")
        << "Paul's \"fast\", stick" << "de_DE" << QList<double>{0.004, 0.5, 0.257}
        << QStringList{"DATA CREATE         0 s         0 s         0 s  too fast to time (under "
                       "0.01 s)",
                       "WRITE TIME        0,5 s       0,5 s       0,5 s  4,00 MB/s",
                       "READ TIME        0,25 s      0,25 s      0,25 s  8,00 MB/s"}
        << QStringList{"2", "0.004", "0.5", "0.257", "4", "7.782"};
    QTest::newRow("line break in the name")
        << "A\nB"
        << "C" << QList<double>{1.25, 0, 2}
        << QStringList{"DATA CREATE      1.25 s      1.25 s      1.25 s  1.60 MB/s",
                       "WRITE TIME          0 s         0 s         0 s  too fast to time (under "
                       "0.01 s)",
                       "READ TIME           2 s         2 s         2 s  1.00 MB/s"}
        << QStringList{"2", "1.25", "0", "2", "", "1"};
}

// A run as the spread of a series, the log and the JSON document give it.
void TestCommandLine::recordOfARun() {
    QFETCH(QString, volume);
    QFETCH(QString, locale);
    QFETCH(QList<double>, seconds);
    QFETCH(QStringList, summary);
    QFETCH(QStringList, row);

    const QLocale before;
    QLocale::setDefault(QLocale(locale));
    const console::RunRecord run{QDateTime::currentDateTimeUtc(),
                                 {seconds[0], seconds[1], seconds[2]},
                                 2000000,
                                 {"a notice"}};
    const driveinfo::DriveFacts facts{"/media/x", volume, "Removable Disk", "vfat"};
    const QStringList lines = console::spreadSummary({run, run}, "/media/x").split('\n');
    const QList<QStringList> records = csvRecords(console::csvRow(run, facts));
    const QJsonObject document =
        QJsonDocument::fromJson(console::jsonDocument(facts, 2000000, {run})).object();
    QLocale::setDefault(before);

    QCOMPARE(lines.mid(2, 3), summary);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records[0][2], volume);
    QCOMPARE(records[0].mid(7, 6), row);
    QCOMPARE(document["drive"]["volume_name"].toString(), volume);
    const QJsonObject first = document["runs"][0].toObject();
    QCOMPARE(first["write_seconds"].toDouble(), seconds[1]);
    QCOMPARE(first["write_mb_per_s"].isNull(), seconds[1] == 0);
    QCOMPARE(first["notices"].toArray(), QJsonArray{"a notice"});
    QCOMPARE(document["summary"]["create"]["median_seconds"].toDouble(), seconds[0]);
}

void TestCommandLine::interruptDuringCreateRemovesItsFile_data() {
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGQUIT") << SIGQUIT;
    QTest::newRow("SIGUSR1") << SIGUSR1;
}

// An end signal in the middle of a long create phase: the cut file goes, status 128 + the
// signal's number. (A copy's fsync cannot be cut short, so the create phase, which looks at the
// stop request every MiB, is where an interrupt shows at once.)
void TestCommandLine::interruptDuringCreateRemovesItsFile() {
    QFETCH(int, signalNumber);
    // Room for the size, as the run checks; a tmpfs takes memory only for what is written.
    testsupport::ScratchTmpfs drive(qint64(4) << 30);
    if (!drive.isReady()) QSKIP(qPrintable(drive.whyNot()));

    const ChildWorld world;
    const QString local = world.testFile();
    QVERIFY2(!QFileInfo::exists(local), "a test file is already in the program's test folder");
    QProcess child;
    child.setProcessEnvironment(world.environment());
    // 2000 MB take the create phase several seconds.
    child.start(kProgram, {"--drive", drive.mountPoint(), "--size", "2000"});
    QVERIFY(child.waitForStarted());
    const bool creating = testsupport::waitUntil([&] { return QFileInfo::exists(local); }, 30000);
    if (creating) QThread::msleep(300);
    ::kill(pid_t(child.processId()), signalNumber);
    const bool ended = child.waitForFinished(10000);
    if (!ended) {
        child.kill();
        child.waitForFinished();
        QFile::remove(local);
    }
    QVERIFY(creating);
    QVERIFY2(ended, "the run went on after the signal");
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 128 + signalNumber);
    QCOMPARE(child.readAllStandardOutput(), QByteArray());
    QVERIFY(
        child.readAllStandardError().contains("the run was stopped and its test files removed"));
    QCOMPARE(entries(drive.mountPoint()), QStringList());
    QCOMPARE(world.leftovers(), QStringList());
}

// Qt takes its own options; the window opens with them and ends on SIGTERM as on QUIT.
void TestCommandLine::toolkitOptionsReachTheWindow() {
    const ChildWorld world;
    const testsupport::StartFolder start;
    QProcess child;
    child.setProcessEnvironment(world.environment());
    child.setWorkingDirectory(start.path());
    child.start(kProgram, {"-platform", "offscreen", "-style", "Fusion", "-reverse"});
    QVERIFY(child.waitForStarted());
    QVERIFY(!child.waitForFinished(1500));  // the window is open
    child.terminate();
    QVERIFY(child.waitForFinished(10000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QCOMPARE(child.readAllStandardError(), QByteArray());
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
