// The Linux file service: exact output bytes, creates that never harm what is already there,
// failure texts a user can act on and whole-file copies; the run's own files by descriptor
// (claims, identity, locks, stops, the read-back check), paths that are bytes, and the owner of
// descriptors.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "measure/testfile.h"
#include "platform/failure.h"
#include "platform/linuxfiles.h"
#include "platform/paths.h"
#include "platform/uniquefd.h"
#include "support/scratchmounts.h"

using platform::CopyOptions;
using platform::Failure;
using platform::LinuxFileService;
using testsupport::failureOf;
using testsupport::heldAt;
using testsupport::readFileBytes;

namespace {

const QByteArray testLine = "123456789012345678901234567890123456789012345678";

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(bytes), bytes.size());
}

// The type bits of what is at the path itself, links not followed; 0 when nothing is there.
mode_t typeAt(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & S_IFMT : 0;
}

// What is put at the path before a create or copy, and how to check it survived.
enum class Existing { Nothing, RegularFile, LinkToFile, DanglingLink, Directory, Fifo };

// Places where nothing may be created.
enum class Refusing { FolderWithoutWriteAccess, ReadOnlyVolume };

}  // namespace

Q_DECLARE_METATYPE(Existing)
Q_DECLARE_METATYPE(Refusing)

class LinuxFilesTest : public QObject {
    Q_OBJECT

    std::optional<QTemporaryDir> dir_;
    QString path(const QString& name) const { return dir_->filePath(name); }

    // Puts `what` at `at`; a link's target is at `at`.target with known bytes.
    void place(Existing what, const QString& at) {
        const QByteArray atPath = QFile::encodeName(at);
        switch (what) {
            case Existing::Nothing:
                break;
            case Existing::RegularFile:
                writeBytes(at, "the user's own notes\n");
                break;
            case Existing::LinkToFile:
                writeBytes(at + ".target", "precious target\n");
                QCOMPARE(::symlink(QFile::encodeName(at + ".target").constData(), atPath), 0);
                break;
            case Existing::DanglingLink:
                QCOMPARE(::symlink(QFile::encodeName(at + ".target").constData(), atPath), 0);
                break;
            case Existing::Directory:
                QVERIFY(QDir().mkdir(at));
                break;
            case Existing::Fifo:
                QCOMPARE(::mkfifo(atPath.constData(), 0600), 0);
                break;
        }
    }

    // True when what `place` put there is still there, unchanged.
    bool survived(Existing what, const QString& at) {
        switch (what) {
            case Existing::Nothing:
                return true;
            case Existing::RegularFile:
                return readFileBytes(at) == "the user's own notes\n";
            case Existing::LinkToFile:
                return typeAt(at) == S_IFLNK &&
                       readFileBytes(at + ".target") == "precious target\n";
            case Existing::DanglingLink:
                return typeAt(at) == S_IFLNK && !QFile::exists(at + ".target");
            case Existing::Directory:
                return typeAt(at) == S_IFDIR;
            case Existing::Fifo:
                return typeAt(at) == S_IFIFO;
        }
        return false;
    }

private Q_SLOTS:
    // Each case starts from an empty folder of its own.
    void init() { QVERIFY(dir_.emplace().isValid()); }

    void writtenLinesAreExactBytes_data() {
        QTest::addColumn<QList<QByteArray>>("lines");
        const QByteArray longLine(3 * 1024 * 1024 + 5, 'x');
        QTest::newRow("no lines") << QList<QByteArray>{};
        QTest::newRow("one empty line") << QList<QByteArray>{""};
        QTest::newRow("one line") << QList<QByteArray>{testLine};
        QTest::newRow("lines across the buffer edge") << QList<QByteArray>(30000, testLine);
        QTest::newRow("line longer than the buffer") << QList<QByteArray>{"a", longLine, "b"};
        QList<QByteArray> everyShortLength;
        for (int length = 0; length <= 70; ++length) {
            QByteArray line(length, '\0');
            for (int i = 0; i < length; ++i) line[i] = char('A' + (i * 7 + length) % 26);
            everyShortLength.append(line);
        }
        QTest::newRow("every length from 0 to 70") << everyShortLength;
        QTest::newRow("bytes beyond ASCII and NUL")
            << QList<QByteArray>{QByteArray("\xE5\x88\x9D\x00\xFF", 5)};
    }
    void writtenLinesAreExactBytes() {
        QFETCH(QList<QByteArray>, lines);
        LinuxFileService files;
        files.createForOutput(files.openFolder(dir_->path()), QStringLiteral("TEST.TXT"), {});
        QByteArray expected;
        for (const QByteArray& line : lines) {
            files.writeLine(std::string_view(line.constData(), line.size()));
            expected += line;
        }
        files.closeOutput();
        QCOMPARE(readFileBytes(path("TEST.TXT")), expected);
    }

    // One output file at a time: a second is refused without touching its path.
    void oneOutputFileAtATime() {
        LinuxFileService files;
        const int folder = files.openFolder(dir_->path());
        QVERIFY_THROWS_EXCEPTION(Failure, files.writeLine("nothing open"));
        files.createForOutput(folder, QStringLiteral("first"), {});
        const QString failure =
            failureOf([&] { files.createForOutput(folder, QStringLiteral("second"), {}); });
        QVERIFY2(failure.startsWith(QStringLiteral("Cannot create ") + path("second")),
                 qPrintable(failure));
        QVERIFY(!QFile::exists(path("second")));
        files.writeLine("first");
        // abandonOutput writes out what is still buffered; closing then does nothing.
        files.abandonOutput();
        files.closeOutput();
        QCOMPARE(readFileBytes(path("first")), QByteArray("first"));
        QVERIFY_THROWS_EXCEPTION(Failure, files.writeLine("after close"));
    }

    void createNeverHarmsWhatIsThere_data() {
        QTest::addColumn<Existing>("existing");
        QTest::newRow("regular file") << Existing::RegularFile;
        QTest::newRow("link to a file") << Existing::LinkToFile;
        QTest::newRow("dangling link") << Existing::DanglingLink;
        QTest::newRow("directory") << Existing::Directory;
        QTest::newRow("fifo") << Existing::Fifo;
    }
    void createNeverHarmsWhatIsThere() {
        QFETCH(Existing, existing);
        const QString target = path("TEST.TXT");
        place(existing, target);
        LinuxFileService files;
        const int folder = files.openFolder(dir_->path());
        QCOMPARE(failureOf([&] { files.createForOutput(folder, QStringLiteral("TEST.TXT"), {}); }),
                 QStringLiteral("Cannot create %1: File exists").arg(target));
        QVERIFY(survived(existing, target));
    }

    void refusingPlacesNamePathAndReason_data() {
        QTest::addColumn<Refusing>("where");
        QTest::addColumn<QString>("reason");
        QTest::newRow("folder without write access")
            << Refusing::FolderWithoutWriteAccess << "Permission denied";
        QTest::newRow("read-only volume") << Refusing::ReadOnlyVolume << "Read-only file system";
    }
    void refusingPlacesNamePathAndReason() {
        QFETCH(Refusing, where);
        QFETCH(QString, reason);
        std::optional<testsupport::ScratchTmpfs> stick;
        QString folder = path("folder");
        if (where == Refusing::FolderWithoutWriteAccess) {
            if (geteuid() == 0) QSKIP("root may create files in any folder");
            QVERIFY(QDir().mkdir(folder));
            QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        } else if (where == Refusing::ReadOnlyVolume) {
            if (!stick.emplace(1024 * 1024).isReady()) QSKIP(qPrintable(stick->whyNot()));
            folder = stick->mountPoint();
            if (!stick->makeReadOnly()) QSKIP(qPrintable(stick->whyNot()));
        }
        const QString target = folder + QStringLiteral("/TEST.TXT");
        writeBytes(path("source"), "new");
        LinuxFileService files;
        const int from = files.openFolder(dir_->path());
        const int to = files.openFolder(folder);
        const QString name = QStringLiteral("TEST.TXT");
        QCOMPARE(failureOf([&] { files.createForOutput(to, name, {}); }),
                 QStringLiteral("Cannot create %1: %2").arg(target, reason));
        QCOMPARE(failureOf([&] {
                     files.copyFile(heldAt(from, dir_->path(), QStringLiteral("source")), to, name,
                                    {}, {});
                 }),
                 QStringLiteral("Cannot copy %1 to %2: %3").arg(path("source"), target, reason));
        QVERIFY(!QFile::exists(target));
    }

    void fullVolumeReportsWriteFailureWithPath() {
        testsupport::ScratchTmpfs small(64 * 1024);
        if (!small.isReady()) QSKIP(qPrintable(small.whyNot()));
        const QString target = small.mountPoint() + QStringLiteral("/TEST.TXT");
        LinuxFileService files;
        files.createForOutput(files.openFolder(small.mountPoint()), QStringLiteral("TEST.TXT"), {});
        const QString description = failureOf([&] {
            for (int i = 0; i < 100000; ++i) files.writeLine(std::string_view(testLine));
            files.closeOutput();
        });
        files.abandonOutput();
        QCOMPARE(description,
                 QStringLiteral("Cannot write %1: No space left on device").arg(target));
    }

    void failureTextReachesWhatAsUtf8() {
        const Failure failure(
            QStringLiteral("Cannot delete /media/Ä b/TEST.TXT: Permission denied"));
        QCOMPARE(QString::fromUtf8(failure.what()), failure.description());
    }

    void copyMovesEveryByte_data() {
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<bool>("flush");
        QTest::addColumn<bool>("drop");
        QTest::newRow("empty") << qsizetype(0) << false << false;
        QTest::newRow("one byte, flushed") << qsizetype(1) << true << false;
        QTest::newRow("odd size, flushed and dropped") << qsizetype(12345) << true << true;
        QTest::newRow("several chunks") << qsizetype(17 * 1024 * 1024 + 3) << false << false;
    }
    void copyMovesEveryByte() {
        QFETCH(qsizetype, size);
        QFETCH(bool, flush);
        QFETCH(bool, drop);
        QByteArray content(size, '\0');
        for (qsizetype i = 0; i < size; ++i) content[i] = char((i * 7 + i / 4096) & 0xFF);
        writeBytes(path("source"), content);
        LinuxFileService files;
        const int folder = files.openFolder(dir_->path());
        const CopyOptions options{.flushToDevice = flush, .dropCachedPages = drop};
        files.copyFile(heldAt(folder, dir_->path(), QStringLiteral("source")), folder,
                       QStringLiteral("copy"), options, {});
        QVERIFY(readFileBytes(path("copy")) == content);
        QCOMPARE(readFileBytes(path("source")).size(), size);
    }

    void copyFailuresNameBothPathsAndKeepDestinationsSafe_data() {
        QTest::addColumn<Existing>("sourceKind");
        QTest::addColumn<Existing>("destinationKind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing source")
            << Existing::Nothing << Existing::Nothing << "No such file or directory";
        QTest::newRow("source is a link")
            << Existing::LinkToFile << Existing::Nothing << "Is a symbolic link";
        QTest::newRow("source is a directory")
            << Existing::Directory << Existing::Nothing << "Not a regular file";
        QTest::newRow("source is a fifo")
            << Existing::Fifo << Existing::Nothing << "Not a regular file";
        QTest::newRow("over a file")
            << Existing::RegularFile << Existing::RegularFile << "File exists";
    }
    void copyFailuresNameBothPathsAndKeepDestinationsSafe() {
        QFETCH(Existing, sourceKind);
        QFETCH(Existing, destinationKind);
        QFETCH(QString, reason);
        place(sourceKind, path("source"));
        place(destinationKind, path("TEST.TXT"));
        LinuxFileService files;
        const int folder = files.openFolder(dir_->path());
        QCOMPARE(failureOf([&] {
                     files.copyFile(heldAt(folder, dir_->path(), QStringLiteral("source")), folder,
                                    QStringLiteral("TEST.TXT"), CopyOptions(), {});
                 }),
                 QStringLiteral("Cannot copy %1 to %2: %3")
                     .arg(path("source"), path("TEST.TXT"), reason));
        QVERIFY(survived(destinationKind, path("TEST.TXT")));
        if (destinationKind == Existing::Nothing) QVERIFY(!QFile::exists(path("TEST.TXT")));
    }

    void fullTargetFailsAndLeavesNoPartialCopy_data() {
        QTest::addColumn<bool>("flush");
        QTest::newRow("unflushed") << false;
        QTest::newRow("flushed and dropped") << true;
    }
    void fullTargetFailsAndLeavesNoPartialCopy() {
        QFETCH(bool, flush);
        testsupport::ScratchTmpfs small(1024 * 1024);
        if (!small.isReady()) QSKIP(qPrintable(small.whyNot()));
        const QString destination = small.mountPoint() + QStringLiteral("/TEST.TXT");
        writeBytes(path("source"), QByteArray(3 * 1024 * 1024, 'd'));
        LinuxFileService files;
        const CopyOptions options{.flushToDevice = flush, .dropCachedPages = flush};
        QCOMPARE(
            failureOf([&] {
                files.copyFile(
                    heldAt(files.openFolder(dir_->path()), dir_->path(), QStringLiteral("source")),
                    files.openFolder(small.mountPoint()), QStringLiteral("TEST.TXT"), options, {});
            }),
            QStringLiteral("Cannot copy %1 to %2: No space left on device")
                .arg(path("source"), destination));
        QVERIFY(
            QDir(small.mountPoint()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    }

    void pathsAreBytes_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("shown");
        QTest::newRow("ASCII") << QByteArray("TEST.TXT") << "TEST.TXT";
        QTest::newRow("UTF-8") << QByteArray("\xc3\xa4 \xe5\x88\x9d \xf0\x9f\x98\x80")
                               << QString::fromUtf8("\xc3\xa4 \xe5\x88\x9d \xf0\x9f\x98\x80");
        QTest::newRow("FF FE") << QByteArray("\xff\xfe") << "\\xff\\xfe";
        QTest::newRow("Latin-1") << QByteArray("M\xfcller") << "M\\xfcller";
        QTest::newRow("lone continuation") << QByteArray("a\x80") << "a\\x80";
        QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << "\\xc0\\xaf";
        QTest::newRow("encoded surrogate") << QByteArray("\xed\xb3\xbf") << "\\xed\\xb3\\xbf";
        QTest::newRow("cut short") << QByteArray("x\xe2\x82") << "x\\xe2\\x82";
    }
    void pathsAreBytes() {
        QFETCH(QByteArray, name);
        QFETCH(QString, shown);
        const QString path = platform::pathFromBytes(name);
        QCOMPARE(platform::pathToBytes(path), name);
        QCOMPARE(platform::displayPath(path), shown);
        // The run makes and removes exactly that name.
        const QByteArray folderBytes = platform::pathToBytes(dir_->path()) + '/' + name;
        QCOMPARE(::mkdir(folderBytes.constData(), 0700), 0);
        LinuxFileService files;
        const int folder = files.openFolder(platform::pathFromBytes(folderBytes));
        platform::HeldFile made = files.createForOutput(folder, path, {});
        files.writeLine("x\r\n");
        files.closeOutput();
        struct stat info {};
        QCOMPARE(::stat((folderBytes + '/' + name).constData(), &info), 0);
        QCOMPARE(info.st_size, off_t(3));
        QVERIFY(files.removeHeld(made));
        QCOMPARE(::rmdir(folderBytes.constData()), 0);
    }

    // What is at a test file's name: a regular file goes only when the decision says so and the
    // name still names it as judged; links, folders and FIFOs are never opened. The decision
    // sees the file's facts (links, lock) and bytes.
    void leftoverGoesOnlyWhenDecidedAndUnshared_data() {
        QTest::addColumn<QString>("existing");  // file, hard link, link, fifo, directory, locked
        QTest::addColumn<bool>("decide");
        QTest::addColumn<bool>("removed");
        QTest::newRow("nothing") << "" << true << false;
        QTest::newRow("file, decided ours") << "file" << true << true;
        QTest::newRow("file, decided not ours") << "file" << false << false;
        QTest::newRow("hard-linked to notes") << "hard link" << false << false;
        QTest::newRow("gains another name while judged") << "linked while judged" << true << false;
        QTest::newRow("link to test lines") << "link" << true << false;
        QTest::newRow("fifo") << "fifo" << true << false;
        QTest::newRow("directory") << "directory" << true << false;
        QTest::newRow("locked by another process") << "locked" << false << false;
    }
    void leftoverGoesOnlyWhenDecidedAndUnshared() {
        QFETCH(QString, existing);
        QFETCH(bool, decide);
        QFETCH(bool, removed);
        const QString target = path("TEST.TXT");
        const QByteArray content = testLine + "\r\n";
        if (existing == QLatin1String("hard link")) {
            writeBytes(path("notes.txt"), content);
            QCOMPARE(::link(QFile::encodeName(path("notes.txt")).constData(),
                            QFile::encodeName(target).constData()),
                     0);
        } else if (existing == QLatin1String("link")) {
            writeBytes(path("lines"), content);
            QVERIFY(QFile::link(path("lines"), target));
        } else if (existing == QLatin1String("fifo")) {
            place(Existing::Fifo, target);
        } else if (existing == QLatin1String("directory")) {
            place(Existing::Directory, target);
        } else if (!existing.isEmpty()) {
            writeBytes(target, content);
        }
        const int holder =
            ::open(QFile::encodeName(target).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (existing == QLatin1String("locked")) QCOMPARE(::flock(holder, LOCK_EX), 0);
        const mode_t before = typeAt(target);
        struct stat info {};
        ::lstat(QFile::encodeName(target).constData(), &info);

        LinuxFileService files;
        QByteArray seen;
        qint64 got = -1;
        bool linkedWhileJudged = false;
        const platform::LeftoverLook look = files.takeLeftover(
            files.openFolder(dir_->path()), QStringLiteral("TEST.TXT"),
            [&](const platform::FoundFile& file, const platform::ByteReader& read) {
                seen.resize(file.size + 10);
                got = read(0, seen.data(), file.size + 10);
                seen.resize(got);
                if (existing == QLatin1String("linked while judged"))
                    linkedWhileJudged =
                        ::link(QFile::encodeName(target).constData(),
                               QFile::encodeName(path("notes.txt")).constData()) == 0;
                return decide;
            });
        QCOMPARE(look.present, !existing.isEmpty());
        QCOMPARE(linkedWhileJudged, existing == QLatin1String("linked while judged"));
        QCOMPARE(look.removed, removed);
        QCOMPARE(typeAt(target), removed ? mode_t(0) : before);
        if (before == S_IFREG) {
            QCOMPARE(seen, content);
            QCOMPARE(look.file.identity.inode, quint64(info.st_ino));
            QCOMPARE(look.file.owner, uint(geteuid()));
            QCOMPARE(look.file.links, quint64(info.st_nlink));
            QCOMPARE(look.file.lockedByOther, existing == QLatin1String("locked"));
        }
        if (existing == QLatin1String("hard link"))
            QCOMPARE(readFileBytes(path("notes.txt")), content);
        if (holder >= 0) ::close(holder);
    }

    void readBackCheckFindsTheFirstDifference_data() {
        QTest::addColumn<int>("change");       // >= 0: that byte changed; -1 one byte short;
                                               // -2 one byte more; -3 nothing
        QTest::addColumn<qint64>("expected");  // -1: none
        QTest::newRow("identical") << -3 << qint64(-1);
        QTest::newRow("first byte") << 0 << qint64(0);
        QTest::newRow("inside a later chunk") << 2'000'017 << qint64(2'000'017);
        QTest::newRow("last byte") << 2'999'999 << qint64(2'999'999);
        QTest::newRow("one byte short") << -1 << qint64(2'999'999);
        QTest::newRow("one byte more") << -2 << qint64(3'000'000);
    }
    void readBackCheckFindsTheFirstDifference() {
        QFETCH(int, change);
        QFETCH(qint64, expected);
        const QByteArray line = testLine + "\r\n";
        QByteArray content = line.repeated(60'000);
        if (change >= 0) content[change] = 'X';
        if (change == -1) content.chop(1);
        if (change == -2) content.append('1');
        writeBytes(path("source"), content);
        LinuxFileService files;
        const int folder = files.openFolder(dir_->path());
        const platform::HeldFile copy =
            files.copyFile(heldAt(folder, dir_->path(), QStringLiteral("source")), folder,
                           QStringLiteral("TEST.TXT"), CopyOptions(), {});
        QCOMPARE(measure::firstDifference(files.readHeld(copy), 3'000'000, std::string_view(line))
                     .value_or(-1),
                 expected);
    }

    // A stop request ends a copy between chunks and leaves nothing of it.
    void stoppedCopyLeavesNothing() {
        writeBytes(path("source"), QByteArray(20 * 1024 * 1024, 's'));
        LinuxFileService files;
        const int folder = files.openFolder(dir_->path());
        std::atomic<bool> stop{true};
        std::atomic<qint64> done{0};
        CopyOptions options;
        options.stop = &stop;
        options.bytesDone = &done;
        const platform::HeldFile source = heldAt(folder, dir_->path(), QStringLiteral("source"));
        QVERIFY_THROWS_EXCEPTION(
            platform::Stopped,
            files.copyFile(source, folder, QStringLiteral("TEST.TXT"), options, {}));
        QCOMPARE(typeAt(path("TEST.TXT")), mode_t(0));
        stop = false;
        files.copyFile(source, folder, QStringLiteral("TEST.TXT"), options, {});
        QCOMPARE(done.load(), qint64(20 * 1024 * 1024));
    }

    // A held file goes only while the name still names it: pinned by its lock, device and inode
    // say so; unpinned, the inode may have gone to another file, and only an equal birth time or
    // generation proves it is the same.
    void removeHeldDeletesOnlyWhatItProves_data() {
        QTest::addColumn<bool>("pinned");
        QTest::addColumn<QString>(
            "change");  // "", "file moved over it", "other birth", "no lasting key"
        QTest::addColumn<bool>("removed");
        QTest::newRow("pinned") << true << "" << true;
        QTest::newRow("pinned, another file moved over it")
            << true << "file moved over it" << false;
        QTest::newRow("unpinned, same lasting identity") << false << "" << true;
        QTest::newRow("unpinned, inode given to a later file") << false << "other birth" << false;
        QTest::newRow("unpinned, no birth time nor generation")
            << false << "no lasting key" << false;
    }
    void removeHeldDeletesOnlyWhatItProves() {
        QFETCH(bool, pinned);
        QFETCH(QString, change);
        QFETCH(bool, removed);
        LinuxFileService files;
        const int folder = files.openFolder(dir_->path());
        platform::HeldFile held = files.createForOutput(folder, QStringLiteral("TEST.TXT"), {});
        files.closeOutput();
        if (!held.identity.lasting())
            QSKIP("the temporary folder's file system keeps no lasting key");
        if (!pinned) held.lock.reset();
        if (change == QLatin1String("file moved over it")) {
            writeBytes(path("users"), "the user's\n");
            QCOMPARE(::rename(QFile::encodeName(path("users")).constData(),
                              QFile::encodeName(path("TEST.TXT")).constData()),
                     0);
        }
        if (change == QLatin1String("other birth")) {
            held.identity.hasGeneration = false;
            held.identity.hasBirth = true;
            held.identity.birthSeconds -= 1;
        }
        if (change == QLatin1String("no lasting key"))
            held.identity.hasBirth = held.identity.hasGeneration = false;
        QCOMPARE(files.removeHeld(held), removed);
        QCOMPARE(QFile::exists(path("TEST.TXT")), !removed);
    }

    void folderMovedAwayIsNoLongerAtItsPath() {
        QVERIFY(QDir(dir_->path()).mkdir(QStringLiteral("drive")));
        LinuxFileService files;
        const int folder = files.openFolder(path("drive"));
        QVERIFY(files.folderStillAt(folder));
        QVERIFY(QDir(dir_->path()).rename(QStringLiteral("drive"), QStringLiteral("moved")));
        QVERIFY(QDir(dir_->path()).mkdir(QStringLiteral("drive")));
        QVERIFY(!files.folderStillAt(folder));
        QCOMPARE(failureOf([&] { files.openFolder(path("missing")); }),
                 QStringLiteral("Cannot open %1: No such file or directory").arg(path("missing")));
    }

    // However the owner lets go of its descriptor, the descriptor is closed, and only once.
    void descriptorOwnerClosesOnce_data() {
        QTest::addColumn<QString>("how");
        for (const char* how : {"destructor", "reset", "moved", "assigned over", "close"})
            QTest::newRow(how) << QString::fromLatin1(how);
    }
    void descriptorOwnerClosesOnce() {
        QFETCH(QString, how);
        const int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        const auto isOpen = [&] { return ::fcntl(raw, F_GETFD) != -1; };
        {
            platform::UniqueFd owner(raw);
            if (how == QLatin1String("reset")) owner.reset();
            if (how == QLatin1String("assigned over")) owner = platform::UniqueFd();
            if (how == QLatin1String("close")) QCOMPARE(owner.close(), 0);
            if (how == QLatin1String("moved")) {
                platform::UniqueFd taker(std::move(owner));
                QVERIFY(!owner.valid() && taker.get() == raw && isOpen());
            }
            QCOMPARE(isOpen(), how == QLatin1String("destructor"));
        }
        QVERIFY(!isOpen());
        // A descriptor that is no longer open: close() says so instead of passing silently.
        QCOMPARE(platform::UniqueFd(raw).close(), EBADF);
    }
};

QTEST_GUILESS_MAIN(LinuxFilesTest)
#include "tst_linuxfiles.moc"
