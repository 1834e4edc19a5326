// The Linux file service: exact output bytes, create modes that never harm what is already
// there, failure texts a user can act on, the repeated-block check and whole-file copies; the
// run's own files by descriptor (claims, identity, locks, stops, the read-back check) and paths
// that are bytes.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "platform/failure.h"
#include "platform/linuxfiles.h"
#include "platform/paths.h"
#include "support/scratchmounts.h"

using platform::Claim;
using platform::CopyOptions;
using platform::CreateMode;
using platform::Failure;
using platform::LinuxFileService;
using platform::PathKind;
using testsupport::failureOf;
using testsupport::readFileBytes;

Q_DECLARE_METATYPE(Claim)
Q_DECLARE_METATYPE(CreateMode)
Q_DECLARE_METATYPE(PathKind)

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
enum class Refusing { MissingFolder, FolderWithoutWriteAccess, ReadOnlyVolume };

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
        const QString target = path("TEST.TXT");
        files.openForOutput(1, target, CreateMode::CreateNew);
        QByteArray expected;
        for (const QByteArray& line : lines) {
            files.writeLine(1, std::string_view(line.constData(), line.size()));
            expected += line + "\r\n";
        }
        files.close(1);
        QCOMPARE(readFileBytes(target), expected);
    }

    void fileNumbersKeepFilesApart() {
        LinuxFileService files;
        files.openForOutput(1, path("one"), CreateMode::CreateNew);
        files.openForOutput(255, path("last"), CreateMode::CreateNew);
        for (int i = 0; i < 3; ++i) {
            files.writeLine(1, "first");
            files.writeLine(255, "second");
        }
        files.close(255);
        QCOMPARE(readFileBytes(path("last")), QByteArray("second\r\nsecond\r\nsecond\r\n"));
        QVERIFY_THROWS_EXCEPTION(Failure, files.writeLine(255, "after close"));
        // A number that is not open closes without complaint, like the classic Close #n.
        files.close(255);
        files.close(7);
        // closeAll writes out what is still buffered.
        files.closeAll();
        QCOMPARE(readFileBytes(path("one")), QByteArray("first\r\nfirst\r\nfirst\r\n"));
        files.closeAll();
    }

    void badFileNumbersFail_data() {
        QTest::addColumn<int>("number");
        QTest::newRow("zero") << 0;
        QTest::newRow("256") << 256;
        QTest::newRow("negative") << -1;
    }
    void badFileNumbersFail() {
        QFETCH(int, number);
        LinuxFileService files;
        QVERIFY_THROWS_EXCEPTION(Failure,
                                 files.openForOutput(number, path("x"), CreateMode::CreateNew));
        QVERIFY(!QFile::exists(path("x")));
        QVERIFY_THROWS_EXCEPTION(Failure, files.writeLine(number, "x"));
        QVERIFY_THROWS_EXCEPTION(Failure, files.close(number));
    }

    void numberInUseIsRefusedWithoutTouchingTheNewPath() {
        LinuxFileService files;
        files.openForOutput(1, path("first"), CreateMode::CreateNew);
        writeBytes(path("second"), "keep");
        const QString failure =
            failureOf([&] { files.openForOutput(1, path("second"), CreateMode::ReplaceExisting); });
        QVERIFY2(failure.startsWith(QStringLiteral("Cannot create ") + path("second")),
                 qPrintable(failure));
        QCOMPARE(readFileBytes(path("second")), QByteArray("keep"));
    }

    void createModesNeverHarmWhatIsThere_data() {
        QTest::addColumn<CreateMode>("mode");
        QTest::addColumn<Existing>("existing");
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<QString>("reason");
        const auto both = [](const char* name, Existing existing, bool newOk, QString newReason,
                             bool replaceOk, QString replaceReason) {
            QTest::addRow("new, %s", name)
                << CreateMode::CreateNew << existing << newOk << newReason;
            QTest::addRow("replace, %s", name)
                << CreateMode::ReplaceExisting << existing << replaceOk << replaceReason;
        };
        both("nothing there", Existing::Nothing, true, {}, true, {});
        both("regular file", Existing::RegularFile, false, "File exists", true, {});
        both("link to a file", Existing::LinkToFile, false, "File exists", false,
             "Is a symbolic link");
        both("dangling link", Existing::DanglingLink, false, "File exists", false,
             "Is a symbolic link");
        both("directory", Existing::Directory, false, "File exists", false, "Is a directory");
        both("fifo", Existing::Fifo, false, "File exists", false, "Not a regular file");
    }
    void createModesNeverHarmWhatIsThere() {
        QFETCH(CreateMode, mode);
        QFETCH(Existing, existing);
        QFETCH(bool, succeeds);
        QFETCH(QString, reason);
        const QString target = path("TEST.TXT");
        place(existing, target);
        LinuxFileService files;
        if (succeeds) {
            files.openForOutput(1, target, mode);
            files.writeLine(1, "new");
            files.close(1);
            QCOMPARE(readFileBytes(target), QByteArray("new\r\n"));
            return;
        }
        QCOMPARE(failureOf([&] { files.openForOutput(1, target, mode); }),
                 QStringLiteral("Cannot create %1: %2").arg(target, reason));
        QVERIFY(survived(existing, target));
    }

    void refusingPlacesNamePathAndReason_data() {
        QTest::addColumn<Refusing>("where");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing folder") << Refusing::MissingFolder << "No such file or directory";
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
            writeBytes(folder + QStringLiteral("/TEST.TXT"), "left on the stick");
            if (!stick->makeReadOnly()) QSKIP(qPrintable(stick->whyNot()));
        }
        const QString target = folder + QStringLiteral("/TEST.TXT");
        const QByteArray before = readFileBytes(target);
        writeBytes(path("source"), "new");
        LinuxFileService files;
        QCOMPARE(failureOf([&] { files.openForOutput(1, target, CreateMode::ReplaceExisting); }),
                 QStringLiteral("Cannot create %1: %2").arg(target, reason));
        const CopyOptions options{.destination = CreateMode::ReplaceExisting};
        QCOMPARE(failureOf([&] { files.copyFile(path("source"), target, options); }),
                 QStringLiteral("Cannot copy %1 to %2: %3").arg(path("source"), target, reason));
        QCOMPARE(readFileBytes(target), before);
    }

    void fullVolumeReportsWriteFailureWithPath() {
        testsupport::ScratchTmpfs small(64 * 1024);
        if (!small.isReady()) QSKIP(qPrintable(small.whyNot()));
        const QString target = small.mountPoint() + QStringLiteral("/TEST.TXT");
        LinuxFileService files;
        files.openForOutput(1, target, CreateMode::CreateNew);
        const QString description = failureOf([&] {
            for (int i = 0; i < 100000; ++i) files.writeLine(1, std::string_view(testLine));
            files.close(1);
        });
        files.closeAll();
        QCOMPARE(description,
                 QStringLiteral("Cannot write %1: No space left on device").arg(target));
    }

    void deleteRemovesFilesAndLinksButNotTargets() {
        LinuxFileService files;
        writeBytes(path("plain"), "x");
        files.deleteFile(path("plain"));
        QVERIFY(!QFile::exists(path("plain")));

        place(Existing::LinkToFile, path("link"));
        files.deleteFile(path("link"));
        QCOMPARE(typeAt(path("link")), mode_t(0));
        QCOMPARE(readFileBytes(path("link.target")), QByteArray("precious target\n"));

        QCOMPARE(failureOf([&] { files.deleteFile(path("plain")); }),
                 QStringLiteral("Cannot delete %1: No such file or directory").arg(path("plain")));
    }

    void failureTextReachesWhatAsUtf8() {
        const Failure failure(
            QStringLiteral("Cannot delete /media/Ä b/TEST.TXT: Permission denied"));
        QCOMPARE(QString::fromUtf8(failure.what()), failure.description());
    }

    void pathKindDoesNotFollowLinks_data() {
        QTest::addColumn<Existing>("existing");
        QTest::addColumn<QString>("below");  // asked about this path under what was put there
        QTest::addColumn<PathKind>("kind");
        QTest::newRow("nothing") << Existing::Nothing << "" << PathKind::Missing;
        QTest::newRow("regular file") << Existing::RegularFile << "" << PathKind::RegularFile;
        QTest::newRow("link to a file") << Existing::LinkToFile << "" << PathKind::SymbolicLink;
        QTest::newRow("dangling link") << Existing::DanglingLink << "" << PathKind::SymbolicLink;
        QTest::newRow("directory") << Existing::Directory << "" << PathKind::Other;
        QTest::newRow("fifo") << Existing::Fifo << "" << PathKind::Other;
        QTest::newRow("below a file") << Existing::RegularFile << "/TEST.TXT" << PathKind::Missing;
    }
    void pathKindDoesNotFollowLinks() {
        QFETCH(Existing, existing);
        QFETCH(QString, below);
        QFETCH(PathKind, kind);
        place(existing, path("TEST.TXT"));
        LinuxFileService files;
        QCOMPARE(files.pathKind(path("TEST.TXT") + below), kind);
    }

    void repeatedBlockCheck_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<Existing>("existing");  // used when content is empty and not a file
        QTest::addColumn<bool>("expected");
        const QByteArray line = testLine + "\r\n";
        QByteArray lastByteChanged = line.repeated(60000);
        lastByteChanged[lastByteChanged.size() - 1] = 'X';
        QByteArray firstByteChanged = line.repeated(3);
        firstByteChanged[0] = '0';
        QTest::newRow("empty file") << QByteArray() << Existing::RegularFile << true;
        QTest::newRow("one line") << line << Existing::RegularFile << true;
        QTest::newRow("whole lines past one chunk")
            << line.repeated(60000) << Existing::RegularFile << true;
        QTest::newRow("partial last line")
            << line.repeated(5) + testLine.left(20) << Existing::RegularFile << false;
        QTest::newRow("line without CR")
            << (testLine + "\n").repeated(50) << Existing::RegularFile << false;
        QTest::newRow("foreign content")
            << QByteArray("my thesis chapter 1 ..........................\r\n").repeated(10)
            << Existing::RegularFile << false;
        QTest::newRow("first byte differs") << firstByteChanged << Existing::RegularFile << false;
        QTest::newRow("last byte differs") << lastByteChanged << Existing::RegularFile << false;
        QTest::newRow("missing") << QByteArray() << Existing::Nothing << false;
        QTest::newRow("link to whole lines") << QByteArray() << Existing::LinkToFile << false;
        QTest::newRow("directory") << QByteArray() << Existing::Directory << false;
        QTest::newRow("fifo") << QByteArray() << Existing::Fifo << false;
    }
    void repeatedBlockCheck() {
        QFETCH(QByteArray, content);
        QFETCH(Existing, existing);
        QFETCH(bool, expected);
        const QString target = path("TEST.TXT");
        const QByteArray line = testLine + "\r\n";
        if (existing == Existing::RegularFile) {
            writeBytes(target, content);
        } else if (existing == Existing::LinkToFile) {
            writeBytes(target + ".target", line.repeated(4));
            QCOMPARE(::symlink(QFile::encodeName(target + ".target").constData(),
                               QFile::encodeName(target).constData()),
                     0);
        } else {
            place(existing, target);
        }
        LinuxFileService files;
        QCOMPARE(files.consistsOfRepeatedBlock(target, std::string_view(line)), expected);
    }

    void copyMovesEveryByte_data() {
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<bool>("flush");
        QTest::addColumn<bool>("drop");
        QTest::addColumn<bool>("replacing");  // a longer file is at the destination
        QTest::newRow("empty") << qsizetype(0) << false << false << false;
        QTest::newRow("one byte, flushed") << qsizetype(1) << true << false << false;
        QTest::newRow("odd size, flushed and dropped") << qsizetype(12345) << true << true << false;
        QTest::newRow("several chunks")
            << qsizetype(17 * 1024 * 1024 + 3) << false << false << false;
        QTest::newRow("replacing a longer file") << qsizetype(5) << false << false << true;
    }
    void copyMovesEveryByte() {
        QFETCH(qsizetype, size);
        QFETCH(bool, flush);
        QFETCH(bool, drop);
        QFETCH(bool, replacing);
        QByteArray content(size, '\0');
        for (qsizetype i = 0; i < size; ++i) content[i] = char((i * 7 + i / 4096) & 0xFF);
        writeBytes(path("source"), content);
        if (replacing) writeBytes(path("copy"), QByteArray(5000, 'o'));
        LinuxFileService files;
        const CopyOptions options{
            .destination = replacing ? CreateMode::ReplaceExisting : CreateMode::CreateNew,
            .flushToDevice = flush,
            .dropCachedPages = drop};
        files.copyFile(path("source"), path("copy"), options);
        QVERIFY(readFileBytes(path("copy")) == content);
        QCOMPARE(readFileBytes(path("source")).size(), size);
    }

    void copyFailuresNameBothPathsAndKeepDestinationsSafe_data() {
        QTest::addColumn<Existing>("sourceKind");
        QTest::addColumn<CreateMode>("mode");
        QTest::addColumn<Existing>("destinationKind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing source") << Existing::Nothing << CreateMode::ReplaceExisting
                                        << Existing::Nothing << "No such file or directory";
        QTest::newRow("source is a directory") << Existing::Directory << CreateMode::ReplaceExisting
                                               << Existing::Nothing << "Not a regular file";
        QTest::newRow("source is a fifo") << Existing::Fifo << CreateMode::ReplaceExisting
                                          << Existing::Nothing << "Not a regular file";
        QTest::newRow("new over a file") << Existing::RegularFile << CreateMode::CreateNew
                                         << Existing::RegularFile << "File exists";
        QTest::newRow("new over a link") << Existing::RegularFile << CreateMode::CreateNew
                                         << Existing::LinkToFile << "File exists";
        QTest::newRow("replace through a link")
            << Existing::RegularFile << CreateMode::ReplaceExisting << Existing::LinkToFile
            << "Is a symbolic link";
        QTest::newRow("replace a dangling link")
            << Existing::RegularFile << CreateMode::ReplaceExisting << Existing::DanglingLink
            << "Is a symbolic link";
        QTest::newRow("replace a directory") << Existing::RegularFile << CreateMode::ReplaceExisting
                                             << Existing::Directory << "Is a directory";
    }
    void copyFailuresNameBothPathsAndKeepDestinationsSafe() {
        QFETCH(Existing, sourceKind);
        QFETCH(CreateMode, mode);
        QFETCH(Existing, destinationKind);
        QFETCH(QString, reason);
        const QString source = path("source");
        const QString destination = path("TEST.TXT");
        place(sourceKind, source);
        place(destinationKind, destination);
        LinuxFileService files;
        const CopyOptions options{.destination = mode};
        QCOMPARE(failureOf([&] { files.copyFile(source, destination, options); }),
                 QStringLiteral("Cannot copy %1 to %2: %3").arg(source, destination, reason));
        QVERIFY(survived(destinationKind, destination));
        if (destinationKind == Existing::Nothing) QVERIFY(!QFile::exists(destination));
    }

    void copyOntoItselfLeavesTheFileWhole() {
        writeBytes(path("TEST.TXT"), "only copy of the data");
        QCOMPARE(::symlink("TEST.TXT", QFile::encodeName(path("alias")).constData()), 0);
        LinuxFileService files;
        const CopyOptions options{.destination = CreateMode::ReplaceExisting};
        QVERIFY_THROWS_EXCEPTION(Failure,
                                 files.copyFile(path("TEST.TXT"), path("TEST.TXT"), options));
        // Through a link the source is followed, so the same file is recognised there too.
        QVERIFY_THROWS_EXCEPTION(Failure, files.copyFile(path("alias"), path("TEST.TXT"), options));
        QCOMPARE(readFileBytes(path("TEST.TXT")), QByteArray("only copy of the data"));
    }

    void fullTargetFailsAndLeavesNoPartialCopy_data() {
        QTest::addColumn<CreateMode>("mode");
        QTest::addColumn<bool>("flush");
        QTest::newRow("new") << CreateMode::CreateNew << false;
        QTest::newRow("replacing, flushed") << CreateMode::ReplaceExisting << true;
    }
    void fullTargetFailsAndLeavesNoPartialCopy() {
        QFETCH(CreateMode, mode);
        QFETCH(bool, flush);
        testsupport::ScratchTmpfs small(1024 * 1024);
        if (!small.isReady()) QSKIP(qPrintable(small.whyNot()));
        const QString destination = small.mountPoint() + QStringLiteral("/TEST.TXT");
        if (mode == CreateMode::ReplaceExisting) writeBytes(destination, testLine.repeated(10));
        writeBytes(path("source"), QByteArray(3 * 1024 * 1024, 'd'));
        LinuxFileService files;
        const CopyOptions options{
            .destination = mode, .flushToDevice = flush, .dropCachedPages = flush};
        QCOMPARE(failureOf([&] { files.copyFile(path("source"), destination, options); }),
                 QStringLiteral("Cannot copy %1 to %2: No space left on device")
                     .arg(path("source"), destination));
        QVERIFY(!QFile::exists(destination));
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
        files.createForOutput(1, folder, path);
        files.writeLine(1, "x");
        files.close(1);
        struct stat info {};
        QCOMPARE(::stat((folderBytes + '/' + name).constData(), &info), 0);
        QCOMPARE(info.st_size, off_t(3));
        files.removeOwnFile(folder, path);
        QCOMPARE(::rmdir(folderBytes.constData()), 0);
    }

    // What the run finds at a test file's name: only an unshared leftover of nothing but test
    // lines is removed; all else stays as it was.
    void claimTakesOnlyUnsharedLeftovers_data() {
        QTest::addColumn<QString>("existing");
        QTest::addColumn<Claim>("claim");
        QTest::newRow("nothing") << "" << Claim::Free;
        QTest::newRow("leftover of test lines") << "lines" << Claim::Reclaimed;
        QTest::newRow("empty leftover") << "empty" << Claim::Reclaimed;
        QTest::newRow("user's file") << "notes" << Claim::NotOurs;
        QTest::newRow("test lines hard-linked to notes") << "lines, hard link" << Claim::NotOurs;
        QTest::newRow("empty, hard-linked to notes") << "empty, hard link" << Claim::NotOurs;
        QTest::newRow("link to test lines") << "link" << Claim::NotOurs;
        QTest::newRow("fifo") << "fifo" << Claim::NotOurs;
        QTest::newRow("directory") << "directory" << Claim::NotOurs;
        QTest::newRow("test lines locked by another run") << "lines, locked" << Claim::InUse;
    }
    void claimTakesOnlyUnsharedLeftovers() {
        QFETCH(QString, existing);
        QFETCH(Claim, claim);
        const QString target = path("TEST.TXT");
        const QByteArray line = testLine + "\r\n";
        QByteArray content;
        if (existing.startsWith(QLatin1String("lines"))) content = line.repeated(500);
        if (existing == QLatin1String("notes")) content = "notes\n";
        if (existing.contains(QLatin1String("hard link"))) {
            writeBytes(path("notes.txt"), content);
            QCOMPARE(::link(QFile::encodeName(path("notes.txt")).constData(),
                            QFile::encodeName(target).constData()),
                     0);
        } else if (existing == QLatin1String("link")) {
            writeBytes(path("lines"), line.repeated(3));
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
        if (existing.endsWith(QLatin1String("locked"))) QCOMPARE(::flock(holder, LOCK_EX), 0);
        const mode_t before = typeAt(target);

        LinuxFileService files;
        const int folder = files.openFolder(dir_->path());
        QCOMPARE(files.claim(folder, QStringLiteral("TEST.TXT"), std::string_view(line)), claim);

        if (claim == Claim::Reclaimed || claim == Claim::Free) {
            QCOMPARE(typeAt(target), mode_t(0));
        } else {
            QCOMPARE(typeAt(target), before);
            if (before == S_IFREG) QCOMPARE(readFileBytes(target), content);
        }
        if (existing.contains(QLatin1String("hard link")))
            QCOMPARE(readFileBytes(path("notes.txt")), content);
        if (holder >= 0) ::close(holder);
    }

    // The run deletes and reads only the files it made: a name that names something else by
    // now is left alone, whatever it is.
    void ownFilesAreKnownByIdentity_data() {
        QTest::addColumn<QString>("swap");
        QTest::newRow("nothing swapped") << "";
        QTest::newRow("another file moved over it") << "file";
        QTest::newRow("a link moved over it") << "link";
    }
    void ownFilesAreKnownByIdentity() {
        QFETCH(QString, swap);
        LinuxFileService files;
        const int folder = files.openFolder(dir_->path());
        const int other = files.openFolder(path(QString()));
        QVERIFY(files.sameFolder(folder, other));
        files.createForOutput(1, folder, QStringLiteral("TEST.TXT"));
        files.writeLine(1, "ours");
        files.close(1);
        const QString target = path("TEST.TXT");
        writeBytes(path("users"), "the user's\n");
        if (swap == QLatin1String("file")) {
            QCOMPARE(::rename(QFile::encodeName(path("users")).constData(),
                              QFile::encodeName(target).constData()),
                     0);
        }
        if (swap == QLatin1String("link")) {
            QVERIFY(QFile::link(path("users"), path("link")));
            QCOMPARE(::rename(QFile::encodeName(path("link")).constData(),
                              QFile::encodeName(target).constData()),
                     0);
        }
        const QString copied = failureOf([&] {
            files.copyFile(folder, QStringLiteral("TEST.TXT"), folder, QStringLiteral("BACK.TXT"),
                           CopyOptions());
        });
        const QString removed =
            failureOf([&] { files.removeOwnFile(folder, QStringLiteral("TEST.TXT")); });
        if (swap.isEmpty()) {
            QCOMPARE(copied, QStringLiteral("no failure"));
            QCOMPARE(removed, QStringLiteral("no failure"));
            QCOMPARE(typeAt(target), mode_t(0));
            QCOMPARE(readFileBytes(path("BACK.TXT")), QByteArray("ours\r\n"));
            files.removeOwnFiles();
            QVERIFY(!QFile::exists(path("BACK.TXT")));
            return;
        }
        const QString source =
            QStringLiteral("Cannot copy %1 to %2: ").arg(target, path("BACK.TXT"));
        QCOMPARE(copied,
                 source + (swap == QLatin1String("link")
                               ? QStringLiteral("Is a symbolic link")
                               : QStringLiteral("It is no longer the file this run wrote")));
        QCOMPARE(removed, QStringLiteral("%1 is no longer the file this run wrote; it was left "
                                         "untouched")
                              .arg(target));
        QCOMPARE(readFileBytes(target), QByteArray("the user's\n"));
        files.removeOwnFiles();
        QCOMPARE(readFileBytes(target), QByteArray("the user's\n"));
        QVERIFY(!QFile::exists(path("BACK.TXT")));
        files.closeFolder(other);
        files.closeFolder(folder);
    }

    void readBackCheckFindsTheFirstDifference_data() {
        QTest::addColumn<int>("change");  // >= 0: that byte changed; -1 one byte short;
                                          // -2 one byte more; -3 nothing
        QTest::addColumn<qint64>("expected");
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
        files.copyFile(folder, QStringLiteral("source"), folder, QStringLiteral("TEST.TXT"),
                       CopyOptions());
        QCOMPARE(files.firstDifference(folder, QStringLiteral("TEST.TXT"), std::string_view(line),
                                       3'000'000),
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
        QVERIFY_THROWS_EXCEPTION(platform::Stopped,
                                 files.copyFile(folder, QStringLiteral("source"), folder,
                                                QStringLiteral("TEST.TXT"), options));
        QCOMPARE(typeAt(path("TEST.TXT")), mode_t(0));
        stop = false;
        files.copyFile(folder, QStringLiteral("source"), folder, QStringLiteral("TEST.TXT"),
                       options);
        QCOMPARE(done.load(), qint64(20 * 1024 * 1024));
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
};

QTEST_GUILESS_MAIN(LinuxFilesTest)
#include "tst_linuxfiles.moc"
