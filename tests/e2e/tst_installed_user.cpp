// A system-wide install as an ordinary user meets it: a user of the test's own, the program
// installed with `cmake --install` into a prefix that user may not write to, the real system bus
// and polkitd, and runs started as that user through the window and the command line. START must
// give times without leaving a file behind, and on exFAT through FUSE the read time must be true
// or said not to be.

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "e2e/xsession.h"
#include "support/scratchmounts.h"

using namespace e2e;
using testsupport::ChildRun;
using testsupport::findTool;
using testsupport::readFileBytes;
using testsupport::runChild;

Q_DECLARE_METATYPE(testsupport::LoopVolume::Format)

namespace {

constexpr int skipReturnCode = 77;  // SKIP_RETURN_CODE in CMakeLists.txt
constexpr int runTimeoutMs = 180000;
constexpr int settleMs = 5000;  // for a message after the times, or times after a message
constexpr int buildTimeoutMs = 40 * 60 * 1000;
const QString testFile = QStringLiteral("TEST.TXT");
const QString messageTitle = QStringLiteral("Tarvello");
const QString actionId = QStringLiteral("io.github.zelvik.DovUruvivuz.drop-device-cache");
const QString policyName = QStringLiteral("io.github.zelvik.DovUruvivuz.policy");
const QString systemPolicy = QStringLiteral("/usr/share/polkit-1/actions/") + policyName;
const QString rulesFile = QStringLiteral("/etc/polkit-1/rules.d/49-dovtest.rules");
const QString prefixStem = QStringLiteral("/tmp/dov-installed-user-prefix-");
const QString homesStem = QStringLiteral("/tmp/dov-installed-user-home-");
const QString notice = QStringLiteral("may come partly from memory: ");
// Only one run of this test at a time: the action, the rule and the bus are machine-wide.
const char* const lockPath = "/run/dov-uruvivuz-installed-user-test.lock";
// The ids of the daemons this run started, for the next run should this one be killed.
const char* const daemonsPath = "/run/dov-uruvivuz-installed-user-test.daemons";

// Three times as the program gives them, tab-separated, and nothing after.
bool isTimesLine(const QByteArray& text) {
    static const QRegularExpression line(
        QStringLiteral("\\A\\d+(\\.\\d{1,2})?\\t\\d+(\\.\\d{1,2})?\\t\\d+(\\.\\d{1,2})?\\z"));
    return line.match(QString::fromLatin1(text)).hasMatch();
}

QString textOf(const ChildRun& run) {
    return run.why + QLatin1Char(' ') + QString::fromLocal8Bit(run.output + run.errors).trimmed();
}

QString polkitdPath() {
    for (const char* path : {"/usr/libexec/polkitd", "/usr/lib/polkit-1/polkitd"}) {
        if (QFileInfo(QLatin1String(path)).isExecutable()) return QLatin1String(path);
    }
    return {};
}

// Under the lock no other run is going on, so every test user but this run's is a leftover.
bool isLeftoverUser(const QString& name) {
    static const QRegularExpression pattern(QStringLiteral("\\Adovtest\\d+\\z"));
    return pattern.match(name).hasMatch() && name != QStringLiteral("dovtest%1").arg(getpid());
}

// The folder logind would make for the user's session.
QString runtimeFolderOf(uid_t uid) {
    return QStringLiteral("/run/user/%1").arg(uid);
}

// Kills what still runs as the test user (its real user id), which only this test starts.
void endProcessesOf(uid_t uid) {
    const QString wanted = QStringLiteral("Uid:\t%1\t").arg(uid);
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        if (pid.toInt() <= 0) continue;
        const QString status =
            QString::fromLatin1(readFileBytes(QStringLiteral("/proc/%1/status").arg(pid)));
        if (status.contains(wanted)) ::kill(pid.toInt(), SIGKILL);
    }
}

// The scratch RAM disks given to the user, found by their owner.
void unmountDrivesOf(uid_t uid) {
    for (const QByteArray& line :
         readFileBytes(QStringLiteral("/proc/self/mountinfo")).split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 5 || !fields[4].startsWith("/tmp/dov-test-")) continue;
        const QString folder = QString::fromUtf8(fields[4]);
        if (QFileInfo(folder).ownerId() != uid) continue;
        testsupport::runTool(QStringLiteral("umount"), {QStringLiteral("-l"), folder});
        QDir().rmdir(folder);
    }
}

// What a crashed earlier run left: the daemons it started (they change their user, so they do
// not die with their parent), its user, its rule, its copy of the action.
void removeLeftovers() {
    bool busStopped = false;
    for (const QByteArray& pid : readFileBytes(QLatin1String(daemonsPath)).split('\n')) {
        const QByteArray name =
            readFileBytes(QStringLiteral("/proc/%1/comm").arg(QString::fromLatin1(pid))).trimmed();
        if (pid.toInt() <= 0 || (name != "dbus-daemon" && name != "polkitd")) continue;
        qInfo("stopping %s (%s) left by an earlier run", name.constData(), pid.constData());
        ::kill(pid.toInt(), SIGTERM);
        testsupport::waitUntil([&] { return ::kill(pid.toInt(), 0) != 0; }, 10000);
        busStopped = busStopped || name == "dbus-daemon";
    }
    if (busStopped) QFile::remove(QStringLiteral("/run/dbus/system_bus_socket"));
    QFile::remove(QLatin1String(daemonsPath));
    for (const QByteArray& line : readFileBytes(QStringLiteral("/etc/passwd")).split('\n')) {
        const QString name = QString::fromUtf8(line.split(':').first());
        if (isLeftoverUser(name)) {
            qInfo("removing the user %s left by an earlier run", qPrintable(name));
            if (const passwd* entry = ::getpwnam(name.toUtf8().constData())) {
                endProcessesOf(entry->pw_uid);
                QDir(runtimeFolderOf(entry->pw_uid)).removeRecursively();
                unmountDrivesOf(entry->pw_uid);
            }
            runChild(findTool(QStringLiteral("userdel")),
                     {QStringLiteral("--force"), QStringLiteral("--remove"), name});
        }
    }
    if (readFileBytes(rulesFile).contains("dovtest")) QFile::remove(rulesFile);
    if (readFileBytes(systemPolicy).contains(prefixStem.toUtf8())) QFile::remove(systemPolicy);
    for (const QFileInfo& folder : QDir(QStringLiteral("/tmp"))
                                       .entryInfoList({QStringLiteral("dov-installed-user-*")},
                                                      QDir::Dirs | QDir::NoSymLinks)) {
        if (folder.ownerId() == 0) QDir(folder.filePath()).removeRecursively();
    }
}

// A normal user with a home in a scratch folder; removed with its home again.
class TestUser {
public:
    TestUser() : name(QStringLiteral("dovtest%1").arg(getpid())) {
        if (!homes_.isValid()) {
            whyNot = QStringLiteral("cannot create a folder for the home");
            return;
        }
        ::chmod(QFile::encodeName(homes_.path()).constData(), 0755);
        home = homes_.filePath(name);
        const ChildRun added =
            runChild(findTool(QStringLiteral("useradd")),
                     {QStringLiteral("--create-home"), QStringLiteral("--home-dir"), home,
                      QStringLiteral("--shell"), QStringLiteral("/bin/sh"),
                      QStringLiteral("--user-group"), name});
        created_ = added.ok();
        const passwd* entry = created_ ? ::getpwnam(name.toUtf8().constData()) : nullptr;
        if (!entry) {
            whyNot = QStringLiteral("cannot create the user %1: %2").arg(name, textOf(added));
            return;
        }
        uid = entry->pw_uid;
        gid = entry->pw_gid;
        madeRunUser_ = !QFileInfo::exists(QStringLiteral("/run/user"));
        const QByteArray runtime = QFile::encodeName(runtimeFolder());
        if (!QDir().mkpath(runtimeFolder()) || ::chown(runtime.constData(), uid, gid) != 0 ||
            ::chmod(runtime.constData(), 0700) != 0) {
            whyNot = QStringLiteral("cannot make ") + runtimeFolder();
        }
    }
    ~TestUser() {
        if (!created_) return;
        endProcessesOf(uid);
        QDir(runtimeFolder()).removeRecursively();
        if (madeRunUser_) QDir().rmdir(QStringLiteral("/run/user"));
        const QString userdel = findTool(QStringLiteral("userdel"));
        // --force only when a process of the user outlived its test.
        if (!runChild(userdel, {QStringLiteral("--remove"), name}).ok()) {
            runChild(userdel, {QStringLiteral("--force"), QStringLiteral("--remove"), name});
        }
    }
    TestUser(const TestUser&) = delete;
    TestUser& operator=(const TestUser&) = delete;

    // The command that runs program as this user, with the user's groups and nothing of root's.
    QStringList command(const QString& program, const QStringList& arguments) const {
        return QStringList{QStringLiteral("--reuid=%1").arg(uid),
                           QStringLiteral("--regid=%1").arg(gid), QStringLiteral("--init-groups"),
                           QStringLiteral("--"), program} +
               arguments;
    }
    // A clean login environment: no XDG_CACHE_HOME, so the default cache folder is used.
    QProcessEnvironment environment() const {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("HOME"), home);
        environment.insert(QStringLiteral("USER"), name);
        environment.insert(QStringLiteral("LOGNAME"), name);
        environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/local/bin:/usr/bin:/bin"));
        environment.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
        return environment;
    }
    QString cacheFolder() const { return home + QStringLiteral("/.cache/dov-uruvivuz"); }
    QString runtimeFolder() const { return runtimeFolderOf(uid); }

    const QString name;
    QString home;
    uid_t uid = 0;
    gid_t gid = 0;
    QString whyNot;

private:
    QTemporaryDir homes_{homesStem + QStringLiteral("XXXXXX")};
    bool created_ = false;
    bool madeRunUser_ = false;
};

// The program built for a prefix of its own and installed there with `cmake --install`. The
// polkit action names the helper by its installed path, which comes from CMAKE_INSTALL_PREFIX
// at configure time; `cmake --install --prefix` moves the files but not that path. So a build
// of the program alone is configured for the scratch prefix; it stays in the test's build
// folder, so later runs only reconfigure and install.
class InstalledCopy {
public:
    InstalledCopy() {
        if (!prefix_.isValid()) {
            whyNot = QStringLiteral("cannot create a scratch prefix");
            return;
        }
        // Root's, readable by all, writable by none else: a system-wide install.
        ::chmod(QFile::encodeName(prefix_.path()).constData(), 0755);
        const QString cmake = QStringLiteral(DOV_CMAKE_COMMAND);
        const QList<QStringList> steps{
            {QStringLiteral("-S"), QStringLiteral(DOV_SOURCE_DIR), QStringLiteral("-B"), build,
             QStringLiteral("-DCMAKE_INSTALL_PREFIX=") + prefix_.path(),
             QStringLiteral("-DDOV_BUILD_TESTS=OFF"), QStringLiteral("-DDOV_BUILD_BENCH=OFF")},
            {QStringLiteral("--build"), build, QStringLiteral("-j2")},
            {QStringLiteral("--install"), build, QStringLiteral("--prefix"), prefix_.path()}};
        for (const QStringList& step : steps) {
            const ChildRun run = runChild(cmake, step, buildTimeoutMs);
            if (!run.ok()) {
                whyNot = textOf(run).right(4000);
                return;
            }
        }
    }
    // The same build installed once more, elsewhere; empty when that worked.
    QString installInto(const QString& otherPrefix) const {
        const ChildRun run =
            runChild(QStringLiteral(DOV_CMAKE_COMMAND),
                     {QStringLiteral("--install"), build, QStringLiteral("--prefix"), otherPrefix},
                     buildTimeoutMs);
        return run.ok() ? QString() : textOf(run).right(4000);
    }
    InstalledCopy(const InstalledCopy&) = delete;
    InstalledCopy& operator=(const InstalledCopy&) = delete;

    QString prefix() const { return prefix_.path(); }
    QString program() const { return prefix() + QStringLiteral("/bin/dov-uruvivuz"); }
    QString helper() const {
        return prefix() + QStringLiteral("/libexec/dov-uruvivuz/dov-uruvivuz-drop-cache");
    }
    QString policy() const {
        return prefix() + QStringLiteral("/share/polkit-1/actions/") + policyName;
    }

    QString whyNot;

private:
    QTemporaryDir prefix_{prefixStem + QStringLiteral("XXXXXX")};
    const QString build = QStringLiteral(DOV_BUILD_DIR "/installed-user-copy");
};

// The real system bus and polkitd, each started here only when it is not running, and stopped
// again only if started here; the installed action and a rule granting it to the test user,
// which a test session needs because it is not an active one.
class SystemPolkit {
public:
    SystemPolkit(const QString& policy, const TestUser& user) : user_(user) {
        original_ = QFile::exists(systemPolicy) ? readFileBytes(systemPolicy) : QByteArray();
        if (!copyOver(policy, systemPolicy) || !writeRule()) {
            whyNot = QStringLiteral("cannot put the action and the rule in place");
            return;
        }
        placed_ = true;
        if (!busAnswers()) startBus();
        if (whyNot.isEmpty() && !polkitAnswers()) startPolkitd();
        if (whyNot.isEmpty() && !waitForGrant(true)) {
            whyNot = QStringLiteral("polkit does not grant %1 to %2: %3")
                         .arg(actionId, user.name, lastCheck_);
        }
    }
    ~SystemPolkit() {
        polkitd_.reset();
        QFile::remove(QLatin1String(daemonsPath));
        if (bus_) {
            bus_.reset();
            // The daemon leaves its socket behind.
            QFile::remove(QStringLiteral("/run/dbus/system_bus_socket"));
            if (madeRunDbus_) QDir().rmdir(QStringLiteral("/run/dbus"));
        }
        if (!placed_) return;
        QFile::remove(rulesFile);
        if (original_.isEmpty()) {
            QFile::remove(systemPolicy);
        } else {
            write(systemPolicy, original_);
        }
    }
    SystemPolkit(const SystemPolkit&) = delete;
    SystemPolkit& operator=(const SystemPolkit&) = delete;

    // Takes the rule away, or puts it back; the test session alone is then not allowed.
    bool grant(bool granted) {
        if (granted ? !writeRule() : !QFile::remove(rulesFile)) return false;
        return waitForGrant(granted);
    }

    QString whyNot;

private:
    bool writeRule() {
        return write(rulesFile,
                     QStringLiteral("polkit.addRule(function(action, subject) {\n"
                                    "    if (action.id == \"%1\" && subject.user == \"%2\")\n"
                                    "        return polkit.Result.YES;\n"
                                    "});\n")
                         .arg(actionId, user_.name)
                         .toUtf8());
    }
    // polkitd already running reloads actions and rules on its own, a moment later.
    bool waitForGrant(bool granted) {
        return testsupport::waitUntil([&] { return userIsGranted() == granted; }, 30000);
    }

    static bool write(const QString& path, const QByteArray& bytes) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               file.write(bytes) == bytes.size() &&
               file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                   QFileDevice::ReadGroup | QFileDevice::ReadOther);
    }
    static bool copyOver(const QString& from, const QString& to) {
        QFile source(from);
        return source.open(QIODevice::ReadOnly) && write(to, source.readAll());
    }

    static ChildRun askBus(const QString& name) {
        return runChild(
            findTool(QStringLiteral("dbus-send")),
            {QStringLiteral("--system"), QStringLiteral("--print-reply"),
             QStringLiteral("--dest=org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
             QStringLiteral("org.freedesktop.DBus.NameHasOwner"), QStringLiteral("string:") + name},
            10000);
    }
    static bool busAnswers() { return askBus(QStringLiteral("org.freedesktop.DBus")).ok(); }
    static bool polkitAnswers() {
        return askBus(QStringLiteral("org.freedesktop.PolicyKit1")).output.contains("boolean true");
    }

    std::unique_ptr<OwnedProcess> startDaemon(const QString& program,
                                              const QStringList& arguments) {
        auto process = std::make_unique<OwnedProcess>();
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->setStandardOutputFile(QProcess::nullDevice());
        process->start(program, arguments);
        if (!process->waitForStarted(10000)) {
            whyNot = QStringLiteral("cannot start %1: %2").arg(program, process->errorString());
            return process;
        }
        QFile daemons{QLatin1String(daemonsPath)};
        if (daemons.open(QIODevice::Append))
            daemons.write(QByteArray::number(process->processId()) + '\n');
        return process;
    }

    void startBus() {
        madeRunDbus_ = !QFileInfo::exists(QStringLiteral("/run/dbus"));
        QDir().mkpath(QStringLiteral("/run/dbus"));
        // A socket nobody answers on is what a stopped bus left.
        QFile::remove(QStringLiteral("/run/dbus/system_bus_socket"));
        bus_ = startDaemon(findTool(QStringLiteral("dbus-daemon")),
                           {QStringLiteral("--system"), QStringLiteral("--nofork"),
                            QStringLiteral("--nopidfile")});
        if (whyNot.isEmpty() && !testsupport::waitUntil([] { return busAnswers(); }, 15000)) {
            whyNot = QStringLiteral("the system bus did not come up");
        }
    }
    void startPolkitd() {
        polkitd_ = startDaemon(polkitdPath(), {QStringLiteral("--no-debug")});
        if (whyNot.isEmpty() && !testsupport::waitUntil([] { return polkitAnswers(); }, 15000)) {
            whyNot = QStringLiteral("polkitd did not take its name on the system bus");
        }
    }

    // pkcheck as the user, about its own process, as pkexec will ask for the program.
    bool userIsGranted() {
        const ChildRun check =
            runChild(QStringLiteral("/usr/bin/setpriv"),
                     user_.command(QStringLiteral("/bin/sh"),
                                   {QStringLiteral("-c"),
                                    QStringLiteral("exec pkcheck --action-id \"$0\" --process $$"),
                                    actionId}),
                     15000, user_.environment());
        lastCheck_ = textOf(check);
        return check.ok();
    }

    const TestUser& user_;
    QByteArray original_;  // an installed copy's action, put back afterwards
    bool placed_ = false;
    bool madeRunDbus_ = false;
    std::unique_ptr<OwnedProcess> bus_;
    std::unique_ptr<OwnedProcess> polkitd_;
    QString lastCheck_;
};

// What a run started from a terminal gave.
struct UserRun {
    int exitCode = -1;
    QByteArray output;
    QString errors;
};

}  // namespace

class InstalledUserTest : public QObject {
    Q_OBJECT

private:
    // The command line, as the user, from the user's home.
    UserRun runCommandLine(const QString& drive, const QString& size) {
        QProcess process;
        process.setProcessEnvironment(user_->environment());
        process.setWorkingDirectory(user_->home);
        process.start(QStringLiteral("/usr/bin/setpriv"),
                      user_->command(installed_->program(), {QStringLiteral("--drive"), drive,
                                                             QStringLiteral("--size"), size}));
        UserRun run;
        if (!process.waitForFinished(runTimeoutMs)) {
            process.kill();
            process.waitForFinished(5000);
            run.errors = QStringLiteral("the command line did not finish in time");
            return run;
        }
        run.output = process.readAllStandardOutput();
        run.errors = QString::fromLocal8Bit(process.readAllStandardError());
        if (process.exitStatus() == QProcess::NormalExit) run.exitCode = process.exitCode();
        return run;
    }

    // START in the window, as the user, on the drive its working folder is on; the clipboard's
    // line becomes the output, and each message box is noted in the errors.
    UserRun runWindow(const QString& drive, const QString& size) {
        UserRun run;
        Session session(installed_->program());
        if (!session.whyNot.isEmpty()) {
            run.errors = QStringLiteral("SKIP ") + session.whyNot;
            return run;
        }
        QProcessEnvironment environment = user_->environment();
        environment.insert(QStringLiteral("DISPLAY"), session.display);
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), user_->runtimeFolder());
        OwnedProcess program;
        program.setProcessEnvironment(environment);
        program.setWorkingDirectory(drive);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(QStringLiteral("/usr/bin/setpriv"),
                      user_->command(installed_->program(), {}));
        program.waitForStarted(10000);
        const QString window = session.waitForWindowOf(program);
        if (window.isEmpty()) {
            run.errors = program.isRunning()
                             ? QStringLiteral("no window appeared")
                             : QStringLiteral("the program ended without a window (status %1): %2")
                                   .arg(program.exitCode())
                                   .arg(program.errorString());
            return run;
        }
        if (!session.x.typeInto(window, combo1Centre, size) ||
            !session.x.click(window, command1Centre)) {
            run.errors = QStringLiteral("xdotool could not drive the window");
            return run;
        }
        // Times on the clipboard and every message, in either order, until a few seconds pass
        // without either after the first of them.
        const QDeadlineTimer overall(runTimeoutMs);
        QDeadlineTimer settled(QDeadlineTimer::Forever);
        while (!overall.hasExpired() && !settled.hasExpired() && program.isRunning()) {
            if (run.output.isEmpty() && isTimesLine(session.x.clipboard())) {
                run.output = session.x.clipboard();
                settled.setRemainingTime(settleMs);
            }
            const QStringList boxes = session.x.windowsNamed(messageTitle, true);
            if (boxes.size() == 1) {
                // Qt gives no way to read its text from outside on X11.
                run.errors += QStringLiteral("a message titled %1 appeared\n").arg(messageTitle);
                session.x.click(boxes.first(), {10, 10});
                session.x.key(QStringLiteral("Return"));
                waitUntil([&] { return session.x.windowsNamed(messageTitle).isEmpty(); }, 10000);
                settled.setRemainingTime(settleMs);
            }
            QThread::msleep(100);
        }
        if (!program.isRunning() || !session.x.click(window, command2Centre) ||
            !program.waitForFinished(10000)) {
            run.errors += QStringLiteral("the program did not end through QUIT");
            return run;
        }
        // As the command line: a run without times failed, and says why in its messages.
        run.exitCode = run.output.isEmpty() ? 1 : program.exitCode();
        return run;
    }

    UserRun runAsUser(const QString& how, const QString& drive, const QString& size) {
        return how == QStringLiteral("window") ? runWindow(drive, size)
                                               : runCommandLine(drive, size);
    }

    // Nothing of the run stays in the program folder or in the user's cache folder, which the
    // run must have used: the user may not write to the program folder.
    void verifyNothingLeft(const QString& drive) {
        QCOMPARE(QDir(installed_->prefix() + QStringLiteral("/bin"))
                     .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
                 QStringList{QStringLiteral("dov-uruvivuz")});
        const QFileInfo cache(user_->cacheFolder());
        QVERIFY2(cache.isDir(), qPrintable(cache.filePath() + QStringLiteral(" was not created")));
        struct stat folder {};
        QCOMPARE(::stat(QFile::encodeName(cache.filePath()).constData(), &folder), 0);
        QCOMPARE(folder.st_uid, user_->uid);
        QCOMPARE(folder.st_mode & 07777, mode_t(0700));
        QVERIFY2(!QFile::exists(cache.filePath() + QLatin1Char('/') + testFile),
                 "TEST.TXT left in the cache folder");
        QVERIFY2(!QFile::exists(drive + QLatin1Char('/') + testFile),
                 "TEST.TXT left at the drive root");
    }

private Q_SLOTS:
    void initTestCase() {
        removeLeftovers();
        installed_ = std::make_unique<InstalledCopy>();
        QVERIFY2(installed_->whyNot.isEmpty(), qPrintable(installed_->whyNot));
        user_ = std::make_unique<TestUser>();
        QVERIFY2(user_->whyNot.isEmpty(), qPrintable(user_->whyNot));

        // pkexec runs only a helper owned by root that no one else may change, and finds the
        // action by the helper's path.
        struct stat helper {};
        QCOMPARE(::stat(QFile::encodeName(installed_->helper()).constData(), &helper), 0);
        QCOMPARE(helper.st_uid, uid_t(0));
        QCOMPARE(helper.st_mode & (S_IWGRP | S_IWOTH), mode_t(0));
        const auto annotation =
            QRegularExpression(QStringLiteral("<annotate key=\"org\\.freedesktop\\.policykit\\."
                                              "exec\\.path\">([^<]*)</annotate>"))
                .match(QString::fromUtf8(readFileBytes(installed_->policy())));
        QCOMPARE(annotation.captured(1), installed_->helper());
        const ChildRun writable = runChild(
            QStringLiteral("/usr/bin/setpriv"),
            user_->command(QStringLiteral("/usr/bin/test"),
                           {QStringLiteral("-w"), installed_->prefix() + QStringLiteral("/bin")}),
            10000, user_->environment());
        QVERIFY2(writable.exitCode == 1, "the user may write to the program folder");

        polkit_ = std::make_unique<SystemPolkit>(installed_->policy(), *user_);
        QVERIFY2(polkit_->whyNot.isEmpty(), qPrintable(polkit_->whyNot));
    }
    void cleanupTestCase() {
        polkit_.reset();
        user_.reset();
        installed_.reset();
    }

    // START on a RAM disk the user owns: the times, and no file left anywhere.
    void startOnTheUsersOwnDrive_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("window") << "window";
        QTest::newRow("command line") << "command line";
    }
    void startOnTheUsersOwnDrive() {
        QFETCH(QString, how);
        testsupport::ScratchTmpfs drive(64 * 1024 * 1024);
        if (!drive.isReady()) QSKIP(qPrintable(drive.whyNot()));
        QVERIFY(::chown(QFile::encodeName(drive.mountPoint()).constData(), user_->uid,
                        user_->gid) == 0);

        const UserRun run = runAsUser(how, drive.mountPoint(), QStringLiteral("10"));
        if (run.errors.startsWith(QStringLiteral("SKIP "))) QSKIP(qPrintable(run.errors.mid(5)));
        QVERIFY2(run.exitCode == 0, qPrintable(run.errors));
        QByteArray line = run.output;
        if (how != QStringLiteral("window")) QVERIFY(line.endsWith('\n'));
        if (line.endsWith('\n')) line.chop(1);
        QVERIFY2(isTimesLine(line), line.toPercentEncoding("\t.").constData());
        QVERIFY2(!run.errors.contains(notice), qPrintable(run.errors));
        verifyNothingLeft(drive.mountPoint());
    }

    // An installed copy never writes into its own folder, even where its user may: root with
    // the system-wide install, and the user with a copy installed into the home folder.
    void installedCopyNeverWritesIntoItsFolder_data() {
        QTest::addColumn<bool>("asRoot");
        QTest::newRow("root, installed system-wide") << true;
        QTest::newRow("the user, installed into ~/.local") << false;
    }
    void installedCopyNeverWritesIntoItsFolder() {
        QFETCH(bool, asRoot);
        testsupport::ScratchTmpfs drive(64 * 1024 * 1024);
        if (!drive.isReady()) QSKIP(qPrintable(drive.whyNot()));
        QTemporaryDir rootHome;
        QProcessEnvironment environment = user_->environment();
        QString program = installed_->program();
        QStringList command{QStringLiteral("--drive"), drive.mountPoint(), QStringLiteral("--size"),
                            QStringLiteral("10")};
        if (asRoot) {
            environment.insert(QStringLiteral("HOME"), rootHome.path());
        } else {
            const QString local = user_->home + QStringLiteral("/.local");
            QCOMPARE(installed_->installInto(local), QString());
            const QString owner = QStringLiteral("%1:%2").arg(user_->uid).arg(user_->gid);
            QVERIFY(runChild(findTool(QStringLiteral("chown")),
                             {QStringLiteral("-R"), owner, local, drive.mountPoint()})
                        .ok());
            program = local + QStringLiteral("/bin/dov-uruvivuz");
            command = user_->command(program, command);
        }
        FolderLog programFolder(QFileInfo(program).path());
        QVERIFY(programFolder.isReady());
        const ChildRun run = runChild(asRoot ? program : QStringLiteral("/usr/bin/setpriv"),
                                      command, runTimeoutMs, environment);
        QVERIFY2(run.ok() && isTimesLine(run.output.trimmed()), qPrintable(textOf(run)));
        QVERIFY2(!programFolder.events().contains(QLatin1Char('+') + testFile),
                 qPrintable(programFolder.events().join(QLatin1Char(' '))));
        const QString cache =
            environment.value(QStringLiteral("HOME")) + QStringLiteral("/.cache/dov-uruvivuz");
        QVERIFY2(QFileInfo(cache).isDir(), qPrintable(cache + QStringLiteral(" was not used")));
    }

    // The user's folders stay the user's: root keeping the user's HOME makes nothing in it; a
    // first run under a strict umask leaves folders a later run can use; a cache folder linked
    // to a folder of the user's is used; and a second user of a portable copy in a folder
    // shared by users runs in his own cache, whatever the first left there.
    void theUsersFoldersStayTheUsers_data() {
        QTest::addColumn<QString>("situation");
        for (const char* situation : {"root with the user's HOME", "strict umask, then again",
                                      "linked cache folder", "second user of a shared copy"})
            QTest::newRow(situation) << QString::fromLatin1(situation);
    }
    void theUsersFoldersStayTheUsers() {
        QFETCH(QString, situation);
        testsupport::ScratchTmpfs drive(64 * 1024 * 1024);
        if (!drive.isReady()) QSKIP(qPrintable(drive.whyNot()));
        QVERIFY(::chown(QFile::encodeName(drive.mountPoint()).constData(), user_->uid,
                        user_->gid) == 0);
        const QString owner = QStringLiteral("%1:%2").arg(user_->uid).arg(user_->gid);
        QDir(user_->cacheFolder()).removeRecursively();
        QFile::remove(user_->cacheFolder());
        const QStringList arguments{QStringLiteral("--drive"), drive.mountPoint(),
                                    QStringLiteral("--size"), QStringLiteral("1")};
        QString program = installed_->program();
        QTemporaryDir shared;
        const QString rootHome = QString::fromLocal8Bit(::getpwuid(0)->pw_dir);
        const bool rootCacheExisted = QFileInfo::exists(rootHome + "/.cache/dov-uruvivuz");
        const bool rootLocalExisted = QFileInfo::exists(rootHome + "/.local");
        const auto tidy = qScopeGuard([&] {
            if (!rootCacheExisted) QDir(rootHome + "/.cache/dov-uruvivuz").removeRecursively();
            if (!rootLocalExisted) QDir(rootHome + "/.local").removeRecursively();
        });
        const auto asUser = [&](const QString& shell) {
            return runChild(
                QStringLiteral("/usr/bin/setpriv"),
                user_->command(QStringLiteral("/bin/sh"),
                               QStringList{QStringLiteral("-c"), shell, program} + arguments),
                runTimeoutMs, user_->environment());
        };
        ChildRun run;
        if (situation.startsWith(QLatin1String("root"))) {
            run = runChild(program, arguments, runTimeoutMs, user_->environment());
            QVERIFY2(runChild(findTool(QStringLiteral("find")),
                              {user_->home, QStringLiteral("-uid"), QStringLiteral("0")})
                         .output.isEmpty(),
                     "root left something in the user's home");
        } else if (situation.startsWith(QLatin1String("strict"))) {
            QVERIFY2(asUser(QStringLiteral("umask 0277; exec \"$0\" \"$@\"")).ok(),
                     "the first run failed");
            run = asUser(QStringLiteral("exec \"$0\" \"$@\""));
        } else if (situation.startsWith(QLatin1String("linked"))) {
            const QString elsewhere = user_->home + QStringLiteral("/elsewhere");
            QVERIFY(QDir().mkpath(user_->home + QStringLiteral("/.cache")) &&
                    QDir().mkpath(elsewhere) && QFile::link(elsewhere, user_->cacheFolder()));
            QVERIFY(runChild(findTool(QStringLiteral("chown")),
                             {QStringLiteral("-hR"), owner, user_->home})
                        .ok());
            run = asUser(QStringLiteral("exec \"$0\" \"$@\""));
            QVERIFY(QDir(elsewhere).isEmpty());
        } else {
            // root's run was killed in the shared folder and left its test lines there.
            QVERIFY(::chmod(QFile::encodeName(shared.path()).constData(), 01777) == 0);
            program = shared.filePath(QStringLiteral("dov-uruvivuz"));
            QVERIFY(QFile::copy(installed_->program(), program));
            QFile leftover(shared.filePath(testFile));
            QVERIFY(leftover.open(QIODevice::WriteOnly) &&
                    leftover.write(QByteArray("123456789012345678901234567890123456789012345678"
                                              "\r\n")
                                       .repeated(1000)) > 0);
            leftover.close();
            run = asUser(QStringLiteral("exec \"$0\" \"$@\""));
            QCOMPARE(QFileInfo(shared.filePath(testFile)).size(), qint64(50000));
        }
        QVERIFY2(run.ok() && isTimesLine(run.output.trimmed()), qPrintable(textOf(run)));
        QVERIFY2(!QFile::exists(drive.mountPoint() + QLatin1Char('/') + testFile),
                 "TEST.TXT left at the drive root");
    }

    // exFAT through FUSE on a loop device throttled to 10 MiB/s: the user's read time matches a
    // cold read of a file of the same size, or the run says it may not.
    // fuse2fs names the device as its mount's source; fusefat names only itself.
    void readTimeOnFuseIsTrueOrSaidNotToBe_data() {
        QTest::addColumn<bool>("granted");
        QTest::addColumn<testsupport::LoopVolume::Format>("format");
        using Format = testsupport::LoopVolume::Format;
        QTest::newRow("polkit grants the helper") << true << Format::ExfatFuse;
        QTest::newRow("polkit refuses the helper") << false << Format::ExfatFuse;
        QTest::newRow("fuse2fs, polkit grants the helper") << true << Format::Ext4Fuse;
        QTest::newRow("fusefat") << true << Format::FatFuse;
    }
    void readTimeOnFuseIsTrueOrSaidNotToBe() {
        QFETCH(bool, granted);
        QFETCH(testsupport::LoopVolume::Format, format);
        constexpr qint64 bytesPerSecond = 10 * 1024 * 1024;
        constexpr qint64 fileBytes = 20 * 1000 * 1000;
        testsupport::LoopVolume drive(96 * 1024 * 1024, QStringLiteral("DOVUSER"), format);
        if (!drive.isReady()) QSKIP(qPrintable(drive.whyNot()));
        testsupport::BlockThrottle throttle(drive.majorMinor(), bytesPerSecond, bytesPerSecond);
        if (!throttle.isReady()) QSKIP(qPrintable(throttle.whyNot()));

        // The cold read: a file written there, every cached page of it and of the device
        // dropped, read with dd.
        const QString probe = drive.mountPoint() + QStringLiteral("/PROBE.BIN");
        {
            QFile file(probe);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::NewOnly));
            QVERIFY(file.write(QByteArray(fileBytes, 'x')) == fileBytes);
            QVERIFY(file.flush() && ::fsync(file.handle()) == 0);
            QVERIFY(::posix_fadvise(file.handle(), 0, 0, POSIX_FADV_DONTNEED) == 0);
        }
        const int device = ::open(QFile::encodeName(drive.loopDevice()).constData(), O_RDONLY);
        QVERIFY(device >= 0);
        QVERIFY(::fsync(device) == 0 && ::posix_fadvise(device, 0, 0, POSIX_FADV_DONTNEED) == 0);
        ::close(device);
        QElapsedTimer clock;
        clock.start();
        const ChildRun dd = runChild(findTool(QStringLiteral("dd")),
                                     {QStringLiteral("if=") + probe, QStringLiteral("of=/dev/null"),
                                      QStringLiteral("bs=1M")});
        const double ddSeconds = clock.nsecsElapsed() / 1e9;
        QVERIFY2(dd.ok(), qPrintable(dd.why));
        QVERIFY(QFile::remove(probe));
        // Else the throttle does not hold and the comparison says nothing.
        QVERIFY2(ddSeconds > 0.5 * fileBytes / bytesPerSecond,
                 qPrintable(QStringLiteral("the cold dd read took only %1 s").arg(ddSeconds)));

        // The command line, whose notice can be read, unlike the window's message box.
        const auto regrant = qScopeGuard([&] { polkit_->grant(true); });
        QVERIFY2(polkit_->grant(granted), "polkit did not follow the rule's change");
        const UserRun run = runCommandLine(drive.mountPoint(), QStringLiteral("20"));
        QVERIFY2(run.exitCode == 0, qPrintable(run.errors));
        const QList<QByteArray> times = run.output.trimmed().split('\t');
        QVERIFY2(times.size() == 3 && isTimesLine(run.output.trimmed()),
                 run.output.toPercentEncoding("\t.").constData());
        const double readSeconds = times[2].toDouble();
        const bool noticed =
            run.errors.contains(QStringLiteral("The read time of ")) && run.errors.contains(notice);
        qInfo("cold dd %.2f s, the user's read time %.2f s, notice: %s", ddSeconds, readSeconds,
              noticed ? qPrintable(run.errors.trimmed()) : "none");
        if (!noticed) {
            QVERIFY2(qAbs(readSeconds - ddSeconds) <= 0.1 * ddSeconds,
                     qPrintable(QStringLiteral("read time %1 s against a cold read of %2 s, and no "
                                               "notice; errors: %3")
                                    .arg(readSeconds)
                                    .arg(ddSeconds)
                                    .arg(run.errors)));
        } else {
            QVERIFY2(run.errors.contains(drive.mountPoint()), qPrintable(run.errors));
        }
        verifyNothingLeft(drive.mountPoint());
    }

private:
    std::unique_ptr<InstalledCopy> installed_;
    std::unique_ptr<TestUser> user_;
    std::unique_ptr<SystemPolkit> polkit_;
};

// Without root, or without the user, polkit and bus tools, nothing here can run: the whole test
// reports itself skipped to CTest, with the reason.
int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    // Installed files and folders must not be writable by others, as pkexec demands.
    ::umask(022);
    QString whyNot = testsupport::whyNotRoot(QStringLiteral("creating a user and running polkit"));
    if (whyNot.isEmpty()) {
        whyNot = testsupport::whyNotTools({QStringLiteral("useradd"), QStringLiteral("userdel"),
                                           QStringLiteral("setpriv"), QStringLiteral("dbus-daemon"),
                                           QStringLiteral("dbus-send"), QStringLiteral("pkexec"),
                                           QStringLiteral("pkcheck"), QStringLiteral("dd")});
    }
    if (whyNot.isEmpty() && polkitdPath().isEmpty())
        whyNot = QStringLiteral("polkitd is not installed");
    if (!whyNot.isEmpty()) {
        std::printf("SKIP: %s\n", qPrintable(whyNot));
        return skipReturnCode;
    }
    const int lock = ::open(lockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
        std::printf("cannot lock %s\n", lockPath);
        return 1;
    }
    InstalledUserTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_installed_user.moc"
