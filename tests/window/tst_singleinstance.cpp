// Two real copies of the program: the second ends at once with status 0 and never shows a
// window; the first is not disturbed, whatever XDG_RUNTIME_DIR each copy has. The instance name
// is per user and program file, leaves nothing on disk, and another user cannot take it.

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include <unistd.h>

#include "e2e/xsession.h"
#include "support/harness.h"
#include "support/scratchmounts.h"

using e2e::OwnedProcess;

namespace {

constexpr int kStartMs = 10000;

// A copy of the program whose instance lock lives in runtimeDir; offscreen unless a display
// is given.
std::unique_ptr<OwnedProcess> startCopy(const QString& runtimeDir, const QString& display = {}) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"),
                       display.isEmpty() ? QStringLiteral("offscreen") : QStringLiteral("xcb"));
    if (!display.isEmpty()) environment.insert(QStringLiteral("DISPLAY"), display);
    auto copy = std::make_unique<OwnedProcess>();
    copy->setProcessEnvironment(environment);
    copy->setProcessChannelMode(QProcess::MergedChannels);
    copy->start(QStringLiteral(DOV_PROGRAM_PATH));
    copy->waitForStarted(kStartMs);
    return copy;
}

// The socket inodes the process holds, as /proc/net/unix lists them.
QList<QByteArray> socketsOf(qint64 pid) {
    QList<QByteArray> inodes;
    const QString folder = QStringLiteral("/proc/%1/fd/").arg(pid);
    for (const QString& fd : QDir(folder).entryList(QDir::System | QDir::AllEntries)) {
        char target[256];
        const ssize_t size = ::readlink(QFile::encodeName(folder + fd).constData(), target, 255);
        const QByteArray link(target, size > 0 ? size : 0);
        if (link.startsWith("socket:[")) inodes << link.mid(8).chopped(1);
    }
    return inodes;
}

// The copy holds the instance once it has bound this user's abstract name, or locked its file
// in the user's runtime folder.
bool waitForInstanceLock(const OwnedProcess& copy) {
    const QByteArray prefix = "@dov-uruvivuz-" + QByteArray::number(geteuid()) + '-';
    const QString lockFile = QStringLiteral("/run/user/%1/dov-uruvivuz-").arg(geteuid());
    return testsupport::waitUntil(
        [&] {
            const QString fds = QStringLiteral("/proc/%1/fd/").arg(copy.processId());
            for (const QString& fd : QDir(fds).entryList(QDir::System | QDir::AllEntries)) {
                if (QFileInfo(fds + fd).symLinkTarget().startsWith(lockFile)) return true;
            }
            const QList<QByteArray> held = socketsOf(copy.processId());
            for (const QByteArray& line :
                 testsupport::readFileBytes(QStringLiteral("/proc/net/unix")).split('\n')) {
                const QList<QByteArray> fields = line.simplified().split(' ');
                if (fields.size() > 7 && fields.at(7).startsWith(prefix) &&
                    held.contains(fields.at(6)))
                    return true;
            }
            return false;
        },
        kStartMs);
}

// The second copy ends by itself, at once and with status 0.
bool endsAtOnce(OwnedProcess& copy) {
    return copy.waitForFinished(5000) && copy.exitStatus() == QProcess::NormalExit &&
           copy.exitCode() == 0;
}

// A copy that is allowed to start is still running a while later.
bool keepsRunning(OwnedProcess& copy) {
    return !copy.waitForFinished(1500) && copy.isRunning();
}

}  // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void secondCopyEndsAndFirstRuns() {
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        const auto first = startCopy(runtime.path());
        QVERIFY2(waitForInstanceLock(*first), "the first copy took no instance name");
        QVERIFY(first->isRunning());
        // Nothing of it on disk: the runtime folder stays empty.
        QCOMPARE(QDir(runtime.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList());

        const auto second = startCopy(runtime.path());
        QVERIFY2(endsAtOnce(*second), "the second copy did not end at once with status 0");
        // It ends silently.
        const QByteArray said = second->readAll();
        QVERIFY2(!said.contains("Tarvello") && !said.contains("rror"), said.constData());

        QTest::qWait(500);
        QVERIFY2(first->isRunning(), first->readAll().constData());

        // Another runtime folder does not make it a first copy.
        QTemporaryDir otherRuntime;
        QVERIFY2(endsAtOnce(*startCopy(otherRuntime.path())),
                 "a copy with another XDG_RUNTIME_DIR did not end");
        QVERIFY(first->isRunning());
    }

    void lockOfAKilledCopyDoesNotBlock() {
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        {
            const auto crashed = startCopy(runtime.path());
            QVERIFY(waitForInstanceLock(*crashed));
            // SIGKILL, as a crash would; the kernel frees the name.
            crashed->kill();
            crashed->waitForFinished(5000);
        }
        QVERIFY2(keepsRunning(*startCopy(runtime.path())),
                 "a killed copy's lock blocked the start");
    }

    // Another user who takes the program's abstract name and lets its queue fill keeps no copy
    // of ours from opening its window.
    void squatterAsAnotherUserDoesNotBlock() {
        if (geteuid() != 0) QSKIP("needs root to run a squatter as another user");
        if (const QString why = testsupport::whyNotTools({QStringLiteral("setpriv")});
            !why.isEmpty())
            QSKIP(qPrintable(why));
        const QByteArray program =
            QFile::encodeName(QFileInfo(QStringLiteral(DOV_PROGRAM_PATH)).canonicalFilePath());
        const QString name = QStringLiteral("dov-uruvivuz-%1-%2")
                                 .arg(geteuid())
                                 .arg(QString::fromLatin1(
                                     QCryptographicHash::hash(program, QCryptographicHash::Sha256)
                                         .toHex()
                                         .left(32)));
        OwnedProcess squatter;
        squatter.start(testsupport::findTool(QStringLiteral("setpriv")),
                       {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                        QStringLiteral("--clear-groups"), QStringLiteral("--"),
                        QStringLiteral(DOV_LOCK_HOLDER_PATH), QStringLiteral("squat"), name});
        QVERIFY(squatter.waitForReadyRead(kStartMs));
        QCOMPARE(squatter.readLine().trimmed(), QByteArray("holding"));

        QTemporaryDir runtime;
        QVERIFY2(keepsRunning(*startCopy(runtime.path())), "the squatter kept the copy out");
    }

    void secondCopyMapsNoWindowOnX11() {
        const e2e::Session session;
        if (!session.whyNot.isEmpty()) QSKIP(qPrintable(session.whyNot));
        if (const QString why = testsupport::whyNotTools({QStringLiteral("xev")}); !why.isEmpty())
            QSKIP(qPrintable(why));
        const auto titledWindows = [&] {
            return int(session.x.windowsNamed(e2e::windowTitle).size());
        };

        const auto first = session.start(session.startFolder.path());
        QVERIFY2(!session.waitForWindowOf(*first).isEmpty(), "the first copy showed no window");
        QVERIFY(waitForInstanceLock(*first));

        // Every top-level window mapped on the server from now on is reported.
        OwnedProcess watcher;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), session.display);
        watcher.setProcessEnvironment(environment);
        watcher.start(QStringLiteral("xev"), {QStringLiteral("-root"), QStringLiteral("-event"),
                                              QStringLiteral("substructure")});
        QVERIFY(watcher.waitForStarted(kStartMs));
        QByteArray watched;
        const auto watch = [&] {
            watcher.waitForReadyRead(50);
            watched += watcher.readAll();
            return watched.contains("MapNotify");
        };
        QTest::qWait(500);
        watch();

        QVERIFY2(endsAtOnce(*session.start(session.startFolder.path())),
                 "the second copy did not end at once with status 0");
        QTest::qWait(500);
        QVERIFY2(!watch(), watched.constData());
        QCOMPARE(titledWindows(), 1);
        QVERIFY(first->isRunning());

        // The watch does see a window being shown: a copy of another program file shows one.
        QTemporaryDir otherRuntime;
        const auto elsewhere = startCopy(otherRuntime.path(), session.display);
        QVERIFY(testsupport::waitUntil(watch, kStartMs));
        QCOMPARE(titledWindows(), 2);
    }

private:
    // Every copy starts here: a window whose folder no listed drive holds shows a message box.
    const testsupport::StartFolder start_{true};
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
