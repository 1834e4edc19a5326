// Two real copies of the program: the second ends at once with status 0 and never shows a
// window; the first is not disturbed. Each test uses a private XDG_RUNTIME_DIR, where the
// instance lock lives, so it never meets a copy a developer has running.

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>

#include <unistd.h>

namespace {

const QString kProgram = QStringLiteral(DOV_PROGRAM_PATH);
const QString kTitle = QStringLiteral("DOV Uruvivuz Ver.1.1   by Zelvik");
constexpr int kStartSeconds = 10;

bool waitUntil(const std::function<bool()>& check, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!check()) {
        if (deadline.hasExpired()) return false;
        QTest::qWait(50);
    }
    return true;
}

// A started process that is killed and reaped however the test ends.
class Child {
public:
    explicit Child(const QProcessEnvironment& environment) {
        process_.setProcessEnvironment(environment);
        process_.setProcessChannelMode(QProcess::MergedChannels);
    }
    ~Child() { stop(); }
    bool start(const QString& program, const QStringList& arguments = {}) {
        process_.start(program, arguments);
        return process_.waitForStarted(kStartSeconds * 1000);
    }
    // Asks first, so that a server removes its socket and lock; then forces.
    void stop() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.terminate();
        if (process_.waitForFinished(3000)) return;
        kill();
    }
    void kill() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.kill();
        process_.waitForFinished(5000);
    }
    QProcess& process() { return process_; }
    bool running() const { return process_.state() == QProcess::Running; }

private:
    QProcess process_;
};

// A private virtual X server on a display number nobody uses.
class VirtualDisplay {
public:
    VirtualDisplay() : child_(QProcessEnvironment::systemEnvironment()) {}

    QString start() {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
            return QStringLiteral("Xvfb is not installed");
        for (int number = 40 + getpid() % 400, tries = 0; tries < 50; ++number, ++tries) {
            const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
            const QString lock = QStringLiteral("/tmp/.X%1-lock").arg(number);
            if (QFile::exists(socket) || QFile::exists(lock)) continue;
            if (!child_.start(QStringLiteral("Xvfb"),
                              {QStringLiteral(":%1").arg(number), QStringLiteral("-nolisten"),
                               QStringLiteral("tcp"), QStringLiteral("-screen"),
                               QStringLiteral("0"), QStringLiteral("1024x768x24")}))
                return QStringLiteral("Xvfb did not start");
            if (waitUntil([&] { return QFile::exists(socket) || !child_.running(); }, 10000) &&
                child_.running()) {
                name_ = QStringLiteral(":%1").arg(number);
                return QString();
            }
            child_.stop();
        }
        return QStringLiteral("no free display for Xvfb");
    }
    QString name() const { return name_; }

private:
    Child child_;
    QString name_;
};

QProcessEnvironment programEnvironment(const QString& runtimeDir) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return environment;
}

// The first copy holds the lock once the lock file exists in the runtime folder; the lock is
// taken right after the file is opened, so a short grace follows.
bool waitForInstanceLock(const QString& runtimeDir) {
    const bool appeared = waitUntil(
        [&] {
            return !QDir(runtimeDir)
                        .entryList({QStringLiteral("dov-uruvivuz*")}, QDir::Files)
                        .isEmpty();
        },
        kStartSeconds * 1000);
    QTest::qWait(300);
    return appeared;
}

QString runOutput(const QString& program, const QStringList& arguments,
                  const QProcessEnvironment& environment) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    process.waitForFinished(10000);
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

}  // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void secondCopyEndsAndFirstRuns();
    void lockOfAKilledCopyDoesNotBlock();
    void secondCopyMapsNoWindowOnX11();
};

void TestSingleInstance::secondCopyEndsAndFirstRuns() {
    QTemporaryDir runtime;
    QVERIFY(runtime.isValid());
    const QProcessEnvironment environment = programEnvironment(runtime.path());

    Child first(environment);
    QVERIFY(first.start(kProgram));
    QVERIFY2(waitForInstanceLock(runtime.path()), "the first copy took no instance lock");
    QVERIFY(first.running());

    Child second(environment);
    QVERIFY(second.start(kProgram));
    QVERIFY2(second.process().waitForFinished(5000), "the second copy did not end");
    QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.process().exitCode(), 0);
    // It ends silently.
    const QByteArray said = second.process().readAll();
    QVERIFY2(!said.contains("Tarvello") && !said.contains("rror"), said.constData());

    QTest::qWait(500);
    QVERIFY2(first.running(), first.process().readAll().constData());

    // A copy in another session (another runtime folder) is not a previous instance.
    QTemporaryDir otherRuntime;
    Child elsewhere(programEnvironment(otherRuntime.path()));
    QVERIFY(elsewhere.start(kProgram));
    QVERIFY(!elsewhere.process().waitForFinished(1500));
    QVERIFY(elsewhere.running());
}

void TestSingleInstance::lockOfAKilledCopyDoesNotBlock() {
    QTemporaryDir runtime;
    QVERIFY(runtime.isValid());
    const QProcessEnvironment environment = programEnvironment(runtime.path());
    {
        Child crashed(environment);
        QVERIFY(crashed.start(kProgram));
        QVERIFY(waitForInstanceLock(runtime.path()));
        // SIGKILL leaves the lock file behind, as a crash would.
        crashed.kill();
    }
    Child next(environment);
    QVERIFY(next.start(kProgram));
    QVERIFY2(!next.process().waitForFinished(1500), "a killed copy's lock blocked the start");
    QVERIFY(next.running());
}

void TestSingleInstance::secondCopyMapsNoWindowOnX11() {
    if (QStandardPaths::findExecutable(QStringLiteral("xev")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("xwininfo")).isEmpty())
        QSKIP("xev or xwininfo is not installed (Debian package x11-utils)");
    VirtualDisplay display;
    if (const QString why = display.start(); !why.isEmpty()) QSKIP(qPrintable(why));

    QTemporaryDir runtime;
    QVERIFY(runtime.isValid());
    QProcessEnvironment environment = programEnvironment(runtime.path());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("DISPLAY"), display.name());

    const auto titledWindows = [&] {
        return runOutput(QStringLiteral("xwininfo"),
                         {QStringLiteral("-root"), QStringLiteral("-tree")}, environment)
            .count(QStringLiteral("\"%1\"").arg(kTitle));
    };

    Child first(environment);
    QVERIFY(first.start(kProgram));
    QVERIFY2(waitUntil([&] { return titledWindows() == 1; }, kStartSeconds * 1000),
             "the first copy showed no window");
    QVERIFY(waitForInstanceLock(runtime.path()));

    // Every top-level window mapped on the server from now on is reported.
    Child watcher(environment);
    QVERIFY(watcher.start(QStringLiteral("xev"), {QStringLiteral("-root"), QStringLiteral("-event"),
                                                  QStringLiteral("substructure")}));
    QTest::qWait(500);
    QByteArray watched = watcher.process().readAll();

    Child second(environment);
    QVERIFY(second.start(kProgram));
    QVERIFY2(second.process().waitForFinished(5000), "the second copy did not end");
    QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.process().exitCode(), 0);

    QTest::qWait(500);
    watched += watcher.process().readAll();
    QVERIFY2(!watched.contains("MapNotify"), watched.constData());
    QCOMPARE(titledWindows(), 1);
    QVERIFY(first.running());

    // The watch does see a window being shown: a copy in another session shows one.
    QTemporaryDir otherRuntime;
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), otherRuntime.path());
    Child elsewhere(environment);
    QVERIFY(elsewhere.start(kProgram));
    QVERIFY(waitUntil(
        [&] {
            watched += watcher.process().readAll();
            return watched.contains("MapNotify");
        },
        kStartSeconds * 1000));
    QCOMPARE(titledWindows(), 2);
}

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
