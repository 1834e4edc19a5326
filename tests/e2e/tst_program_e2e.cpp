// The built program in a real X server, driven only from outside as a person would: its
// window as other X clients see it, the single-instance rule, QUIT, and whole START runs
// against a drive of the test's own, read back through the clipboard and the file system.

#include <QTest>

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

}  // namespace

class ProgramEndToEndTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void windowAsOtherClientsSeeIt() {
        Session session;
        if (!session.whyNot.isEmpty()) QSKIP(qPrintable(session.whyNot));
        const auto program = session.start(session.folder.path());
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
        const auto first = session.start(session.folder.path());
        const QString window = session.waitForWindowOf(*first);
        QVERIFY2(!window.isEmpty(), "the first copy shows no window");

        const auto second = session.start(session.folder.path());
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
