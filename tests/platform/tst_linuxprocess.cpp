// Single instance across real processes, the program folder and the immediate end.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/failure.h"
#include "platform/linuxprocess.h"

using platform::LinuxProcessService;

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
        QVERIFY(QFile::exists(
            lockDir_.filePath(QStringLiteral("dov-uruvivuz-%1.lock").arg(geteuid()))));

        QProcess third;
        QCOMPARE(startHolder(third), QStringLiteral("holding"));
        third.closeWriteChannel();
        QVERIFY(third.waitForFinished(10000));
    }

    void answerStaysTheSameOnLaterCalls() {
        LinuxProcessService first(lockDir_.path());
        LinuxProcessService second(lockDir_.path());
        QVERIFY(!first.previousInstanceRunning());
        QVERIFY(second.previousInstanceRunning());
        QVERIFY(!first.previousInstanceRunning());
        QVERIFY(second.previousInstanceRunning());
    }

    void lockIsReleasedWithItsHolder() {
        {
            LinuxProcessService first(lockDir_.path());
            QVERIFY(!first.previousInstanceRunning());
        }
        LinuxProcessService next(lockDir_.path());
        QVERIFY(!next.previousInstanceRunning());
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
        const QString lockPath =
            folder.filePath(QStringLiteral("dov-uruvivuz-%1.lock").arg(geteuid()));
        QCOMPARE(::symlink(QFile::encodeName(target).constData(),
                           QFile::encodeName(lockPath).constData()),
                 0);
        LinuxProcessService process(folder.path());
        QVERIFY(!process.previousInstanceRunning());
        QVERIFY(!QFile::exists(target));
    }

    void lockFolderDefaultsToTheRuntimeFolder() {
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(lockDir_.path()));
        const QString withRuntime = LinuxProcessService().lockFilePath();
        qunsetenv("XDG_RUNTIME_DIR");
        const QString without = LinuxProcessService().lockFilePath();
        if (!saved.isNull()) qputenv("XDG_RUNTIME_DIR", saved);
        QCOMPARE(withRuntime,
                 lockDir_.filePath(QStringLiteral("dov-uruvivuz-%1.lock").arg(geteuid())));
        QCOMPARE(without, QStringLiteral("/tmp/dov-uruvivuz-%1.lock").arg(geteuid()));
    }

    void programFolderIsTheExecutablesFolder_data() {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("folder");
        QTest::newRow("installed") << "/usr/local/bin/dov-uruvivuz"
                                   << "/usr/local/bin";
        QTest::newRow("blanks and non-ASCII") << "/home/ä b/My Tools/dov-uruvivuz"
                                              << "/home/ä b/My Tools";
        QTest::newRow("replaced while running") << "/opt/dov/dov-uruvivuz (deleted)"
                                                << "/opt/dov";
        QTest::newRow("in the root") << "/dov-uruvivuz"
                                     << "/";
    }
    void programFolderIsTheExecutablesFolder() {
        QFETCH(QString, executable);
        QFETCH(QString, folder);
        QTemporaryDir proc;
        QVERIFY(QDir(proc.path()).mkdir(QStringLiteral("self")));
        QCOMPARE(
            ::symlink(QFile::encodeName(executable).constData(),
                      QFile::encodeName(proc.filePath(QStringLiteral("self/exe"))).constData()),
            0);
        QCOMPARE(LinuxProcessService({}, proc.path()).programFolder(), folder);
    }

    void programFolderOfThisProcess() {
        QCOMPARE(LinuxProcessService().programFolder(), QCoreApplication::applicationDirPath());
    }

    void unreadableProgramLinkFailsNamingIt() {
        QTemporaryDir proc;
        try {
            LinuxProcessService({}, proc.path()).programFolder();
            QFAIL("read a missing link");
        } catch (const platform::Failure& failure) {
            QCOMPARE(failure.description(),
                     QStringLiteral("Cannot read %1/self/exe: No such file or directory")
                         .arg(proc.path()));
        }
    }

    void endProgramExitsAtOnceWithStatusZero() {
        QProcess child;
        child.start(QStringLiteral(DOV_LOCK_HOLDER_PATH), {QStringLiteral("end")});
        QVERIFY(child.waitForFinished(10000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(child.readAllStandardOutput(), QByteArray("buffered text"));
    }
};

QTEST_GUILESS_MAIN(LinuxProcessTest)
#include "tst_linuxprocess.moc"
