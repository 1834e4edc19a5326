// The built program in a real X server, driven only from outside as a person would: its
// window as other X clients see it, the single-instance rule, QUIT, and whole START runs
// against a drive of the test's own, read back through the clipboard and the file system.

#include <QTest>

#include <QDir>
#include <QElapsedTimer>

#include <signal.h>
#include <sys/types.h>

#include <cstdio>
#include <memory>

#include "e2e/xsession.h"
#include "support/scratchmounts.h"

using namespace e2e;

namespace {

constexpr int runTimeoutMs = 90000;
constexpr int skipReturnCode = 77;  // SKIP_RETURN_CODE in CMakeLists.txt
const QString testFile = QStringLiteral("TEST.TXT");
const QString messageTitle = QStringLiteral("Tarvello");

// Three times as the program shows them, two tab characters between them, and nothing after.
bool isClipboardLine(const QByteArray& text) {
    static const QRegularExpression line(
        QStringLiteral("\\A\\d+(\\.\\d{1,2})?\\t\\d+(\\.\\d{1,2})?\\t\\d+(\\.\\d{1,2})?\\z"));
    return line.match(QString::fromLatin1(text)).hasMatch();
}

// The FUSE daemon serving mountPoint: the process whose command line names it.
pid_t fuseDaemonOf(const QString& mountPoint) {
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = entry.toInt(&number);
        if (!number || pid == ::getpid()) continue;
        const QList<QByteArray> arguments =
            testsupport::readFileBytes(QStringLiteral("/proc/%1/cmdline").arg(pid)).split('\0');
        if (arguments.contains(QFile::encodeName(mountPoint))) return pid;
    }
    return 0;
}

// A process stopped as a daemon whose network went away; always continued again.
class Stopped {
public:
    explicit Stopped(pid_t pid) : pid_(pid), stopped_(pid > 0 && ::kill(pid, SIGSTOP) == 0) {}
    ~Stopped() {
        if (stopped_) ::kill(pid_, SIGCONT);
    }
    Stopped(const Stopped&) = delete;
    Stopped& operator=(const Stopped&) = delete;
    bool isStopped() const { return stopped_; }

private:
    pid_t pid_;
    bool stopped_;
};

// A file system frozen with fsfreeze, as during a snapshot; always thawed again.
class Frozen {
public:
    Frozen() = default;
    ~Frozen() { thaw(); }
    Frozen(const Frozen&) = delete;
    Frozen& operator=(const Frozen&) = delete;
    testsupport::ToolResult freeze(const QString& mountPoint) {
        mountPoint_ = mountPoint;
        return testsupport::runTool(QStringLiteral("fsfreeze"), {QStringLiteral("-f"), mountPoint});
    }
    void thaw() {
        if (mountPoint_.isEmpty()) return;
        testsupport::runTool(QStringLiteral("fsfreeze"), {QStringLiteral("-u"), mountPoint_});
        mountPoint_.clear();
    }

private:
    QString mountPoint_;
};

// The test clipboard manager on the session's display, once it owns CLIPBOARD_MANAGER.
std::unique_ptr<OwnedProcess> startClipboardManager(const Session& session) {
    auto keeper = std::make_unique<OwnedProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), session.display);
    keeper->setProcessEnvironment(environment);
    keeper->start(QStringLiteral(DOV_CLIPBOARD_KEEPER_PATH), {});
    QByteArray said;
    while (!said.contains("ready\n") && keeper->waitForReadyRead(10000))
        said += keeper->readAllStandardOutput();
    return keeper;
}

// Presses START with the size typed into Combo1.
bool startRun(const Session& session, const QString& window, const QString& size) {
    return session.x.typeInto(window, combo1Centre, size) &&
           session.x.click(window, command1Centre);
}

}  // namespace

class ProgramEndToEndTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void windowAsOtherClientsSeeIt() {
        Session session;
        if (!session.whyNot.isEmpty()) QSKIP(qPrintable(session.whyNot));
        const auto program = session.start(session.startFolder.path());
        QVERIFY2(program->isRunning(), "the program did not start");
        const QString window = session.waitForWindowOf(*program);
        QVERIFY2(!window.isEmpty(), "no window with the exact title appeared");

        QCOMPARE(session.x.property(window, QStringLiteral("_NET_WM_NAME")),
                 QLatin1Char('"') + windowTitle + QLatin1Char('"'));
        QCOMPARE(session.x.clientSize(window), QSize(350, 242));
        // Set by the program itself: there is no window manager here to add it.
        const QString state = session.x.property(window, QStringLiteral("_NET_WM_STATE"));
        QVERIFY2(state.split(QStringLiteral(", ")).contains(QStringLiteral("_NET_WM_STATE_ABOVE")),
                 qPrintable(QStringLiteral("_NET_WM_STATE is \"%1\"").arg(state)));
        QCOMPARE(session.x.property(window, QStringLiteral("_NET_WM_PID")),
                 QString::number(program->processId()));

        // The window icon carries the three sizes of the program's own picture.
        const testsupport::ChildRun icon =
            session.x.run(QStringLiteral("xprop"),
                          {QStringLiteral("-id"), window, QStringLiteral("_NET_WM_ICON")});
        for (const int size : {16, 32, 48}) {
            QVERIFY2(icon.output.contains(QStringLiteral("Icon (%1 x %1)").arg(size).toLatin1()),
                     qPrintable(QStringLiteral("no %1 px window icon").arg(size)));
        }
    }

    void secondStartEndsAtOnceAndQuitEndsTheFirst() {
        Session session;
        if (!session.whyNot.isEmpty()) QSKIP(qPrintable(session.whyNot));
        const auto first = session.start(session.startFolder.path());
        const QString window = session.waitForWindowOf(*first);
        QVERIFY2(!window.isEmpty(), "the first copy shows no window");

        const auto second = session.start(session.startFolder.path());
        QVERIFY2(second->waitForFinished(10000), "the second copy is still running");
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QVERIFY(first->isRunning());
        QCOMPARE(session.x.windowsNamed(windowTitle), QStringList{window});

        QVERIFY(session.x.click(window, command2Centre));
        QVERIFY2(first->waitForFinished(10000), "QUIT did not end the program");
        QCOMPARE(first->exitStatus(), QProcess::NormalExit);
        QCOMPARE(first->exitCode(), 0);
        QVERIFY(session.x.windowsNamed(windowTitle).isEmpty());
    }

    void startRunThroughTheWindow_data() {
        QTest::addColumn<QString>("driveKind");
        QTest::addColumn<int>("driveMegabytes");
        QTest::addColumn<QString>("size");
        QTest::addColumn<bool>("givesTimes");         // else a message box
        QTest::addColumn<bool>("targetEverWritten");  // the drive root saw TEST.TXT

        QTest::newRow("10 MB on a tmpfs") << "tmpfs" << 64 << "10" << true << true;
        QTest::newRow("1 MB on an ext4 stick image") << "ext4" << 64 << "1" << true << true;
        QTest::newRow("half a megabyte") << "tmpfs" << 16 << "0.5" << true << true;
        QTest::newRow("zero copies an empty file") << "tmpfs" << 16 << "0" << true << true;
        QTest::newRow("not a number") << "tmpfs" << 16 << "abc" << false << false;
        QTest::newRow("empty size") << "tmpfs" << 16 << "" << false << false;
        QTest::newRow("more than the drive holds") << "tmpfs" << 16 << "20" << false << true;
    }
    void startRunThroughTheWindow() {
        QFETCH(QString, driveKind);
        QFETCH(int, driveMegabytes);
        QFETCH(QString, size);
        QFETCH(bool, givesTimes);
        QFETCH(bool, targetEverWritten);

        Session session;
        if (!session.whyNot.isEmpty()) QSKIP(qPrintable(session.whyNot));
        // The drive a run measures: a tmpfs, or an ext4 file system in a loop-mounted image.
        const qint64 driveBytes = qint64(driveMegabytes) * 1024 * 1024;
        std::unique_ptr<testsupport::ScratchMount> drive;
        if (driveKind == QStringLiteral("ext4")) {
            drive = std::make_unique<testsupport::LoopExt4>(driveBytes, QStringLiteral("DOVE2E"));
        } else {
            drive = std::make_unique<testsupport::ScratchTmpfs>(driveBytes);
        }
        if (!drive->isReady()) QSKIP(qPrintable(drive->whyNot()));
        FolderLog localLog(session.folder.path());
        FolderLog targetLog(drive->mountPoint());
        QVERIFY(localLog.isReady() && targetLog.isReady());
        const QString localFile = session.folder.filePath(testFile);
        const QString targetFile = drive->mountPoint() + QLatin1Char('/') + testFile;

        const auto program = session.start(drive->mountPoint());
        const QString window = session.waitForWindowOf(*program);
        QVERIFY2(!window.isEmpty(), "no window appeared");

        QVERIFY(session.x.typeInto(window, combo1Centre, size));
        QVERIFY(session.x.click(window, command1Centre));

        // Whichever comes first: times on the clipboard, a message, or the end of the program.
        QByteArray line;
        QString message;
        const auto runEnded = [&] {
            line = session.x.clipboard();
            if (line.isEmpty()) {
                const QStringList messages = session.x.windowsNamed(messageTitle, true);
                message = messages.size() == 1 ? messages.first() : QString();
            }
            return !line.isEmpty() || !message.isEmpty() || !program->isRunning();
        };
        QVERIFY2(waitUntil(runEnded, runTimeoutMs), "the run gave neither times nor a message");
        QVERIFY2(program->isRunning(), "the program ended during the run");

        if (givesTimes) {
            QVERIFY2(message.isEmpty(), "the run showed a message instead of times");
            QVERIFY2(isClipboardLine(line), line.toPercentEncoding("\t.").constData());
        } else {
            QVERIFY2(!message.isEmpty(), "no message window titled Tarvello");
            QVERIFY2(line.isEmpty(), "a failed run filled the clipboard");
            QVERIFY2(!QFile::exists(localFile), "the local test file was left behind");
            // OK closes the message; START works again.
            QVERIFY(session.x.click(message, {10, 10}));
            QVERIFY(session.x.key(QStringLiteral("Return")));
            QVERIFY2(
                waitUntil([&] { return session.x.windowsNamed(messageTitle).isEmpty(); }, 10000),
                "the message did not close");
            QVERIFY(session.x.typeInto(window, combo1Centre, QStringLiteral("1")));
            QVERIFY(session.x.click(window, command1Centre));
            QVERIFY2(
                waitUntil(
                    [&] { return isClipboardLine(session.x.clipboard()) || !program->isRunning(); },
                    runTimeoutMs),
                "a run after the failure gave no times");
            QVERIFY2(program->isRunning(), "the program ended during the run after the failure");
        }

        QVERIFY2(!QFile::exists(localFile), "TEST.TXT left in the program folder");
        QVERIFY2(!QFile::exists(targetFile), "TEST.TXT left at the drive root");
        // The file really went through both places, and the drive root only when it should.
        const QStringList local = localLog.events();
        QVERIFY2(local.contains(QLatin1Char('+') + testFile), qPrintable(local.join(' ')));
        const QStringList target = targetLog.events();
        const bool targetSeen = target.contains(QLatin1Char('+') + testFile);
        if (givesTimes) {
            QVERIFY2(targetSeen, "the run did not write to the drive of the working folder");
        } else if (!targetEverWritten) {
            // Only the follow-up run of 1 MB may have touched the drive.
            QCOMPARE(target.count(QLatin1Char('+') + testFile), 1);
        }
        if (size.isEmpty()) {
            // "Data Size Error" touches no file: the follow-up run made the only local file.
            QCOMPARE(local.count(QLatin1Char('+') + testFile), 2);  // created, then read back
        }

        QVERIFY(session.x.click(window, command2Centre));
        QVERIFY2(program->waitForFinished(10000), "QUIT did not end the program");
        QCOMPARE(program->exitCode(), 0);
    }

    // A FUSE volume whose daemon is stopped, as an sshfs share whose network went away: every
    // query of it blocks in the kernel. It is listed but not selected, and the window shows
    // without waiting for it.
    void stalledFuseVolumeHoldsNothing() {
        Session session;
        if (!session.whyNot.isEmpty()) QSKIP(qPrintable(session.whyNot));
        testsupport::LoopVolume fuse(32 * 1024 * 1024, QStringLiteral("DOVSTALL"),
                                     testsupport::LoopVolume::Format::ExfatFuse);
        if (!fuse.isReady()) QSKIP(qPrintable(fuse.whyNot()));
        const pid_t daemon = fuseDaemonOf(fuse.mountPoint());
        if (daemon <= 0) QSKIP("the FUSE daemon of the scratch volume cannot be found");
        const Stopped stopped(daemon);  // continued before the volume is unmounted
        QVERIFY(stopped.isStopped());

        QElapsedTimer sinceStart;
        sinceStart.start();
        const auto program = session.start(session.startFolder.path());
        const QString window =
            session.x.waitForWindow(windowTitle, 8000, [&] { return !program->isRunning(); });
        QVERIFY2(!window.isEmpty(), "no window within a few seconds");
        // The window does not wait for the stalled volume's label.
        QVERIFY2(sinceStart.elapsed() < 2500,
                 qPrintable(QStringLiteral("the window took %1 ms").arg(sinceStart.elapsed())));

        const auto second = session.start(session.startFolder.path());
        QVERIFY2(second->waitForFinished(5000), "the second copy did not end at once");
        QCOMPARE(second->exitCode(), 0);

        QVERIFY(session.x.click(window, command2Centre));
        QVERIFY2(program->waitForFinished(5000), "QUIT did not end the program at once");
        QCOMPARE(program->exitCode(), 0);
    }

    // The drive is frozen during the write copy, so the copy blocks in the kernel. QUIT still
    // closes the window at once and the program ends once the drive thaws; without QUIT the
    // run completes after the thaw and START works again.
    void frozenDriveDuringCopy_data() {
        QTest::addColumn<bool>("quit");
        QTest::newRow("QUIT while frozen") << true;
        QTest::newRow("thawed without QUIT") << false;
    }
    void frozenDriveDuringCopy() {
        QFETCH(bool, quit);
        Session session;
        if (!session.whyNot.isEmpty()) QSKIP(qPrintable(session.whyNot));
        if (!testsupport::whyNotTools({QStringLiteral("fsfreeze")}).isEmpty())
            QSKIP("fsfreeze is not installed");
        testsupport::LoopExt4 drive(64 * 1024 * 1024, QStringLiteral("DOVFROZEN"));
        if (!drive.isReady()) QSKIP(qPrintable(drive.whyNot()));
        testsupport::BlockThrottle throttle(drive.majorMinor(), 2 * 1024 * 1024, 2 * 1024 * 1024);
        if (!throttle.isReady()) QSKIP(qPrintable(throttle.whyNot()));
        FolderLog targetLog(drive.mountPoint());
        QVERIFY(targetLog.isReady());
        const QString targetFile = drive.mountPoint() + QLatin1Char('/') + testFile;

        const auto program = session.start(drive.mountPoint());
        const QString window = session.waitForWindowOf(*program);
        QVERIFY2(!window.isEmpty(), "no window appeared");
        QVERIFY(startRun(session, window, QStringLiteral("20")));
        QVERIFY2(waitUntil([&] { return QFile::exists(targetFile); }, runTimeoutMs),
                 "the write copy did not start");
        Frozen frozen;
        const testsupport::ToolResult freeze = frozen.freeze(drive.mountPoint());
        QVERIFY2(freeze.ok, qPrintable(freeze.why));
        QTest::qWait(300);

        if (quit) {
            QVERIFY(session.x.click(window, command2Centre));
            QVERIFY2(waitUntil([&] { return session.x.windowsNamed(windowTitle, true).isEmpty(); },
                               1000),
                     "the window did not close within a second of QUIT");
            // The copy still stuck in the kernel is no longer the running program.
            const auto next = session.start(session.startFolder.path());
            QVERIFY2(!session.waitForWindowOf(*next).isEmpty(), "a new start showed no window");
            QVERIFY(program->isRunning());
            next->terminate();
            QVERIFY(next->waitForFinished(10000));
            frozen.thaw();
            QVERIFY2(program->waitForFinished(30000), "the program did not end after the thaw");
            QCOMPARE(program->exitCode(), 0);
            return;
        }
        // The window keeps answering while the copy is blocked.
        QVERIFY(session.x.typeInto(window, combo1Centre, QStringLiteral("1")));
        QTest::qWait(1000);
        frozen.thaw();
        QVERIFY2(waitUntil([&] { return isClipboardLine(session.x.clipboard()); }, runTimeoutMs),
                 "the run did not complete after the thaw");
        QVERIFY(session.x.click(window, command1Centre));
        QVERIFY2(waitUntil(
                     [&] {
                         return targetLog.events().count(QLatin1Char('-') + testFile) >= 2 ||
                                !program->isRunning();
                     },
                     runTimeoutMs),
                 "START did not run again after the thaw");
        QVERIFY(program->isRunning());
        QVERIFY(session.x.click(window, command2Centre));
        QVERIFY2(program->waitForFinished(10000), "QUIT did not end the program");
    }

    // QUIT ends the program at once also while a message waits for OK.
    void quitDuringAMessage() {
        Session session;
        if (!session.whyNot.isEmpty()) QSKIP(qPrintable(session.whyNot));
        const auto program = session.start(session.startFolder.path());
        const QString window = session.waitForWindowOf(*program);
        QVERIFY2(!window.isEmpty(), "no window appeared");
        QVERIFY(startRun(session, window, QStringLiteral("abc")));
        QVERIFY2(waitUntil([&] { return session.x.windowsNamed(messageTitle, true).size() == 1; },
                           runTimeoutMs),
                 "no message window titled Tarvello");
        QVERIFY(session.x.click(window, command2Centre));
        QVERIFY2(program->waitForFinished(5000), "QUIT did not end the program at once");
        QCOMPARE(program->exitCode(), 0);
    }

    // QUIT hands the clipboard to the desktop's clipboard manager, as a plain Qt program's exit
    // does, so the times can be pasted after the program has ended.
    void timesOutliveTheProgram_data() {
        QTest::addColumn<QString>("end");
        QTest::newRow("QUIT") << "quit";
        QTest::newRow("SIGTERM") << "sigterm";
    }
    void timesOutliveTheProgram() {
        QFETCH(QString, end);
        Session session;
        if (!session.whyNot.isEmpty()) QSKIP(qPrintable(session.whyNot));
        testsupport::ScratchTmpfs drive(16 * 1024 * 1024);
        if (!drive.isReady()) QSKIP(qPrintable(drive.whyNot()));
        const auto keeper = startClipboardManager(session);
        QVERIFY2(keeper->isRunning(), "the test clipboard manager did not start");

        const auto program = session.start(drive.mountPoint());
        const QString window = session.waitForWindowOf(*program);
        QVERIFY2(!window.isEmpty(), "no window appeared");
        QVERIFY(startRun(session, window, QStringLiteral("1")));
        QByteArray line;
        QVERIFY2(
            waitUntil([&] { return isClipboardLine(line = session.x.clipboard()); }, runTimeoutMs),
            "the run put no times on the clipboard");

        if (end == QLatin1String("quit")) {
            QVERIFY(session.x.click(window, command2Centre));
        } else {
            program->terminate();
        }
        QVERIFY2(program->waitForFinished(10000), "the program did not end");
        QCOMPARE(program->exitCode(), 0);
        QCOMPARE(session.x.clipboard(), line);
    }

    // SIGTERM (and likewise SIGHUP at logout, SIGINT) during a phase ends the program and
    // removes the run's test files, complete or cut short; so does the X server going away.
    void endSignalDuringAPhase_data() {
        QTest::addColumn<int>("phase");  // 1 create, 2 write, 3 read
        QTest::addColumn<QString>("size");
        QTest::addColumn<bool>("displayLost");
        QTest::newRow("create") << 1 << "400" << false;
        QTest::newRow("write") << 2 << "16" << false;
        QTest::newRow("read") << 3 << "16" << false;
        QTest::newRow("display lost during the write") << 2 << "16" << true;
    }
    void endSignalDuringAPhase() {
        QFETCH(int, phase);
        QFETCH(QString, size);
        QFETCH(bool, displayLost);
        Session session;
        if (!session.whyNot.isEmpty()) QSKIP(qPrintable(session.whyNot));
        // Room for the create row's 400 MB, which a drive too small for it refuses at once.
        testsupport::LoopExt4 drive(512 * 1024 * 1024, QStringLiteral("DOVSIGNAL"));
        if (!drive.isReady()) QSKIP(qPrintable(drive.whyNot()));
        // Slow enough that each copy lasts seconds: 16 MB at 2 MiB/s.
        testsupport::BlockThrottle throttle(drive.majorMinor(), 2 * 1024 * 1024, 2 * 1024 * 1024);
        if (!throttle.isReady()) QSKIP(qPrintable(throttle.whyNot()));
        FolderLog localLog(session.folder.path());
        QVERIFY(localLog.isReady());
        const QString localFile = session.folder.filePath(testFile);
        const QString targetFile = drive.mountPoint() + QLatin1Char('/') + testFile;

        const auto program = session.start(drive.mountPoint());
        const QString window = session.waitForWindowOf(*program);
        QVERIFY2(!window.isEmpty(), "no window appeared");
        QVERIFY(startRun(session, window, size));
        // The create phase makes the local file, the write phase the drive's, and the read
        // phase the local one a second time.
        const auto phaseStarted = [&] {
            if (phase == 1) return QFile::exists(localFile);
            if (phase == 2) return QFile::exists(targetFile);
            return localLog.events().count(QLatin1Char('+') + testFile) >= 2;
        };
        QVERIFY2(waitUntil(phaseStarted, runTimeoutMs), "the phase did not start");
        if (displayLost) {
            session.server.kill();
        } else {
            program->terminate();
        }

        QVERIFY2(program->waitForFinished(10000), "the program went on");
        QCOMPARE(program->exitStatus(), QProcess::NormalExit);
        QVERIFY2(!QFile::exists(localFile), "TEST.TXT left in the program folder");
        QVERIFY2(!QFile::exists(targetFile), "TEST.TXT left at the drive root");
    }
};

// Without an X server or the X tools nothing here can run: the whole test reports itself
// skipped to CTest, with the reason, instead of passing.
int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    const QString program = QStringLiteral(DOV_PROGRAM_PATH);
    const QString whyNot = QFileInfo(program).isExecutable()
                               ? Session().whyNot
                               : QStringLiteral("the program %1 is not built").arg(program);
    if (!whyNot.isEmpty()) {
        std::printf("SKIP: no X session for the end-to-end tests: %s\n", qPrintable(whyNot));
        return skipReturnCode;
    }
    ProgramEndToEndTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_program_e2e.moc"
