// The START run on real files: temporary folders stand in for the program folder and the
// drive. Covers the file's exact bytes, files of the user, a drive that fills up or goes away,
// hostile events during a run (unmounts, swapped links, hard links, a second run, corrupted data,
// names that are not UTF-8), and QUIT in a real process.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstring>
#include <memory>
#include <optional>

#include "measure/clockrules.h"
#include "measure/threadedsteprunner.h"
#include "ownership/folders.h"
#include "ownership/journal.h"
#include "platform/linuxclock.h"
#include "platform/linuxdrives.h"
#include "platform/linuxfiles.h"
#include "platform/linuxprocess.h"
#include "platform/paths.h"
#include "platform/qteventpump.h"
#include "platform/qtoffthread.h"
#include "runharness.h"
#include "support/harness.h"
#include "support/scratchmounts.h"

using measuretest::kTestLine;

namespace {

const char* const kQuitChildOption = "--quit-during-second-wait";
const char* const kKilledChildOption = "--killed-at-the-copys-first-write";

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
}

// The program folder given by the test, with the real end of the program.
class FolderProcess : public fakes::FakeProcess {
public:
    void endProgram() override { real_.endProgram(); }

private:
    platform::LinuxProcessService real_;
};

// The real file service, clock and event pump; desktop services are fakes.
struct DiskServices {
    platform::LinuxClock clock;
    platform::LinuxFileService files;
    platform::QtEventPump pump;
    FolderProcess process;
    fakes::FakeClipboard clipboard;
    fakes::FakePointer pointer;
    fakes::FakeMessageBox messages;
    platform::SystemVolumeQueries volumes;
};

// One run on disk whose waits are real waits that handle events.
struct DiskRun : measuretest::BasicRunHarness<DiskServices> {
    DiskRun(const QString& programFolder, const QString& drive,
            measure::StepRunner* runner = nullptr)
        : BasicRunHarness(runner) {
        process.folder = programFolder;
        view.drive = drive;
        view.onPause = [this](int wait) {
            if (duringWait) duringWait(wait);
            measure::Pause(clock, pump, 0.1);
        };
    }
    std::function<void(int wait)> duringWait;
};

// Runs a hook around the work of each phase, and of the untimed steps run like one.
class HookedStepRunner : public measure::InlineStepRunner {
public:
    std::function<void(bool beforeWork)> around;

protected:
    bool runStep(const std::function<void()>& work, Limit limit) override {
        if (around) around(true);
        InlineStepRunner::runStep(work, limit);
        if (around) around(false);
        return true;
    }
};

QByteArray bytesOf(const QString& path) {
    return platform::pathToBytes(path);
}

// A folder whose name is raw bytes; platform::pathFromBytes gives the program's view of it.
QString makeFolder(const QByteArray& path) {
    return ::mkdir(path.constData(), 0755) == 0 ? platform::pathFromBytes(path) : QString();
}

// What is at the path itself (a link is not followed): its bytes, or "-> target" for a link;
// null when nothing is there. Raw system calls, as the names need not be UTF-8.
QByteArray whatIsAt(const QString& path) {
    const QByteArray name = bytesOf(path);
    QByteArray buffer(4096, '\0');
    const ssize_t link = ::readlink(name.constData(), buffer.data(), buffer.size());
    if (link >= 0) return "-> " + buffer.left(link);
    const int file = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (file < 0) return {};
    QByteArray bytes("");
    for (ssize_t got; (got = ::read(file, buffer.data(), buffer.size())) > 0;)
        bytes.append(buffer.constData(), got);
    ::close(file);
    return bytes;
}

// Files of the user's, put in place by the test and compared byte for byte afterwards; links
// by their target.
class UserFiles {
public:
    void put(const QString& path, const QByteArray& bytes) {
        const int file =
            ::open(bytesOf(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        QVERIFY2(file >= 0 && ::write(file, bytes.constData(), bytes.size()) == bytes.size(),
                 qPrintable(path));
        ::close(file);
        expected_[path] = whatIsAt(path);
    }
    // A symbolic link to target, made under another name and moved to `at` in one step.
    void swapInLink(const QString& target, const QString& at) {
        const QString made = at + QStringLiteral(".new");
        QCOMPARE(::symlink(bytesOf(target).constData(), bytesOf(made).constData()), 0);
        QCOMPARE(::rename(bytesOf(made).constData(), bytesOf(at).constData()), 0);
        expected_[at] = whatIsAt(at);
    }
    // Makes the user's file that long, the rest a hole.
    void grow(const QString& path, off_t size) {
        QCOMPARE(::truncate(bytesOf(path).constData(), size), 0);
        expected_[path] = whatIsAt(path);
    }
    void hardLink(const QString& existing, const QString& at) {
        QCOMPARE(::link(bytesOf(existing).constData(), bytesOf(at).constData()), 0);
        expected_[at] = whatIsAt(at);
    }
    bool owns(const QString& path) const { return expected_.contains(path); }
    // Empty when every one is as it was; else which changed.
    QString changes() const {
        QStringList changed;
        for (auto file = expected_.cbegin(); file != expected_.cend(); ++file) {
            if (whatIsAt(file.key()) != file.value()) changed << platform::displayPath(file.key());
        }
        return changed.join(QStringLiteral(", "));
    }
    void removeAll() {
        for (const QString& path : expected_.keys()) ::unlink(bytesOf(path).constData());
    }

private:
    QMap<QString, QByteArray> expected_;
};

// Lowers a resource limit of this process while it lives. SIGXFSZ is ignored meanwhile, as the
// program does, so a write past a file-size limit fails with EFBIG instead of ending the test.
struct LoweredLimit {
    LoweredLimit(int resource, rlim_t value) : resource(resource) {
        ::getrlimit(resource, &saved);
        const rlimit lowered{value, saved.rlim_max};
        previous = ::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(resource, &lowered);
    }
    ~LoweredLimit() {
        ::setrlimit(resource, &saved);
        ::signal(SIGXFSZ, previous);
    }
    int resource;
    rlimit saved{};
    sighandler_t previous = SIG_DFL;
};

// Stops this process from a child for that long, as Ctrl+Z and fg would; returns once it runs
// again. The child uses only async-signal-safe calls. SIGCONT goes to the main thread, which
// waits for the child: ThreadSanitizer would hold it back in a thread asleep inside Qt.
void stopThisProcessFor(long milliseconds) {
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        ::kill(parent, SIGSTOP);
        const timespec pause{milliseconds / 1000, milliseconds % 1000 * 1000000L};
        ::nanosleep(&pause, nullptr);
        ::syscall(SYS_tgkill, parent, parent, SIGCONT);
        ::_exit(0);
    }
    int status = 0;
    while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

// Kills the FUSE daemon serving the mount point, as when it crashes; its mount stays behind.
bool killFuseDaemonOf(const QString& mountPoint) {
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& pid : processes) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (pid.toInt() <= 0 || !cmdline.open(QIODevice::ReadOnly)) continue;
        const QList<QByteArray> words = cmdline.readAll().split('\0');
        if (words.isEmpty() || !words.first().endsWith("fuse2fs") ||
            !words.contains(QFile::encodeName(mountPoint)))
            continue;
        return ::kill(pid.toInt(), SIGKILL) == 0 &&
               testsupport::waitUntil([&] { return !QFileInfo::exists("/proc/" + pid); }, 5000);
    }
    return false;
}

// A file service whose process is killed by the first write after the drive's copy exists and
// is recorded, as a kill or a power cut at the copy's first write would leave it: an empty file.
class KilledAtFirstCopyWrite : public platform::LinuxFileService {
public:
    QString drive;
    platform::HeldFile copyFile(const platform::HeldFile& source, int toFolder,
                                const QString& toName, const platform::CopyOptions& options,
                                const platform::CreatedHook& created) override {
        const bool toDrive = folderPath(toFolder) == drive;
        return LinuxFileService::copyFile(source, toFolder, toName, options,
                                          [&](const platform::FileIdentity& identity) {
                                              created(identity);
                                              if (toDrive) limitFileSizeToNothing();
                                          });
    }

private:
    static void limitFileSizeToNothing() {
        // SIGXFSZ's default ends the process, without a core.
        const rlimit none{0, 0};
        ::setrlimit(RLIMIT_CORE, &none);
        ::signal(SIGXFSZ, SIG_DFL);
        ::setrlimit(RLIMIT_FSIZE, &none);
    }
};

struct KilledServices : DiskServices {
    KilledAtFirstCopyWrite files;
};

int runKilledChild(int argc, char** argv) {
    if (argc < 4) return 2;
    QCoreApplication app(argc, argv);
    measuretest::BasicRunHarness<KilledServices> run;
    run.process.folder = QFile::decodeName(argv[2]);
    run.view.drive = run.files.drive = QFile::decodeName(argv[3]);
    run.view.size = QStringLiteral("1");
    run.speedTest.run();
    return 3;  // not reached
}

// The child of quitDuringSecondWaitEndsTheProcess: a run whose second wait ends the program.
int runQuitChild(int argc, char** argv) {
    if (argc < 4) return 2;
    QCoreApplication app(argc, argv);
    const QString programFolder = QFile::decodeName(argv[2]);
    const QString drive = QFile::decodeName(argv[3]);
    platform::QtOffThread offThread;
    measure::ThreadedStepRunner runner(offThread);
    DiskRun run(programFolder, drive, &runner);
    run.view.size = QStringLiteral("1");
    run.duringWait = [&](int wait) {
        if (wait == 2) run.process.endProgram();
    };
    run.speedTest.run();
    return 3;  // not reached when QUIT ends the program
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
// QProcess starts the mount tools with a raw clone(CLONE_VM | CLONE_VFORK) that ThreadSanitizer
// does not see; it then takes this process for a forked child and refuses the clock's watch
// thread of any later phase. Its other checks stay as they are.
extern "C" const char* __tsan_default_options() {
    return "die_after_fork=0";
}
#endif

class SpeedTestOnDisk : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        QVERIFY(folders_.isValid());
        QVERIFY(QDir(folders_.path()).mkpath(QStringLiteral("program")));
        QVERIFY(QDir(folders_.path()).mkpath(QStringLiteral("drive")));
        program_ = folders_.path() + QStringLiteral("/program");
        drive_ = folders_.path() + QStringLiteral("/drive");
    }
    void cleanup() {
        QDir(program_).removeRecursively();
        QDir(drive_).removeRecursively();
    }

    void completeRunWritesExactBytesAndCleansUp_data() {
        QTest::addColumn<QString>("size");
        QTest::addColumn<qint64>("bytes");
        QTest::newRow("10 MB") << "10" << qint64(10'000'000);
        QTest::newRow("half a MB") << "0.5" << qint64(500'000);
        QTest::newRow("zero") << "0" << qint64(0);
        QTest::newRow("negative") << "-3" << qint64(0);
    }
    void completeRunWritesExactBytesAndCleansUp() {
        QFETCH(QString, size);
        QFETCH(qint64, bytes);
        platform::QtOffThread offThread;
        measure::ThreadedStepRunner runner(offThread);
        DiskRun run(program_, drive_, &runner);
        run.view.size = size;
        QByteArray created;
        QByteArray onDrive;
        QByteArray readBack;
        QStringList folderSnapshots;
        run.duringWait = [&](int wait) {
            if (wait == 2)
                created = testsupport::readFileBytes(program_ + QStringLiteral("/TEST.TXT"));
            if (wait == 3)
                onDrive = testsupport::readFileBytes(drive_ + QStringLiteral("/TEST.TXT"));
            if (wait == 4)
                readBack = testsupport::readFileBytes(program_ + QStringLiteral("/TEST.TXT"));
            folderSnapshots.append(entries(program_).join(',') + '|' + entries(drive_).join(','));
        };

        run.speedTest.run();

        QCOMPARE(run.messages.shown, QStringList());
        QCOMPARE(created.size(), bytes);
        QVERIFY(created == kTestLine.repeated(bytes / 50));
        QVERIFY(onDrive == created);
        QVERIFY(readBack == created);
        QCOMPARE(folderSnapshots, (QStringList{QStringLiteral("|"), QStringLiteral("TEST.TXT|"),
                                               QStringLiteral("TEST.TXT|TEST.TXT"),
                                               QStringLiteral("TEST.TXT|TEST.TXT")}));
        const QStringList fields = run.clipboard.text.split(QLatin1Char('\t'));
        QCOMPARE(fields.size(), 3);
        QVERIFY(!run.clipboard.text.endsWith(QLatin1Char('\n')));
        for (int box = 1; box <= 3; ++box) {
            QVERIFY(!run.view.boxes[box].isEmpty());
            QCOMPARE(fields.at(box - 1), run.view.boxes[box]);
        }
        QVERIFY(entries(program_).isEmpty());
        QVERIFY(entries(drive_).isEmpty());
    }

    // A TEST.TXT of the user's, in either place, survives byte for byte; so does a symbolic
    // link and the file it points to, even when that file looks like one of ours.
    void userFilesSurvive_data() {
        QTest::addColumn<QString>("place");  // "program" or "drive"
        QTest::addColumn<QString>("kind");   // "file", "link", "dangling link", "folder"
        QTest::addColumn<QByteArray>("content");
        for (const char* place : {"program", "drive"}) {
            const QByteArray tag(place);
            QTest::newRow(tag + ": notes") << place << "file" << QByteArray("my notes\n");
            QTest::newRow(tag + ": test lines with a tail")
                << place << "file" << kTestLine.repeated(100) + "x";
            for (const char* shortFile : {"1", "123", "1234567890"})
                QTest::newRow(tag + ": user's " + shortFile)
                    << place << "file" << QByteArray(shortFile);
            QTest::newRow(tag + ": link to notes") << place << "link" << QByteArray("notes\n");
            QTest::newRow(tag + ": link to test lines") << place << "link" << kTestLine.repeated(3);
            QTest::newRow(tag + ": dangling link") << place << "dangling link" << QByteArray();
            QTest::newRow(tag + ": folder") << place << "folder" << QByteArray("inside\n");
        }
    }
    void userFilesSurvive() {
        QFETCH(QString, place);
        QFETCH(QString, kind);
        QFETCH(QByteArray, content);
        const QString folder = place == QLatin1String("program") ? program_ : drive_;
        const QString path = folder + QStringLiteral("/TEST.TXT");
        const QString outside = folders_.path() + QStringLiteral("/users-file");
        if (kind == QLatin1String("file")) QVERIFY(writeFile(path, content));
        if (kind == QLatin1String("link")) {
            QVERIFY(writeFile(outside, content));
            QVERIFY(QFile::link(outside, path));
        }
        if (kind == QLatin1String("dangling link"))
            QVERIFY(QFile::link(folders_.path() + QStringLiteral("/nowhere"), path));
        if (kind == QLatin1String("folder")) {
            QVERIFY(QDir(folder).mkdir(QStringLiteral("TEST.TXT")));
            QVERIFY(writeFile(path + QStringLiteral("/inside"), content));
        }

        DiskRun run(program_, drive_);
        run.view.size = QStringLiteral("1");
        run.speedTest.run();

        QCOMPARE(run.messages.shown,
                 QStringList{measuretest::notOursMessage(
                     path, kind != QLatin1String("file")   ? QStringLiteral("not a file")
                           : kTestLine.startsWith(content) ? QStringLiteral("short")
                                                           : QStringLiteral("lines"))});
        const QFileInfo info(path);
        if (kind == QLatin1String("file")) QCOMPARE(testsupport::readFileBytes(path), content);
        if (kind.endsWith(QLatin1String("link"))) {
            QVERIFY(info.isSymLink());
            if (kind == QLatin1String("link"))
                QCOMPARE(testsupport::readFileBytes(outside), content);
            if (kind == QLatin1String("dangling link")) {
                QVERIFY(!QFile::exists(folders_.path() + QStringLiteral("/nowhere")));
            }
        }
        if (kind == QLatin1String("folder")) {
            QCOMPARE(testsupport::readFileBytes(path + QStringLiteral("/inside")), content);
        }
        // Our own copy, if the run made one, is gone again.
        const QString other = place == QLatin1String("program") ? drive_ : program_;
        QVERIFY(entries(other).isEmpty());
        QCOMPARE(entries(folder), QStringList{QStringLiteral("TEST.TXT")});
        QCOMPARE(run.view.startEnabled, true);
        QCOMPARE(run.pointer.busy, false);
        QFile::remove(outside);
    }

    // What an interrupted run left is taken back by the next run: test lines longer than the
    // new file, test lines with the NUL tail of a power cut; the empty copy of a run killed at
    // the copy's first write is kept, as no record can be written inside the timed copy.
    void leftoverOfAnInterruptedRunIsReused_data() {
        QTest::addColumn<QString>("place");
        QTest::addColumn<QString>("leftover");
        QTest::newRow("program folder") << "program"
                                        << "lines";
        QTest::newRow("drive") << "drive"
                               << "lines";
        QTest::newRow("program folder, NUL tail") << "program"
                                                  << "NUL tail";
        QTest::newRow("drive, NUL tail") << "drive"
                                         << "NUL tail";
        QTest::newRow("killed at the copy's first write") << "drive"
                                                          << "killed";
        // 30 MB of lines on a 40 MiB drive: a new 30 MB file fits once they are taken back.
        QTest::newRow("nearly full drive") << "full drive"
                                           << "lines";
    }
    void leftoverOfAnInterruptedRunIsReused() {
        QFETCH(QString, place);
        QFETCH(QString, leftover);
        QString drive = drive_;
        std::unique_ptr<testsupport::ScratchTmpfs> small;
        const bool full = place == QLatin1String("full drive");
        if (full) {
            small = std::make_unique<testsupport::ScratchTmpfs>(40 << 20);
            if (!small->isReady()) QSKIP(qPrintable(small->whyNot()));
            drive = small->mountPoint();
        }
        const QString folder = place == QLatin1String("program") ? program_ : drive;
        // 1 MB, longer than the new file: what is reused must be emptied first.
        if (leftover == QLatin1String("lines")) {
            QVERIFY(writeFile(folder + QStringLiteral("/TEST.TXT"),
                              kTestLine.repeated(full ? 600000 : 20000)));
        }
        if (leftover == QLatin1String("NUL tail")) {
            QVERIFY(
                writeFile(folder + QStringLiteral("/TEST.TXT"),
                          kTestLine.repeated(880) + kTestLine.left(13) + QByteArray(16384, '\0')));
        }
        if (leftover == QLatin1String("killed")) {
            const testsupport::ChildRun child =
                testsupport::runChild(QCoreApplication::applicationFilePath(),
                                      {QString::fromLatin1(kKilledChildOption), program_, drive_});
            // Ended by the signal, not by a status of its own.
            QVERIFY2(child.exitCode == -1 && child.why.contains(QLatin1String("status -1")),
                     qPrintable(child.why));
            QCOMPARE(QFileInfo(drive_ + QStringLiteral("/TEST.TXT")).size(), qint64(0));
        }
        DiskRun run(program_, drive);
        run.view.size = full ? QStringLiteral("30") : QStringLiteral("0.5");
        qint64 onDrive = 0;
        run.duringWait = [&](int wait) {
            if (wait == 3) onDrive = QFileInfo(drive + QStringLiteral("/TEST.TXT")).size();
        };
        run.speedTest.run();
        if (leftover == QLatin1String("killed")) {
            // Its identity was learned inside the timed copy and kept in memory, lost with the
            // process: the empty file is judged by its content alone and kept.
            QCOMPARE(run.messages.shown,
                     QStringList{measuretest::notOursMessage(drive_ + QStringLiteral("/TEST.TXT"),
                                                             QStringLiteral("empty"))});
            QCOMPARE(QFileInfo(drive_ + QStringLiteral("/TEST.TXT")).size(), qint64(0));
            return;
        }
        QCOMPARE(run.messages.shown, QStringList());
        QCOMPARE(onDrive, full ? 30'000'000 : 500'000);
        QVERIFY(entries(program_).isEmpty());
        QVERIFY(entries(drive).isEmpty());
    }

    // Each failure shows one message naming the path and the system's reason, leaves no copy
    // of ours in either folder (nothing partial on a full drive), shows the times measured
    // before it, and gives the window back.
    void failureLeavesNothing_data() {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("size");
        QTest::addColumn<QString>("message");  // with <program> and <drive> for the folders
        QTest::addColumn<QString>("reason");   // empty when message is the whole message
        QTest::addColumn<int>("boxesShown");
        const auto row = [](const char* tag, const char* situation, const char* size,
                            const char* message, const char* reason, int boxesShown) {
            QTest::newRow(tag) << situation << size << message << reason << boxesShown;
        };
        // Each fits when the run begins; the user fills the drive during the second wait.
        row("drive fills up during the write copy", "small drive filled", "1.5",
            "Cannot copy <program>/TEST.TXT to <drive>/TEST.TXT", "No space left on device", 1);
        row("size beyond the local folder's free space", "small program folder", "5",
            "A test file of 5 MB cannot fit on the volume of <program>: only 2.1 MB are free "
            "there; choose a smaller size or make room",
            "", 0);
        row("local folder and drive on one volume with room for one copy", "one small volume", "5",
            "A test file of 5 MB and its copy (10 MB together, as the local test folder lies on "
            "the drive) cannot fit on drive <drive>: only 8.4 MB are free there; choose a "
            "smaller size or make room",
            "", 0);
        row("drive's copy gone before the read copy", "stick pulled", "1",
            "Cannot copy <drive>/TEST.TXT to <program>/TEST.TXT", "No such file or directory", 2);
        row("size not a number", "", "ten", "Data size 'ten' is not a number", "", 0);
        row("program folder missing", "no program folder", "1",
            "Cannot create <program>/TEST.TXT: No such file or directory", "", 0);
    }
    void failureLeavesNothing() {
        QFETCH(QString, situation);
        QFETCH(QString, size);
        QFETCH(QString, message);
        QFETCH(QString, reason);
        QFETCH(int, boxesShown);
        std::unique_ptr<testsupport::ScratchTmpfs> small;
        QString program = program_;
        QString drive = drive_;
        if (situation.startsWith(QLatin1String("small")) ||
            situation.startsWith(QLatin1String("one"))) {
            small = std::make_unique<testsupport::ScratchTmpfs>(
                situation.startsWith(QLatin1String("one")) ? 8 << 20 : 2 << 20);
            if (!small->isReady()) QSKIP(qPrintable(small->whyNot()));
            (situation.contains(QLatin1String("program")) ? program : drive) = small->mountPoint();
        }
        if (situation == QLatin1String("one small volume")) {
            program = small->mountPoint() + QStringLiteral("/program");
            drive = small->mountPoint() + QStringLiteral("/drive");
            QVERIFY(QDir().mkpath(program) && QDir().mkpath(drive));
        }
        if (situation == QLatin1String("no program folder"))
            program = folders_.path() + QStringLiteral("/gone");
        DiskRun run(program, drive);
        run.view.size = size;
        if (situation == QLatin1String("stick pulled")) {
            run.duringWait = [&](int wait) {
                if (wait == 3) QFile::remove(drive + QStringLiteral("/TEST.TXT"));
            };
        }
        const QString filler = drive + QStringLiteral("/filler");
        if (situation == QLatin1String("small drive filled")) {
            run.duringWait = [&](int wait) {
                if (wait == 2) writeFile(filler, QByteArray(1 << 20, 'x'));
            };
        }

        run.speedTest.run();
        QFile::remove(filler);

        QCOMPARE(run.messages.shown.size(), 1);
        const QString shown = run.messages.shown.first();
        const QString expected = QString(message)
                                     .replace(QStringLiteral("<program>"), program)
                                     .replace(QStringLiteral("<drive>"), drive);
        if (reason.isEmpty()) QCOMPARE(shown, expected);
        QVERIFY2(shown.startsWith(expected) && shown.contains(reason), qPrintable(shown));
        QVERIFY(entries(program).isEmpty());
        QVERIFY(entries(drive).isEmpty());
        for (int box = 1; box <= 3; ++box)
            QCOMPARE(run.view.boxes[box].isEmpty(), box > boxesShown);
        QCOMPARE(run.clipboard.sets, 0);
        QCOMPARE(run.view.startEnabled, true);
        QCOMPARE(run.pointer.busy, false);
    }

    // Hostile events, each where it hurts. Every row: the user's files are byte for byte as they
    // were, a run that measured something else puts no line on the clipboard, and START is
    // usable again. Some rows need root for their mounts and skip without it.
    void hostileEventsLoseNothing_data() {
        QTest::addColumn<QString>("event");
        QTest::addColumn<QString>("message");  // empty: the run succeeds; <program>, <drive>
        const auto row = [](const char* event, const QString& message) {
            QTest::newRow(event) << event << message;
        };
        const auto notOurs = [](const char* place, const char* what) {
            return measuretest::notOursMessage(QString::fromLatin1(place) + "/TEST.TXT",
                                               QString::fromLatin1(what));
        };
        row("drive lazily unmounted during the write copy, a TEST.TXT of the user's beneath",
            "Drive <drive> was unmounted or replaced during the run; its times are not valid and "
            "were not exported");
        row("drive lazily unmounted during the read copy, a TEST.TXT of the user's beneath",
            "Drive <drive> was unmounted or replaced during the run; its times are not valid and "
            "were not exported");
        row("program folder lazily unmounted during the write copy, a TEST.TXT beneath",
            "The folder <program> of the local test file was unmounted or replaced during the "
            "run; the times are not valid and were not exported");
        row("symbolic link to the user's file swapped in during the write copy",
            "Cannot copy <drive>/TEST.TXT to <program>/TEST.TXT: Is a symbolic link");
        row("empty TEST.TXT hard-linked to the user's notes in the program folder",
            notOurs("<program>", "links"));
        row("TEST.TXT of test lines hard-linked to the user's notes on the drive",
            notOurs("<drive>", "links"));
        row("second run on the same folders during the write copy",
            "<program>/TEST.TXT is in use by another run of this program; it was left untouched.");
        row("bytes changed on the drive between the write and the read copy",
            "Drive <drive> gave back other data than was written to it: <drive>/TEST.TXT differs "
            "from the test file first at byte 123457");
        row("program folder and mount point named with bytes that are not UTF-8", "");
        row("user's TEST.TXT on a drive named with bytes that are not UTF-8",
            notOurs("<drive>", "lines"));
        row("own test lines cut short mid-line in the program folder", "");
        row("own test lines cut short mid-line on the drive", "");
        row("another user's TEST.TXT of test lines on the drive", notOurs("<drive>", "user 12345"));
        row("an empty TEST.TXT alone in the program folder", notOurs("<program>", "empty"));
        row("a record of a deleted TEST.TXT, the user's new empty one at its name on the drive",
            notOurs("<drive>", "empty"));
        row("a record from before its file existed, the user's empty TEST.TXT on the drive",
            notOurs("<drive>", "empty"));
        row("a record of a deleted TEST.TXT on a small-inode ext4, the user's 10 digits at its "
            "inode",
            notOurs("<drive>", "short"));
        row("a record of a deleted TEST.TXT on a small-inode ext4, the user's 10 MB sparse file "
            "at its inode",
            notOurs("<drive>", "short"));
        row("cache folder linked to the user's folder holding the user's diary as TEST.TXT",
            notOurs("<users>", "lines"));
        row("cache folder linked to the user's folder holding an empty TEST.TXT",
            notOurs("<users>", "empty"));
        row("file size limit during the create", "Cannot write <program>/TEST.TXT: File too large");
        row("file size limit during the write copy",
            "Cannot copy <program>/TEST.TXT to <drive>/TEST.TXT: File too large");
        row("descriptors run out as the test file is created",
            "Cannot create <program>/TEST.TXT: Too many open files");
        row("drive turned read-only before the clean-up",
            "Drive <drive> turned read-only during the run: cannot delete <drive>/TEST.TXT: "
            "Read-only file system<note>");
        row("process stopped for 1 s during the write copy",
            "The program was stopped for 1.0 s during the write copy; its time is not valid and "
            "nothing was exported<note>");
        row("process stopped for 1 s during a wait", "");
        row("drive out of file entries (inodes), space left",
            "Cannot copy <program>/TEST.TXT to <drive>/TEST.TXT: No space left on device; drive "
            "<drive> has 8.4 MB free but no free file entries (inodes) left: delete some files "
            "there or choose another volume");
        row("drive's FUSE program killed during the write copy",
            "Cannot copy <program>/TEST.TXT to <drive>/TEST.TXT: Transport endpoint is not "
            "connected; the drive's FUSE program ended or the drive was pulled out");
    }
    void hostileEventsLoseNothing() {
        QFETCH(QString, event);
        QFETCH(QString, message);
        const auto has = [&](const char* part) { return event.contains(QLatin1String(part)); };
        QString program = program_;
        QString drive = drive_;
        std::unique_ptr<testsupport::ScratchTmpfs> mount;
        std::unique_ptr<testsupport::LoopVolume> fuseDrive;
        if (has("small-inode")) {
            fuseDrive = std::make_unique<testsupport::LoopVolume>(
                32 << 20, QStringLiteral("DOVTEST"),
                testsupport::LoopVolume::Format::Ext4SmallInodes);
            if (!fuseDrive->isReady()) QSKIP(qPrintable(fuseDrive->whyNot()));
            drive = fuseDrive->mountPoint();
        }
        if (has("FUSE")) {
            fuseDrive = std::make_unique<testsupport::LoopVolume>(
                32 << 20, QStringLiteral("DOVTEST"),
                testsupport::LoopVolume::Format::Ext4FuseImage);
            if (!fuseDrive->isReady()) QSKIP(qPrintable(fuseDrive->whyNot()));
            drive = fuseDrive->mountPoint();
        }
        const QString rawFolder = folders_.path() + QStringLiteral("/raw");
        QString rawMount;  // a tmpfs this test mounts itself, on a name the tools cannot pass
        const QByteArray notUtf8("\xff\xfe-", 3);
        if (has("lazily unmounted") || has("bytes changed") || has("read-only")) {
            mount = std::make_unique<testsupport::ScratchTmpfs>(64 * 1024 * 1024);
            if (!mount->isReady()) QSKIP(qPrintable(mount->whyNot()));
            (has("program folder") ? program : drive) = mount->mountPoint();
        }
        if (has("not UTF-8")) {
            QVERIFY(QDir().mkpath(rawFolder));
            program = makeFolder(bytesOf(rawFolder) + "/program-" + notUtf8);
            drive = makeFolder(bytesOf(rawFolder) + "/drive-" + notUtf8);
            QVERIFY(!program.isEmpty() && !drive.isEmpty());
            if (geteuid() == 0 &&
                ::mount("dov-scratch", bytesOf(drive).constData(), "tmpfs", 0, "size=16m") == 0)
                rawMount = drive;
        }
        struct Cleanup {
            std::function<void()> work;
            ~Cleanup() { work(); }
        };
        UserFiles user;
        const Cleanup cleanup{[&] {
            user.removeAll();
            if (!rawMount.isEmpty()) ::umount2(bytesOf(rawMount).constData(), MNT_DETACH);
            for (const QString& folder : {program, drive}) {
                if (!folder.startsWith(rawFolder)) continue;
                for (const char* name : {"/TEST.TXT", "/notes.txt"})
                    ::unlink((bytesOf(folder) + name).constData());
                ::rmdir(bytesOf(folder).constData());
            }
            QDir(rawFolder).removeRecursively();
        }};
        if (has("file entries")) {
            drive = rawFolder + QStringLiteral("/drive");
            QVERIFY(QDir().mkpath(drive));
            if (geteuid() != 0) QSKIP("mounting a tmpfs needs root");
            QCOMPARE(::mount("dov-scratch", bytesOf(drive).constData(), "tmpfs", 0,
                             "size=8m,nr_inodes=2"),
                     0);
            rawMount = drive;
            user.put(drive + QStringLiteral("/notes.txt"), QByteArray());  // the last entry
        }
        const QString local = platform::pathFromBytes(bytesOf(program) + "/TEST.TXT");
        const QString target = platform::pathFromBytes(bytesOf(drive) + "/TEST.TXT");

        if (has("hard-linked")) {
            const QString folder = has("program folder") ? program : drive;
            user.put(folder + QStringLiteral("/notes.txt"),
                     has("empty") ? QByteArray() : kTestLine.repeated(100));
            user.hardLink(folder + QStringLiteral("/notes.txt"),
                          folder + QStringLiteral("/TEST.TXT"));
        }
        if (has("user's TEST.TXT on a drive")) user.put(target, QByteArray("my notes\n"));
        if (has("cut short"))
            QVERIFY(writeFile(has("drive") ? target : local,
                              kTestLine.repeated(300) + kTestLine.left(17)));
        if (has("another user's")) {
            if (geteuid() != 0) QSKIP("giving a file to another user needs root");
            user.put(target, kTestLine.repeated(100));
            QCOMPARE(::chown(bytesOf(target).constData(), 12345, 12345), 0);
        }
        if (has("alone")) user.put(local, QByteArray());
        const QString users = rawFolder + QStringLiteral("/users");
        const QByteArray savedCache = qgetenv("XDG_CACHE_HOME");
        const auto restoreCache = qScopeGuard([&] { qputenv("XDG_CACHE_HOME", savedCache); });
        if (has("cache folder linked")) {
            // A folder of the user's, private, that the cache path leads to.
            QVERIFY(QDir().mkpath(users) && QDir().mkpath(rawFolder + QStringLiteral("/cache")));
            QCOMPARE(::chmod(bytesOf(users).constData(), 0700), 0);
            QVERIFY(QFile::link(users, rawFolder + QStringLiteral("/cache/dov-uruvivuz")));
            user.put(users + QStringLiteral("/TEST.TXT"),
                     has("empty") ? QByteArray() : QByteArray("my diary - not a test file\n"));
            qputenv("XDG_CACHE_HOME", bytesOf(rawFolder + QStringLiteral("/cache")));
            program = rawFolder + QStringLiteral("/no program folder");
        }
        if (has("a record")) {
            ownership::Journal journal;
            const QString name = QStringLiteral("TEST.TXT");
            journal.expect(drive, name);
            if (has("deleted")) {
                // The run's file, recorded, then gone: a new file may get its inode number.
                platform::LinuxFileService files;
                QVERIFY(writeFile(target, kTestLine));
                const platform::LeftoverLook look = files.takeLeftover(
                    files.openFolder(drive), name,
                    [](const platform::FoundFile&, const platform::ByteReader&) { return false; });
                journal.created(drive, name, look.file.identity);
                journal.flush();
                QVERIFY(QFile::remove(target));
                user.put(target, has("10 digits") ? QByteArray("1234567890") : QByteArray());
                if (has("sparse")) user.grow(target, 10'000'000);
                struct stat now {};
                QVERIFY(::stat(bytesOf(target).constData(), &now) == 0);
                if (has("small-inode"))
                    QVERIFY2(now.st_ino == look.file.identity.inode, "the inode was not reused");
            } else {
                user.put(target, QByteArray());
            }
        }
        const QString outside = folders_.path() + QStringLiteral("/users-file");
        if (has("symbolic link")) user.put(outside, kTestLine.repeated(20));

        HookedStepRunner runner;
        DiskRun run(program, drive, &runner);
        run.view.size = QStringLiteral("1");
        if (has("cache folder linked"))
            run.speedTest.setTestFolderFinder([&] {
                return ownership::testFileFolder(run.process, ownership::Retry::PressStart);
            });
        std::unique_ptr<DiskRun> second;
        std::optional<LoweredLimit> limit;
        bool acted = false;
        runner.around = [&](bool beforeWork) {
            const int phase = int(run.speedTest.progress().phase.load());
            if (acted) return;
            if (has("size limit") && beforeWork && phase == (has("create") ? 1 : 2)) {
                acted = true;
                limit.emplace(RLIMIT_FSIZE, 300'000);
            }
            if (has("descriptors run out") && beforeWork && phase == 1) {
                // Room for the new file's descriptor and no other.
                acted = true;
                const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                ::close(lowestFree);
                limit.emplace(RLIMIT_NOFILE, rlim_t(lowestFree) + 1);
            }
            const auto unmountAndHide = [&](const QString& folder) {
                acted = true;
                QVERIFY(
                    testsupport::runTool(QStringLiteral("umount"), {QStringLiteral("-l"), folder})
                        .ok);
                user.put(folder + QStringLiteral("/TEST.TXT"), QByteArray("beneath the mount\n"));
            };
            if (has("unmounted during the write") && phase == 2 && beforeWork)
                unmountAndHide(has("program folder") ? program : drive);
            if (has("unmounted during the read") && phase == 3 && beforeWork) unmountAndHide(drive);
            if (has("symbolic link") && phase == 2 && !beforeWork) {
                acted = true;
                user.swapInLink(outside, target);
            }
            if (has("stopped") && has("write copy") && phase == 2 && beforeWork) {
                acted = true;
                stopThisProcessFor(1000);
            }
            if (has("killed") && phase == 2 && beforeWork) {
                acted = true;
                QVERIFY(killFuseDaemonOf(drive));
            }
            if (has("second run") && phase == 2 && beforeWork) {
                acted = true;
                second = std::make_unique<DiskRun>(program, drive);
                second->view.size = QStringLiteral("1");
                second->speedTest.run();
            }
        };
        if (has("read-only")) {
            run.duringWait = [&](int wait) {
                if (wait == 4) QVERIFY2(mount->makeReadOnly(), qPrintable(mount->whyNot()));
            };
        }
        if (has("during a wait")) {
            run.duringWait = [&](int wait) {
                if (wait == 3) stopThisProcessFor(1000);
            };
        }
        if (has("bytes changed")) {
            run.duringWait = [&](int wait) {
                if (wait != 3) return;
                const int file = ::open(bytesOf(target).constData(), O_WRONLY | O_CLOEXEC);
                QVERIFY(file >= 0);
                QCOMPARE(::pwrite(file, "X", 1, 123457), ssize_t(1));
                ::close(file);
            };
        }

        run.speedTest.run();
        limit.reset();

        const auto expanded = [&](const QString& text) {
            return QString(text)
                .replace(QStringLiteral("<program>"), platform::displayPath(program))
                .replace(QStringLiteral("<drive>"), platform::displayPath(drive))
                .replace(QStringLiteral("<users>"), platform::displayPath(users))
                .replace(QStringLiteral("<note>"), measuretest::driveCopyNote(target));
        };
        QCOMPARE(user.changes(), QString());
        if (has("second run")) {
            // The second run touched nothing and said why; the first one measured its own
            // files.
            QCOMPARE(second->messages.shown, QStringList{expanded(message)});
            QCOMPARE(second->clipboard.sets, 0);
            QCOMPARE(second->view.startEnabled, true);
            QCOMPARE(run.messages.shown, QStringList());
            QCOMPARE(run.clipboard.text.count(QLatin1Char('\t')), 2);
        } else if (message.isEmpty()) {
            QCOMPARE(run.messages.shown, QStringList());
            QCOMPARE(run.clipboard.text.count(QLatin1Char('\t')), 2);
        } else {
            QCOMPARE(run.messages.shown, QStringList{expanded(message)});
            QCOMPARE(run.clipboard.sets, 0);
        }
        QCOMPARE(run.view.startEnabled, true);
        QCOMPARE(run.pointer.busy, false);
        // No file of the run's own is left at either name; what is there is the user's, or the
        // run's copy on a drive that no longer lets it go.
        for (const QString& path : {local, target}) {
            if (message.contains(QLatin1String("<note>")) && path == target)
                QVERIFY(!whatIsAt(path).isNull());
            else if (!user.owns(path))
                QVERIFY2(whatIsAt(path).isNull(), qPrintable(path));
        }
    }

    // QUIT during the second wait, in a real process: the program ends at once with status 0
    // and the local copy made so far stays.
    void quitDuringSecondWaitEndsTheProcess() {
        const testsupport::ChildRun child =
            testsupport::runChild(QCoreApplication::applicationFilePath(),
                                  {QString::fromLatin1(kQuitChildOption), program_, drive_});
        QVERIFY2(child.ok(), qPrintable(child.why));
        QCOMPARE(entries(program_), QStringList{QStringLiteral("TEST.TXT")});
        QCOMPARE(QFileInfo(program_ + QStringLiteral("/TEST.TXT")).size(), qint64(1'000'000));
        QVERIFY(entries(drive_).isEmpty());
    }

private:
    QTemporaryDir folders_;
    QString program_;
    QString drive_;
};

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], kQuitChildOption) == 0) return runQuitChild(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], kKilledChildOption) == 0)
        return runKilledChild(argc, argv);
    QCoreApplication app(argc, argv);
    SpeedTestOnDisk test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_speedtest_disk.moc"
