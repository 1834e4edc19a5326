// Single instance across real processes, the program folder and the immediate end.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/linuxprocess.h"
#include "platform/paths.h"
#include "support/harness.h"

using platform::LinuxProcessService;

namespace {

// The instance lock file of this user in the folder, whichever program file it is for.
QString lockFileIn(const QString& folder) {
    const QStringList found = QDir(folder).entryList(
        {QStringLiteral("dov-uruvivuz-%1-*.lock").arg(geteuid())}, QDir::Files | QDir::System);
    return found.isEmpty() ? QStringLiteral("<none in %1>").arg(folder)
                           : folder + QLatin1Char('/') + found.first();
}

}  // namespace

class LinuxProcessTest : public QObject {
    Q_OBJECT

    QTemporaryDir lockDir_;

    // Starts a helper that tries the lock; returns its first line of output.
    QString startHolder(QProcess& process) {
        process.start(QStringLiteral(DOV_LOCK_HOLDER_PATH),
                      {QStringLiteral("lock"), lockDir_.path()});
        if (!process.waitForStarted(10000)) return QStringLiteral("<not started>");
        if (!process.canReadLine() && !process.waitForReadyRead(10000))
            return QStringLiteral("<silent>");
        return QString::fromLocal8Bit(process.readLine()).trimmed();
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(lockDir_.isValid()); }

    void secondProcessSeesTheFirstUntilItIsKilled() {
        QProcess first;
        QCOMPARE(startHolder(first), QStringLiteral("holding"));

        QProcess second;
        QCOMPARE(startHolder(second), QStringLiteral("already running"));
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);

        // A crash leaves the lock file behind; the kernel has dropped the lock with the process.
        first.kill();
        QVERIFY(first.waitForFinished(10000));
        QVERIFY(QFile::exists(lockFileIn(lockDir_.path())));

        QProcess third;
        QCOMPARE(startHolder(third), QStringLiteral("holding"));
        third.closeWriteChannel();
        QVERIFY(third.waitForFinished(10000));
    }

    void answerStaysUntilTheHolderGoes() {
        {
            LinuxProcessService first(lockDir_.path());
            LinuxProcessService second(lockDir_.path());
            QVERIFY(!first.previousInstanceRunning());
            QVERIFY(second.previousInstanceRunning());
            QVERIFY(!first.previousInstanceRunning());
            QVERIFY(second.previousInstanceRunning());
        }
        QVERIFY(!LinuxProcessService(lockDir_.path()).previousInstanceRunning());
    }

    void lockFileIsPrivate() {
        LinuxProcessService process(lockDir_.path());
        QVERIFY(!process.previousInstanceRunning());
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(process.lockFilePath()).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0600u);
    }

    void linkAtTheLockPathIsNotFollowed() {
        QTemporaryDir folder;
        const QString target = folder.filePath(QStringLiteral("elsewhere"));
        LinuxProcessService process(folder.path());
        QCOMPARE(::symlink(QFile::encodeName(target).constData(),
                           QFile::encodeName(process.lockFilePath()).constData()),
                 0);
        QVERIFY(!process.previousInstanceRunning());
        QVERIFY(!QFile::exists(target));
    }

    // Another XDG_RUNTIME_DIR, or none, must not let a second copy run: the lock lives where
    // the user id says, and is named after the program file.
    void lockFolderIgnoresTheEnvironment() {
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(lockDir_.path()));
        const QString withRuntime = LinuxProcessService().lockFilePath();
        qunsetenv("XDG_RUNTIME_DIR");
        const QString without = LinuxProcessService().lockFilePath();
        if (!saved.isNull()) qputenv("XDG_RUNTIME_DIR", saved);
        QCOMPARE(withRuntime, without);
        const QString runtime = QStringLiteral("/run/user/%1").arg(geteuid());
        QVERIFY2(without.startsWith(QFileInfo(runtime).isDir() ? runtime : QStringLiteral("/tmp/")),
                 qPrintable(without));
        struct stat program {};
        QCOMPARE(::stat("/proc/self/exe", &program), 0);
        QVERIFY2(without.endsWith(QStringLiteral("-%1.lock").arg(quint64(program.st_ino))),
                 qPrintable(without));
    }

    // The program folder, and where the test file goes: next to a program the user may write
    // beside, else in the user's cache. <tmp> is a scratch folder of the test.
    void programFolderIsTheExecutablesFolder_data() {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("xdgCache");    // XDG_CACHE_HOME for the row
        QTest::addColumn<QString>("testFolder");  // empty: depends on the machine, not checked
        const QString xdg = QStringLiteral("<tmp>/xdg");
        QTest::newRow("installed") << "/usr/local/bin/dov-uruvivuz"
                                   << "/usr/local/bin" << xdg << "";
        QTest::newRow("blanks and non-ASCII")
            << "/home/ä b/My Tools/dov-uruvivuz"
            << "/home/ä b/My Tools" << xdg << "<tmp>/xdg/dov-uruvivuz";
        QTest::newRow("replaced while running")
            << "/opt/dov-missing/dov-uruvivuz (deleted)"
            << "/opt/dov-missing" << xdg << "<tmp>/xdg/dov-uruvivuz";
        QTest::newRow("in the root") << "/dov-uruvivuz"
                                     << "/" << xdg << "";
        QTest::newRow("portable copy in a folder of the user's")
            << "<tmp>/portable/dov-uruvivuz"
            << "<tmp>/portable" << xdg << "<tmp>/portable";
        QTest::newRow("not UTF-8") << platform::pathFromBytes("<tmp>/\xff\xfe/dov-uruvivuz")
                                   << platform::pathFromBytes("<tmp>/\xff\xfe") << xdg
                                   << platform::pathFromBytes("<tmp>/\xff\xfe");
        QTest::newRow("folder the user may not write to")
            << "<tmp>/locked/dov-uruvivuz"
            << "<tmp>/locked" << xdg << "<tmp>/xdg/dov-uruvivuz";
        QTest::newRow("relative XDG_CACHE_HOME: the home folder's cache")
            << "<tmp>/locked/dov-uruvivuz"
            << "<tmp>/locked"
            << "relative/cache"
            << "<tmp>/home/.cache/dov-uruvivuz";
    }
    void programFolderIsTheExecutablesFolder() {
        QFETCH(QString, executable);
        QFETCH(QString, folder);
        QFETCH(QString, xdgCache);
        QFETCH(QString, testFolder);
        QTemporaryDir scratch;
        const auto expand = [&](QString text) {
            return text.replace(QStringLiteral("<tmp>"), scratch.path());
        };
        const auto bytes = [&](const QString& path) { return platform::pathToBytes(expand(path)); };
        for (const QString& made :
             {QStringLiteral("<tmp>/portable"), QStringLiteral("<tmp>/locked"),
              platform::pathFromBytes("<tmp>/\xff\xfe")}) {
            QCOMPARE(::mkdir(bytes(made).constData(), 0755), 0);
        }
        QCOMPARE(::chmod(bytes(QStringLiteral("<tmp>/locked")).constData(), 0555), 0);
        if (geteuid() == 0 && folder.contains(QLatin1String("locked")))
            QSKIP("root may create files in any folder");
        QTemporaryDir proc;
        QVERIFY(QDir(proc.path()).mkdir(QStringLiteral("self")));
        QCOMPARE(
            ::symlink(bytes(executable).constData(),
                      QFile::encodeName(proc.filePath(QStringLiteral("self/exe"))).constData()),
            0);
        LinuxProcessService process({}, proc.path());
        QCOMPARE(platform::pathToBytes(process.programFolder()), bytes(folder));

        const QByteArray savedCache = qgetenv("XDG_CACHE_HOME");
        const QByteArray savedHome = qgetenv("HOME");
        qputenv("XDG_CACHE_HOME", bytes(xdgCache));
        qputenv("HOME", bytes(QStringLiteral("<tmp>/home")));
        const QString chosen = process.testFileFolder();
        qputenv("XDG_CACHE_HOME", savedCache);
        qputenv("HOME", savedHome);
        ::chmod(bytes(QStringLiteral("<tmp>/locked")).constData(), 0755);
        if (testFolder.isEmpty()) return;
        QCOMPARE(platform::pathToBytes(chosen), bytes(testFolder));
        struct stat info {};
        QCOMPARE(::stat(bytes(testFolder).constData(), &info), 0);
        if (testFolder.contains(QLatin1String("cache")) ||
            testFolder.contains(QLatin1String("xdg")))
            QCOMPARE(info.st_mode & 07777, mode_t(0700));
    }

    void programFolderOfThisProcess() {
        QCOMPARE(LinuxProcessService().programFolder(), QCoreApplication::applicationDirPath());
    }

    void unreadableProgramLinkFailsNamingIt() {
        QTemporaryDir proc;
        QCOMPARE(
            testsupport::failureOf([&] { LinuxProcessService({}, proc.path()).programFolder(); }),
            QStringLiteral("Cannot read %1/self/exe: No such file or directory").arg(proc.path()));
    }

    void endProgramExitsAtOnceWithStatusZero() {
        const testsupport::ChildRun child =
            testsupport::runChild(QStringLiteral(DOV_LOCK_HOLDER_PATH), {QStringLiteral("end")});
        QVERIFY2(child.ok(), qPrintable(child.why));
        QCOMPARE(child.output, QByteArray("buffered text"));
    }
};

QTEST_GUILESS_MAIN(LinuxProcessTest)
#include "tst_linuxprocess.moc"
