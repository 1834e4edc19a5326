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
#include <thread>

#include "console/commandline.h"
#include "console/consolerun.h"
#include "console/runlog.h"
#include "console/seriesreport.h"
#include "fakes/fakedesktop.h"
#include "ownership/folders.h"
#include "platform/version.h"
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
        // The program's rule: its own folder where that is the user's, else its cache folder.
        fakes::FakeProcess process;
        process.folder = programFolder();
        testFolder_ = ownership::testFileFolder(process, ownership::Retry::RunAgain).privateFolder
                          ? home_.path() + "/cache/dov-uruvivuz"
                          : programFolder();
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
    static const QRegularExpression field("\"((?:[^\"]|\"\")*)\"(,|\r\n)|([^,\"\r\n]*)(,|\r\n)");
    const QString text = QString::fromUtf8(bytes);
    QList<QStringList> records;
    QStringList record;
    for (qsizetype at = 0; at < text.size();) {
        const QRegularExpressionMatch found =
            field.match(text, at, QRegularExpression::NormalMatch,
                        QRegularExpression::AnchorAtOffsetMatchOption);
        if (!found.hasMatch()) return {};
        const bool quoted = found.capturedStart(1) >= 0;
        record << (quoted ? found.captured(1).replace("\"\"", "\"") : found.captured(3));
        if (found.captured(quoted ? 2 : 4) == "\r\n") records << std::exchange(record, {});
        at = found.capturedEnd();
    }
    return record.isEmpty() ? records : QList<QStringList>{};
}

}  // namespace

class TestCommandLine : public QObject {
    Q_OBJECT

    static void checkDocument(const QByteArray& output, const QString& root,
                              const QStringList& options);

private Q_SLOTS:
    // First: ThreadSanitizer refuses new threads in a process that has forked children.
    void logRowsFromRunsAtOnce();
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

    const QString c = QStringLiteral("C");
    QTest::newRow("nothing opens the window") << QStringList{} << c << Action::Window << ""
                                              << "" << false << "";
    QTest::newRow("help") << QStringList{"--help"} << c << Action::Help << ""
                          << "" << false << "";
    QTest::newRow("version") << QStringList{"--version"} << c << Action::Version << ""
                             << "" << false << "";
    QTest::newRow("help after a run's options")
        << QStringList{"--drive", "/m", "--help"} << c << Action::Help << ""
        << "" << false << "";
    QTest::newRow("mistake before help")
        << QStringList{"--bogus", "--help"} << c << Action::Error << ""
        << "" << false << "unknown option '--bogus'";
    QTest::newRow("run") << QStringList{"--drive", "/media/a b", "--size", "100"} << c
                         << Action::Measure << "/media/a b"
                         << "2000000" << false << "";
    QTest::newRow("run, values attached, human")
        << QStringList{"--size=0.5", "--human", "--drive=/m"} << c << Action::Measure << "/m"
        << "10000" << true << "";
    QTest::newRow("folder named like an option")
        << QStringList{"--drive=--x", "--size", "1"} << c << Action::Measure << "--x"
        << "20000" << false << "";
    QTest::newRow("locale's decimal comma") << QStringList{"--drive", "/m", "--size", "0,5"}
                                            << QStringLiteral("de_DE") << Action::Measure << "/m"
                                            << "10000" << false << "";
    QTest::newRow("group separator refused")
        << QStringList{"--drive", "/m", "--size", "1,000"} << c << Action::Error << ""
        << "" << false << "Data size '1,000' is not a number";
    QTest::newRow("size not a number")
        << QStringList{"--drive", "/m", "--size", "ten"} << c << Action::Error << ""
        << "" << false << "Data size 'ten' is not a number";
    QTest::newRow("full-width digits") << QStringList{"--drive", "/m", "--size", "\uff11\uff10"}
                                       << QStringLiteral("ja_JP") << Action::Measure << "/m"
                                       << "200000" << false << "";
    QTest::newRow("size too large")
        << QStringList{"--drive", "/m", "--size", "1e9"} << c << Action::Error << ""
        << "" << false << "Data size '1e9' is too large";
    QTest::newRow("value missing at the end")
        << QStringList{"--size", "1", "--drive"} << c << Action::Error << ""
        << "" << false << "--drive needs a value";
    QTest::newRow("option in the value's place")
        << QStringList{"--drive", "--size", "1"} << c << Action::Error << ""
        << "" << false << "--drive needs a value";
    QTest::newRow("empty attached value")
        << QStringList{"--drive=", "--size", "1"} << c << Action::Error << ""
        << "" << false << "--drive needs a value";
    QTest::newRow("given twice") << QStringList{"--size", "1", "--size", "2", "--drive", "/"} << c
                                 << Action::Error << ""
                                 << "" << false << "--size is given twice";
    QTest::newRow("size without drive") << QStringList{"--size", "1"} << c << Action::Error << ""
                                        << "" << false << "--size needs --drive";
    QTest::newRow("drive without size") << QStringList{"--drive", "/"} << c << Action::Error << ""
                                        << "" << false << "--drive needs --size";
    QTest::newRow("human alone") << QStringList{"--human"} << c << Action::Error << ""
                                 << "" << false << "--human needs --drive and --size";
    QTest::newRow("flag with a value") << QStringList{"--help=yes"} << c << Action::Error << ""
                                       << "" << false << "--help takes no value";
    QTest::newRow("short option") << QStringList{"-h"} << c << Action::Error << ""
                                  << "" << false << "unknown option '-h'";
    QTest::newRow("size below zero")
        << QStringList{"--drive", "/m", "--size", "-1"} << c << Action::Error << ""
        << "" << false << "the size must be a positive number of megabytes, not '-1'";
    QTest::newRow("size zero") << QStringList{"--drive", "/m", "--size", "0"} << c << Action::Error
                               << ""
                               << "" << false
                               << "the size must be a positive number of megabytes, not '0'";
    QTest::newRow("size nan") << QStringList{"--drive", "/m", "--size", "nan"} << c << Action::Error
                              << ""
                              << "" << false << "Data size 'nan' is not a number";
    QTest::newRow("size inf") << QStringList{"--drive", "/m", "--size", "inf"} << c << Action::Error
                              << ""
                              << "" << false << "Data size 'inf' is too large";
    // The toolkit's own options, with their values, are Qt's to take.
    QTest::newRow("Qt's own options")
        << QStringList{"-platform",      "xcb",    "-style", "Fusion", "-reverse",
                       "--qwindowtitle", "--drive"}
        << c << Action::Window << ""
        << "" << false << "";
    QTest::newRow("Qt's options beside a run")
        << QStringList{"-style=Fusion", "--drive", "/m", "-nograb", "--size", "1"} << c
        << Action::Measure << "/m"
        << "20000" << false << "";
    QTest::newRow("Qt's option without its value")
        << QStringList{"-display"} << c << Action::Error << ""
        << "" << false << "-display needs a value";
    QTest::newRow("neither ours nor Qt's")
        << QStringList{"-styles", "Fusion"} << c << Action::Error << ""
        << "" << false << "unknown option '-styles'";
    QTest::newRow("stray word") << QStringList{"/media/stick"} << c << Action::Error << ""
                                << "" << false << "unexpected argument '/media/stick'";
    // The options of a series; what they give is checked on the runs' output.
    const QStringList run = {"--drive", "/m", "--size", "1"};
    const auto wrong = [&](const char* tag, const QStringList& arguments, const QString& error) {
        QTest::newRow(tag) << arguments << c << Action::Error << ""
                           << "" << false << error;
    };
    for (const char* count : {"0", "101", "-3", "2.5", "1e2"}) {
        wrong(count, run + QStringList{"--repeat", count},
              QStringLiteral("--repeat takes a whole number of runs from 1 to 100, not '%1'")
                  .arg(count));
    }
    wrong("json with human", run + QStringList{"--json", "--human"},
          "--json and --human do not go together");
    wrong("json twice", run + QStringList{"--json", "--json"}, "--json is given twice");
    wrong("log without its file", run + QStringList{"--log"}, "--log needs a value");
    wrong("repeat alone", {"--repeat=2"}, "--repeat needs --drive and --size");
    wrong("log alone", {"--log", "x.csv"}, "--log needs --drive and --size");
}

void TestCommandLine::parser() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, locale);
    QFETCH(Action, action);
    QFETCH(QString, drive);
    QFETCH(QString, lines);
    QFETCH(bool, human);
    QFETCH(QString, error);

    const console::CommandLine parsed = console::parseCommandLine(arguments, QLocale(locale));
    QCOMPARE(parsed.error, error);
    QCOMPARE(parsed.action, action);
    if (action != Action::Measure) return;
    QCOMPARE(parsed.drive, drive);
    QCOMPARE(QString::number(parsed.testLines), lines);
    QCOMPARE(parsed.human, human);
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
    QTest::addColumn<QString>("text");

    using measure::Phase;
    QTest::newRow("between phases") << Phase::None << qint64(5) << qint64(10) << 1.0 << "";
    QTest::newRow("create, just begun") << Phase::Create << qint64(0) << qint64(100000000) << 0.0
                                        << "create [....................] 0.0 / 100.0 MB";
    QTest::newRow("write, half") << Phase::Write << qint64(50000000) << qint64(100000000) << 2.0
                                 << "write  [##########..........] 50.0 / 100.0 MB  25.0 MB/s";
    QTest::newRow("read, done") << Phase::Read << qint64(2500000) << qint64(2500000) << 0.5
                                << "read   [####################] 2.5 / 2.5 MB  5.0 MB/s";
}

void TestCommandLine::progressLine() {
    QFETCH(measure::Phase, phase);
    QFETCH(qint64, done);
    QFETCH(qint64, total);
    QFETCH(double, seconds);
    QFETCH(QString, text);
    QCOMPARE(console::progressText(phase, done, total, seconds), text);
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
    // A file of the user's at the test file's name stays (else status 9); the advice fits here.
    QTest::newRow("user's file at the test file's name")
        << qint64(32 << 20) << QStringList{"--size", "2"} << 1 << "^$"
        << "^%1/TEST\\.TXT already exists and is not made of this program's test lines; it was "
           "left untouched\\. If it is yours, move it elsewhere and run it again\\.\n$"
        << false
        << "f=${2%/some/folder}/TEST.TXT; echo a >\"$f\"; \"$0\" \"$@\"; s=$?; grep -qx a \"$f\" "
           "|| s=9; rm \"$f\"; exit $s"
        << Volume::Tmpfs;
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
    // The process boundary: what the parent left the program with.
    QTest::newRow("standard output closed")
        << qint64(32 << 20) << QStringList{"--size", "2"} << 1 << "^$"
        << notWritten.arg("it is closed") << false << "exec \"$0\" \"$@\" >&-" << Volume::Tmpfs;
    QTest::newRow("working folder gone")
        << qint64(32 << 20) << QStringList{"--size", "2"} << 1 << "^$"
        << "^Cannot measure the drive of \\.: the working folder cannot be found \\(No such file "
           "or directory\\)\\. Change to a folder that exists, or name the drive by its full "
           "path\\.\n$"
        << false << "cd \"$2\" && rmdir \"$2\" && exec \"$0\" --drive . \"${@:3}\""
        << Volume::Tmpfs;
    QTest::newRow("working folder hidden by a later mount")
        << qint64(32 << 20) << QStringList{"--size", "2"} << 1 << "^$"
        << "^Cannot measure the drive of \\.: the working folder is on a drive that a later "
           "mount hides at its path\\. Change to a folder that exists, or name the drive by its "
           "full path\\.\n$"
        << false
        << "cd \"$2\" && mount -t tmpfs -o size=1m dovhides \"${2%/*}\" && mkdir \"$2\" && "
           "{ \"$0\" --drive . \"${@:3}\"; status=$?; cd /; umount \"${2%/*}\"; exit $status; }"
        << Volume::Tmpfs;
    QTest::newRow("hang-up ignored by the parent, as under nohup")
        << qint64(256 << 20) << QStringList{"--size", "200"} << 0 << kTimesLine + '$' << "^$"
        << false
        << "trap '' HUP; \"$0\" \"$@\" & while [ ! -e \"${0%/*}/TEST.TXT\" ]; do sleep 0.01; "
           "done; kill -HUP $!; wait $!"
        << Volume::Tmpfs;
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
    const QJsonValue drive = document["drive"];
    QCOMPARE(drive["mount_point"].toString() + drive["type"].toString(), root + "RAM DISK");
    QVERIFY(drive["total_bytes"].toDouble() > 0 && document["size_bytes"].toDouble() == 2e6);
    const QJsonArray runs = document["runs"].toArray();
    QCOMPARE(runs.size(), options.value(options.indexOf("--repeat") + 1).toInt());
    QCOMPARE(document["summary"]["runs"].toInt(), runs.size());
    for (const char* phase : {"create", "write", "read"}) {
        QList<double> seconds;
        for (const QJsonValue& run : runs) {
            QCOMPARE(QDateTime::fromString(run["started_utc"].toString(), Qt::ISODate).timeSpec(),
                     Qt::UTC);
            seconds << run[QString(phase) + "_seconds"].toDouble(-1);
        }
        std::sort(seconds.begin(), seconds.end());
        const QJsonValue spread = document["summary"][phase];
        QVERIFY(seconds.first() >= 0 && spread["lowest_seconds"].toDouble() == seconds.first());
        QCOMPARE(spread["median_seconds"].toDouble(), seconds[seconds.size() / 2]);
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
        "^Cannot log the runs to %1: %2\\. It was left as it is and nothing "
        "was measured; name a new file or a log this program wrote\n$";
    QTest::newRow("new file, German locale") << "nothing"
                                             << "de_DE.UTF-8" << 0 << "^$" << 1;
    QTest::newRow("its own log") << "own log"
                                 << "C" << 0 << "^$" << 2;
    QTest::newRow("another CSV") << "other CSV"
                                 << "C" << 1
                                 << refused.arg(
                                        "%1",
                                        "its first line is not the header of this program's log")
                                 << -1;
    // Made by someone else: a new log has its header from the moment its name appears.
    QTest::newRow("empty file") << "empty"
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
    QTest::newRow("read-only volume")
        << "read-only"
        << "C" << 1
        << "^Cannot open %1: Read-only file system\\. Nothing was measured; name a log file you "
           "may write to\n$"
        << -1;
    // The times still reach standard output; the log ends as it did.
    QTest::newRow("full volume") << "full"
                                 << "C" << 1
                                 << "^dov-uruvivuz: Cannot write %1: No space left on device; "
                                    "this run and those after it are not in the log\n$"
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
    testsupport::ScratchTmpfs logVolume(256 << 10);  // to be made full or read-only
    if (!drive.isReady() || !logVolume.isReady())
        QSKIP(qPrintable(drive.whyNot() + logVolume.whyNot()));
    const QString root = drive.mountPoint();
    const QString log = logVolume.mountPoint() + "/runs.csv";
    const QByteArray header = console::csvHeader();
    QByteArray before = header;
    if (place == "own log")
        before += console::csvRow({QDateTime::currentDateTimeUtc(), {0.5, 1, 1}, 2000000, {}},
                                  {root, "", "RAM DISK", "tmpfs"});
    if (place == "other CSV") before = "name,size\r\nstick,64\r\n";
    if (place == "empty") before.clear();
    // Up to a page's end, so that a row needs room the volume no longer has.
    if (place == "full") before += QByteArray(4094 - header.size(), 'x') + "\r\n";
    QFile file(place == "link" ? log + ".real" : log);
    if (place != "nothing" && place != "folder" && place != "FIFO")
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before) == before.size());
    file.close();
    QVERIFY(place != "link" || QFile::link(file.fileName(), log));
    QVERIFY(place != "folder" || QDir().mkdir(log));
    QVERIFY(place != "FIFO" || ::mkfifo(QFile::encodeName(log).constData(), 0600) == 0);
    QVERIFY(place != "read-only" || logVolume.makeReadOnly());
    for (QFile filler(logVolume.mountPoint() + "/filler");
         place == "full" && (filler.isOpen() || filler.open(QIODevice::WriteOnly));) {
        if (filler.write(QByteArray(4096, 'f')) < 4096 || !filler.flush()) break;
    }
    const QFileInfo was(log);

    const ChildWorld world;
    QProcessEnvironment environment = world.environment();
    environment.insert("LC_ALL", locale);
    const testsupport::ChildRun run = testsupport::runChild(
        kProgram, {"--drive", root, "--size", "2", "--log", log}, 60000, environment);
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.why));
    const QString errorText = QString::fromLocal8Bit(run.errors);
    QVERIFY2(QRegularExpression(errors.replace("%1", QRegularExpression::escape(log)))
                 .match(errorText)
                 .hasMatch(),
             qPrintable(errorText));
    QCOMPARE(QRegularExpression("^[0-9.,]+\\t[0-9.,]+\\t[0-9.,]+\\n$").match(run.output).hasMatch(),
             exitCode == 0 || place == "full");
    QCOMPARE(entries(root), QStringList());
    QCOMPARE(world.leftovers(), QStringList());

    const QFileInfo is(log);
    const auto kind = [](const QFileInfo& info) {
        return info.isSymLink() ? 'l' : info.isDir() ? 'd' : info.isFile() ? 'f' : 'p';
    };
    file.setFileName(log);
    // Never opened when it is a FIFO, which would wait for a writer.
    const QByteArray after =
        is.isFile() && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    if (rows < 0) {
        QCOMPARE(kind(is), kind(was));
        QCOMPARE(after, is.isFile() ? before : QByteArray());
        return;
    }
    const QList<QStringList> records = csvRecords(after);
    QCOMPARE(records.size(), rows + 1);
    QCOMPARE(records.first(), csvRecords(header).first());
    for (const QStringList& row : records.mid(1)) {
        QCOMPARE(row.mid(1, 4), (QStringList{root, "", "RAM DISK", "tmpfs"}));
        // Numbers a spreadsheet reads in every locale: "." for the decimals, nothing else.
        QVERIFY2(row.mid(7, 6).join('|').contains(QRegularExpression("^[0-9.|]+$")),
                 qPrintable(row.join(',')));
    }
}

// Runs logging to one new log at once, again and again: one header and whole rows, each field
// as it was, in a locale with a decimal comma; the JSON document keeps the name as it is too.
void TestCommandLine::logRowsFromRunsAtOnce() {
    const struct Restore {
        QLocale locale;
        ~Restore() { QLocale::setDefault(locale); }
    } restore{QLocale()};
    QLocale::setDefault(QLocale::German);
    const QTemporaryDir folder;
    const console::RunRecord run{QDateTime::currentDateTimeUtc(), {0, 0.5, 0.257}, 2000000, {}};
    // A name a spreadsheet would take for a formula stays text.
    const driveinfo::DriveFacts facts{"/m",  "Paul's \"fast\", stick\n", "RAM DISK", "tmpfs", "",
                                      "=1+2"};
    const QStringList row =
        (run.startedUtc.toString(Qt::ISODate) + "|/m|" + facts.volumeName +
         "|RAM DISK|tmpfs||'=1+2|2|0|0.5|0.257|4|7.782|" + platform::version::kFullVersion)
            .split('|');
    const QJsonObject document =
        QJsonDocument::fromJson(console::jsonDocument(facts, 2000000, {run})).object();
    QCOMPARE(document["drive"]["volume_name"].toString(), facts.volumeName);
    QVERIFY(document["runs"][0]["create_mb_per_s"].isNull());
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
        QCOMPARE(
            csvRecords(file.readAll()),
            (QList<QStringList>{csvRecords(console::csvHeader()).first(), row, row, row, row}));
    }
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
