// Single instance across real processes, the program folder and the immediate end.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>
#include <functional>

#include "ownership/folders.h"
#include "platform/linuxprocess.h"
#include "platform/paths.h"
#include "platform/userfolders.h"
#include "support/harness.h"

using platform::LinuxProcessService;

namespace {

// A name of this test's own, so that no other run of it, and no program, shares it.
QString testName(const char* what) {
    return QStringLiteral("dov-uruvivuz-test-%1-%2").arg(getpid()).arg(QLatin1String(what));
}

}  // namespace

class LinuxProcessTest : public QObject {
    Q_OBJECT

    // Puts in place what a row's situation needs; the folders of another user need root.
    static bool prepare(const QString& situation, const std::function<QString(QString)>& expand) {
        const auto path = [&](const char* at) {
            return QFile::encodeName(expand(QString::fromLatin1(at)));
        };
        const bool asRoot = geteuid() == 0;
        if (situation == QLatin1String("lost bits"))
            return QDir().mkpath(expand("<tmp>/xdg/dov-uruvivuz")) &&
                   ::chmod(path("<tmp>/xdg/dov-uruvivuz"), 0100) == 0;
        if (situation.startsWith(QLatin1String("linked cache"))) {
            const bool made =
                QDir().mkpath(expand("<tmp>/xdg")) && ::mkdir(path("<tmp>/elsewhere"), 0700) == 0 &&
                ::symlink(path("<tmp>/elsewhere"), path("<tmp>/xdg/dov-uruvivuz")) == 0;
            if (!situation.endsWith(QLatin1String("another"))) return made;
            return made && asRoot && ::chown(path("<tmp>/elsewhere"), 12345, 12345) == 0;
        }
        if (situation == QLatin1String("home of another") ||
            situation == QLatin1String("shared folder")) {
            const char* folder = situation.startsWith('h') ? "<tmp>/home" : "<tmp>/shared";
            return asRoot && ::chown(path(folder), 12345, 12345) == 0 &&
                   ::chmod(path(folder), 01777) == 0;
        }
        return true;
    }

    QTemporaryDir scratch_;  // the holders' runtime and temporary folder

    // Starts a helper that tries the instance name (or squats it); returns its first line of
    // output.
    QString startHolder(QProcess& process, const QString& name, const QStringList& asUser = {},
                        const QStringList& how = {QStringLiteral("lock")}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), scratch_.path());
        environment.insert(QStringLiteral("TMPDIR"), scratch_.path());
        process.setProcessEnvironment(environment);
        const QStringList holder =
            QStringList{QStringLiteral(DOV_LOCK_HOLDER_PATH), how.first(), name} + how.mid(1);
        const QStringList command = asUser + holder;
        process.start(command.first(), command.mid(1));
        return nextLine(process);
    }
    static QString nextLine(QProcess& process) {
        if (!process.waitForStarted(10000)) return QStringLiteral("<not started>");
        if (!process.canReadLine() && !process.waitForReadyRead(10000))
            return QStringLiteral("<silent>");
        return QString::fromLocal8Bit(process.readLine()).trimmed();
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(scratch_.isValid()); }

    void secondProcessSeesTheFirstUntilItEndsOrGivesUp_data() {
        QTest::addColumn<bool>("killed");
        QTest::addColumn<bool>("inRuntimeFolder");  // a private runtime folder, else none
        QTest::newRow("killed") << true << false;
        QTest::newRow("gave the name up, still running") << false << false;
        QTest::newRow("killed, lock in the runtime folder") << true << true;
        QTest::newRow("gave the lock up, runtime folder") << false << true;
    }
    void secondProcessSeesTheFirstUntilItEndsOrGivesUp() {
        QFETCH(bool, killed);
        QFETCH(bool, inRuntimeFolder);
        const QString name = testName(killed ? "killed" : "released");
        QTemporaryDir runtime;
        QVERIFY(QFile::setPermissions(runtime.path(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QStringList lock{QStringLiteral("lock"),
                               inRuntimeFolder ? runtime.path() : QStringLiteral("/nonexistent")};
        const auto lockFiles = [&] {
            return QDir(runtime.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        };
        QProcess first;
        QCOMPARE(startHolder(first, name, {}, lock), QStringLiteral("holding"));
        QCOMPARE(lockFiles().size(), inRuntimeFolder ? 1 : 0);
        // Nothing on disk, in the runtime and temporary folders it was given or the usual ones.
        for (const QString& folder : {scratch_.path(), QStringLiteral("/tmp"),
                                      QStringLiteral("/run/user/%1").arg(geteuid())}) {
            QCOMPARE(QDir(folder).entryList({QLatin1Char('*') + name + QLatin1Char('*')},
                                            QDir::AllEntries | QDir::System | QDir::Hidden),
                     QStringList());
        }

        QProcess second;
        QCOMPARE(startHolder(second, name, {}, lock), QStringLiteral("already running"));
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);

        if (killed) {
            // The kernel frees the name with the process, however it ends.
            first.kill();
            QVERIFY(first.waitForFinished(10000));
        } else {
            first.write("release\n");
            QCOMPARE(nextLine(first), QStringLiteral("released"));
        }
        QProcess third;
        QCOMPARE(startHolder(third, name, {}, lock), QStringLiteral("holding"));
        third.closeWriteChannel();
        QVERIFY(third.waitForFinished(10000));
        first.closeWriteChannel();
        first.waitForFinished(10000);
        // The last one to hold the lock leaves nothing behind.
        QCOMPARE(lockFiles(), QStringList());
    }

    void answerStaysUntilTheHolderGoes() {
        const QString name = testName("answer");
        {
            LinuxProcessService first(name);
            LinuxProcessService second(name);
            QVERIFY(!first.previousInstanceRunning());
            QVERIFY(second.previousInstanceRunning());
            QVERIFY(!first.previousInstanceRunning());
            QVERIFY(second.previousInstanceRunning());
        }
        QVERIFY(!LinuxProcessService(name).previousInstanceRunning());
    }

    // Anyone may bind any abstract name; another user's holder must not keep our copy out,
    // whether it answers or lets its queue fill.
    void nameHeldByAnotherUserDoesNotBlock_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("holds the name and answers") << "lock";
        QTest::newRow("holds the name with a full queue") << "squat";
    }
    void nameHeldByAnotherUserDoesNotBlock() {
        QFETCH(QString, how);
        if (geteuid() != 0) QSKIP("needs root to run a holder as another user");
        if (const QString why = testsupport::whyNotTools({QStringLiteral("setpriv")});
            !why.isEmpty())
            QSKIP(qPrintable(why));
        const QStringList asNobody{testsupport::findTool(QStringLiteral("setpriv")),
                                   QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                   QStringLiteral("--clear-groups"), QStringLiteral("--")};
        const QString name = testName("squatted");
        QProcess squatter;
        QCOMPARE(startHolder(squatter, name, asNobody, {how}), QStringLiteral("holding"));
        QVERIFY(!LinuxProcessService(name, QStringLiteral("/proc"), QStringLiteral("/nonexistent"))
                     .previousInstanceRunning());
        squatter.closeWriteChannel();
        QVERIFY(squatter.waitForFinished(10000));
    }

    // Another XDG_RUNTIME_DIR, or none, must not let a second copy run: the name
    // comes from the user id and the program file, and a replaced program keeps it.
    void instanceNameIgnoresTheEnvironment() {
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(scratch_.path()));
        const QString withRuntime = LinuxProcessService().instanceName();
        qunsetenv("XDG_RUNTIME_DIR");
        const QString without = LinuxProcessService().instanceName();
        if (!saved.isNull()) qputenv("XDG_RUNTIME_DIR", saved);
        QCOMPARE(withRuntime, without);
        QVERIFY2(without.startsWith(
                     QStringLiteral("%1-%2-")
                         .arg(QFileInfo(QCoreApplication::applicationFilePath()).fileName())
                         .arg(geteuid())),
                 qPrintable(without));

        const auto nameFor = [](const QByteArray& executable) {
            QTemporaryDir proc;
            const QByteArray link = QFile::encodeName(proc.filePath(QStringLiteral("self/exe")));
            if (!QDir(proc.path()).mkdir(QStringLiteral("self")) ||
                ::symlink(executable.constData(), link.constData()) != 0)
                return QStringLiteral("<no link>");
            return LinuxProcessService({}, proc.path()).instanceName();
        };
        QCOMPARE(nameFor("/opt/a/dov-uruvivuz (deleted)"), nameFor("/opt/a/dov-uruvivuz"));
        QVERIFY(nameFor("/opt/b/dov-uruvivuz") != nameFor("/opt/a/dov-uruvivuz"));
    }

    // The program folder, and where the test file goes: next to a portable program in a folder
    // of the user's he may write in, else in the user's cache; installed (the install's marker
    // beside it, or a folder on the PATH) always in the cache. The user's folders stay his: the
    // cache folder is private whatever the umask, repaired when it lost its bits, used through a
    // link to a folder of his own, refused when another user's; another user's HOME is not
    // used, and a missing HOME is not made. <tmp> is a scratch folder of the test.
    void programFolderIsTheExecutablesFolder_data() {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("xdgCache");    // XDG_CACHE_HOME for the row
        QTest::addColumn<QString>("testFolder");  // empty: depends on the machine, not checked;
                                                  // "fails: <text>"
        QTest::addColumn<QString>("situation");
        const QString xdg = QStringLiteral("<tmp>/xdg");
        const auto row = [](const char* tag, const QString& executable, const QString& folder,
                            const QString& xdgCache, const QString& testFolder,
                            const char* situation = "") {
            QTest::newRow(tag) << executable << folder << xdgCache << testFolder
                               << QString::fromLatin1(situation);
        };
        const QString cache = QStringLiteral("<tmp>/xdg/dov-uruvivuz");
        const QString marked = QStringLiteral("<tmp>/prefix/bin");
        row("installed", "/usr/local/bin/dov-uruvivuz", "/usr/local/bin", xdg, "");
        // Root may write anywhere: the install's marker, not the permission, keeps it out.
        row("installed with its marker, in a folder the user may write to",
            marked + "/dov-uruvivuz", marked, xdg, cache);
        row("copied into a folder on the PATH", "<tmp>/onpath/dov-uruvivuz", "<tmp>/onpath", xdg,
            cache);
        row("blanks and non-ASCII", "/home/ä b/My Tools/dov-uruvivuz", "/home/ä b/My Tools", xdg,
            cache);
        row("replaced while running", "/opt/dov-missing/dov-uruvivuz (deleted)", "/opt/dov-missing",
            xdg, cache);
        row("in the root", "/dov-uruvivuz", "/", xdg, "");
        row("portable copy in a folder of the user's", "<tmp>/portable/dov-uruvivuz",
            "<tmp>/portable", xdg, "<tmp>/portable");
        row("not UTF-8", platform::pathFromBytes("<tmp>/\xff\xfe/dov-uruvivuz"),
            platform::pathFromBytes("<tmp>/\xff\xfe"), xdg,
            platform::pathFromBytes("<tmp>/\xff\xfe"));
        row("folder the user may not write to", "<tmp>/locked/dov-uruvivuz", "<tmp>/locked", xdg,
            cache);
        row("relative XDG_CACHE_HOME: the home folder's cache", "<tmp>/locked/dov-uruvivuz",
            "<tmp>/locked", "relative/cache", "<tmp>/home/.cache/dov-uruvivuz");
        row("portable copy in a folder shared by users", "<tmp>/shared/dov-uruvivuz",
            "<tmp>/shared", xdg, cache, "shared folder");
        row("strict umask, then a later run", marked + "/dov-uruvivuz", marked, xdg, cache,
            "umask 0277");
        row("cache folder that lost its bits", marked + "/dov-uruvivuz", marked, xdg, cache,
            "lost bits");
        row("cache folder linked to a folder of the user's", marked + "/dov-uruvivuz", marked, xdg,
            "<tmp>/elsewhere", "linked cache");
        row("cache folder linked to another user's", marked + "/dov-uruvivuz", marked, xdg,
            "fails: belongs to user 12345", "linked cache of another");
        row("HOME of another user", marked + "/dov-uruvivuz", marked, "relative/cache",
            "<user's home>/.cache/dov-uruvivuz", "home of another");
        row("HOME missing", marked + "/dov-uruvivuz", marked, "relative/cache",
            "fails: Cannot create <tmp>/nohome/x: the home folder does not exist", "home missing");
    }
    void programFolderIsTheExecutablesFolder() {
        QFETCH(QString, executable);
        QFETCH(QString, folder);
        QFETCH(QString, xdgCache);
        QFETCH(QString, testFolder);
        QFETCH(QString, situation);
        QTemporaryDir scratch;
        const QString userHome = platform::userEntry(geteuid()).home;
        const auto expand = [&](QString text) {
            return text.replace(QStringLiteral("<tmp>"), scratch.path())
                .replace(QStringLiteral("<user's home>"), userHome);
        };
        const auto bytes = [&](const QString& path) { return platform::pathToBytes(expand(path)); };
        for (const QString& made :
             {QStringLiteral("<tmp>/portable"), QStringLiteral("<tmp>/locked"),
              QStringLiteral("<tmp>/onpath"), QStringLiteral("<tmp>/home"),
              QStringLiteral("<tmp>/shared"), platform::pathFromBytes("<tmp>/\xff\xfe")}) {
            QCOMPARE(::mkdir(bytes(made).constData(), 0755), 0);
        }
        QVERIFY(QDir().mkpath(expand(QStringLiteral("<tmp>/prefix/share/dov-uruvivuz"))));
        QFile marker(expand(QStringLiteral("<tmp>/prefix/bin/" DOV_INSTALLED_MARKER_RELATIVE)));
        QVERIFY2(QDir().mkpath(expand(QStringLiteral("<tmp>/prefix/bin"))) &&
                     marker.open(QIODevice::WriteOnly),
                 qPrintable(marker.fileName()));
        QCOMPARE(::chmod(bytes(QStringLiteral("<tmp>/locked")).constData(), 0555), 0);
        const bool userCacheExisted = QFileInfo::exists(userHome + "/.cache/dov-uruvivuz");
        // QTemporaryDir cannot remove a name that is not UTF-8; /tmp keeps nothing of the test.
        const auto tidy = qScopeGuard([&] {
            ::chmod(bytes(QStringLiteral("<tmp>/locked")).constData(), 0755);
            ::rmdir(bytes(platform::pathFromBytes("<tmp>/\xff\xfe")).constData());
            if (!userCacheExisted) QDir(userHome + "/.cache/dov-uruvivuz").removeRecursively();
        });
        if (geteuid() == 0 && folder.contains(QLatin1String("locked")))
            QSKIP("root may create files in any folder");
        if (geteuid() != 0 && (situation.endsWith(QLatin1String("another")) ||
                               situation == QLatin1String("home of another") ||
                               situation == QLatin1String("shared folder")))
            QSKIP("giving a folder to another user needs root");
        QVERIFY2(prepare(situation, expand), qPrintable(situation));
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
        const QByteArray savedPath = qgetenv("PATH");
        qputenv("XDG_CACHE_HOME", bytes(xdgCache));
        qputenv("HOME",
                bytes(situation == QLatin1String("home missing") ? QStringLiteral("<tmp>/nohome/x")
                                                                 : QStringLiteral("<tmp>/home")));
        qputenv("PATH", bytes(QStringLiteral("relative::/usr/local/bin:<tmp>/onpath/")));
        const mode_t umask = ::umask(situation == QLatin1String("umask 0277") ? 0277 : 022);
        QString chosen;
        const QString failure = testsupport::failureOf([&] {
            chosen = ownership::testFileFolder(process, ownership::Retry::PressStart).path;
            ::umask(umask);
            // A later run under the usual umask finds the folder as it should be.
            chosen = ownership::testFileFolder(process, ownership::Retry::PressStart).path;
        });
        ::umask(umask);
        qputenv("XDG_CACHE_HOME", savedCache);
        qputenv("HOME", savedHome);
        qputenv("PATH", savedPath);
        // Nothing of the program's is ever made in another user's home, or for a missing one.
        QVERIFY(!QFileInfo::exists(expand(QStringLiteral("<tmp>/nohome"))));
        if (situation == QLatin1String("home of another"))
            QVERIFY(QDir(expand(QStringLiteral("<tmp>/home"))).isEmpty());
        if (testFolder.startsWith(QLatin1String("fails: "))) {
            QVERIFY2(failure.contains(expand(testFolder.mid(7))), qPrintable(failure));
            return;
        }
        QCOMPARE(failure, QStringLiteral("no failure"));
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
