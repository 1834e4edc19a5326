// Which leftover is the program's own (the rule, on its facts and bytes), and the record of the
// files the program makes.

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include "fakes/fakedesktop.h"
#include "measure/testfile.h"
#include "ownership/folders.h"
#include "ownership/journal.h"
#include "ownership/leftoverrule.h"
#include "ownership/ownfiles.h"
#include "platform/linuxfiles.h"
#include "support/harness.h"
#include "support/scratchmounts.h"

using ownership::Verdict;

Q_DECLARE_METATYPE(Verdict)
Q_DECLARE_METATYPE(platform::FileIdentity)

namespace {

const QByteArray line(measure::kTestLineWithEnd.data(),
                      qsizetype(measure::kTestLineWithEnd.size()));

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

platform::ByteReader readerOf(const QByteArray& bytes) {
    return [bytes](qint64 offset, char* data, qint64 size) {
        const QByteArray part = bytes.mid(offset, size);
        std::copy(part.cbegin(), part.cend(), data);
        return qint64(part.size());
    };
}

}  // namespace

class OwnershipTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The rule, once for every kind of leftover: what a crash or a kill can leave is the
    // program's own with a record of it; without one only unmistakable test lines are.
    void leftoverVerdicts_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("standing");  // "record", "private", "" (neither)
        QTest::addColumn<QString>("facts");     // "", "other user", "two links", "locked"
        QTest::addColumn<Verdict>("verdict");
        QByteArray lastByteChanged = line.repeated(60000);
        lastByteChanged[lastByteChanged.size() - 1] = 'X';
        const QByteArray nulTail = line.repeated(900) + line.left(7) + QByteArray(70000, '\0');
        const QByteArray hole =
            line.repeated(30) + QByteArray(500, '\0') + line.repeated(30).mid(500);
        const auto row = [](const char* tag, const QByteArray& content, const char* standing,
                            const char* facts, Verdict verdict) {
            QTest::newRow(tag) << content << QString::fromLatin1(standing)
                               << QString::fromLatin1(facts) << verdict;
        };
        row("test lines", line.repeated(500), "", "", Verdict::Ours);
        row("test lines past one chunk", line.repeated(60000), "", "", Verdict::Ours);
        row("cut short mid-line", line.repeated(5) + line.left(20), "", "", Verdict::Ours);
        row("one whole line", line, "", "", Verdict::Ours);
        row("NUL tail of a power cut", nulTail, "", "", Verdict::Ours);
        row("NUL tail, recorded", nulTail, "record", "", Verdict::Ours);
        row("empty", QByteArray(), "", "", Verdict::Empty);
        row("empty, recorded", QByteArray(), "record", "", Verdict::Ours);
        row("cut in its first line", line.left(1), "", "", Verdict::TooShort);
        row("user's 123", "123", "", "", Verdict::TooShort);
        row("user's 1234567890", "1234567890", "", "", Verdict::TooShort);
        row("1234567890, recorded", "1234567890", "record", "", Verdict::Ours);
        row("only NULs", QByteArray(4096, '\0'), "", "", Verdict::TooShort);
        row("only NULs, recorded", QByteArray(4096, '\0'), "record", "", Verdict::Ours);
        row("lines after lost ones", hole, "", "", Verdict::TooShort);
        row("lines after lost ones, recorded", hole, "record", "", Verdict::Ours);
        row("notes", "notes\n", "", "", Verdict::NotTestLines);
        row("notes, recorded", "notes\n", "record", "", Verdict::NotTestLines);
        row("line without CR", QByteArray(line).replace("\r", "").repeated(50), "", "",
            Verdict::NotTestLines);
        row("last byte differs", lastByteChanged, "", "", Verdict::NotTestLines);
        row("text after the NUL tail", nulTail + "x", "record", "", Verdict::NotTestLines);
        row("notes in the private folder", "notes\n", "private", "", Verdict::Ours);
        row("another user's in the private folder", line, "private", "other user",
            Verdict::OtherUser);
        row("another user's test lines", line.repeated(3), "record", "other user",
            Verdict::OtherUser);
        row("test lines with another name", line.repeated(3), "record", "two links",
            Verdict::Shared);
        row("empty with another name, private", QByteArray(), "private", "two links",
            Verdict::Shared);
        row("test lines another run holds", line.repeated(3), "", "locked", Verdict::InUse);
    }
    void leftoverVerdicts() {
        QFETCH(QByteArray, content);
        QFETCH(QString, standing);
        QFETCH(QString, facts);
        QFETCH(Verdict, verdict);
        platform::FoundFile file{true,
                                 facts == QLatin1String("two links") ? 2u : 1u,
                                 facts == QLatin1String("other user") ? 4242u : 1000u,
                                 content.size(),
                                 {},
                                 facts == QLatin1String("locked"),
                                 {}};
        const ownership::Standing known{standing == QLatin1String("record"),
                                        standing == QLatin1String("private"), 1000u};
        QCOMPARE(
            ownership::judgeLeftover(file, known, readerOf(content), measure::kTestLineWithEnd),
            verdict);
    }

    // Records outlive the program and vouch only for the very file they name; without a place
    // to keep them the program says so.
    void journalVouchesForTheRecordedFileOnly() {
        QTemporaryDir state;
        const platform::FileIdentity identity{8, 77, true, 1700000000, 5};
        {
            ownership::Journal journal(state.path());
            journal.expect(QStringLiteral("/media/stick"), QStringLiteral("TEST.TXT"));
            QVERIFY(!journal.vouchesFor(QStringLiteral("/media/stick"), QStringLiteral("TEST.TXT"),
                                        identity));
            journal.created(QStringLiteral("/media/stick"), QStringLiteral("TEST.TXT"), identity);
            journal.created(QStringLiteral("/opt/\xff"), QStringLiteral("TEST.TXT"), identity);
            journal.flush();
        }
        ownership::Journal later(state.path());
        QVERIFY(
            later.vouchesFor(QStringLiteral("/media/stick"), QStringLiteral("TEST.TXT"), identity));
        platform::FileIdentity reused = identity;
        reused.birthSeconds += 60;  // the same inode number, given to a new file
        QVERIFY(
            !later.vouchesFor(QStringLiteral("/media/stick"), QStringLiteral("TEST.TXT"), reused));
        QVERIFY(!later.vouchesFor(QStringLiteral("/media/other"), QStringLiteral("TEST.TXT"),
                                  identity));
        later.gone(QStringLiteral("/media/stick"), QStringLiteral("TEST.TXT"));
        QVERIFY(
            !ownership::Journal(state.path())
                 .vouchesFor(QStringLiteral("/media/stick"), QStringLiteral("TEST.TXT"), identity));
        QVERIFY(ownership::Journal(state.path())
                    .vouchesFor(QStringLiteral("/opt/\xff"), QStringLiteral("TEST.TXT"), identity));
        QCOMPARE(later.notice(), QString());
        QCOMPARE(QFileInfo(state.filePath(QStringLiteral("test-files"))).permissions() & 0x0FF,
                 QFile::Permissions());

        // A home that turned read-only: the run goes on, and says so.
        testsupport::ScratchTmpfs readOnlyHome(1024 * 1024);
        if (!readOnlyHome.isReady() || !readOnlyHome.makeReadOnly())
            QSKIP(qPrintable(readOnlyHome.whyNot()));
        ownership::Journal readOnly(readOnlyHome.mountPoint());
        readOnly.expect(QStringLiteral("/media/new"), QStringLiteral("TEST.TXT"));
        QVERIFY2(readOnly.notice().contains(QLatin1String("Read-only file system")),
                 qPrintable(readOnly.notice()));
    }

    // What a record file holds decides only what it can: a record vouches by a lasting identity
    // alone, a huge or damaged file loads, and one that is not a record file is never used.
    void journalRecordFiles_data() {
        QTest::addColumn<QString>("before");  // the record file: "", "stale", "fifo", text
        QTest::addColumn<platform::FileIdentity>("recorded");
        QTest::addColumn<platform::FileIdentity>("found");
        QTest::addColumn<bool>("vouches");
        QTest::addColumn<QString>("notice");  // part of the notice; empty: none
        const platform::FileIdentity birth{8, 12, true, 1700000000, 5};
        const platform::FileIdentity bare{8, 12};
        platform::FileIdentity generation = bare;
        generation.hasGeneration = true;
        generation.generation = 1057156537;
        platform::FileIdentity reusedGeneration = generation;
        reusedGeneration.generation = 2939793982;
        QTest::newRow("generation only") << "" << generation << generation << true << "";
        QTest::newRow("inode reused, other generation")
            << "" << generation << reusedGeneration << false << "";
        QTest::newRow("neither birth time nor generation") << "" << bare << bare << false << "";
        QTest::newRow("20,000 stale records") << "stale" << birth << birth << true << "";
        QTest::newRow("record file is a FIFO")
            << "fifo" << birth << birth << false << "Not a regular file";
        QTest::newRow("a line cut short after a record")
            << "2f6d6e74 544553542e545854 4000000000 -\n2f6d6e74 5445" << birth << birth << true
            << "";
        QTest::newRow("user's notes at the record file's name")
            << "my notes\n"
            << birth << birth << false << "is not a record file";
    }
    void journalRecordFiles() {
        QFETCH(QString, before);
        QFETCH(platform::FileIdentity, recorded);
        QFETCH(platform::FileIdentity, found);
        QFETCH(bool, vouches);
        QFETCH(QString, notice);
        QTemporaryDir state;
        const QString file = state.filePath(QStringLiteral("test-files"));
        const QString folder = QStringLiteral("/media/stick");
        const QString name = QStringLiteral("TEST.TXT");
        QByteArray stale;
        for (int record = 0; record < 20000; ++record) {
            // A record a year old of a folder no longer reached, and failed runs' records.
            stale += QByteArray("2f6d6e742f") + QByteArray::number(record).toHex() +
                     " 544553542e545854 " +
                     (record % 2 ? "1600000000 -\n" : "1600000000 8 9 1 1 1 0 0\n");
        }
        if (before == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(file), 0600), 0);
        else if (before == QLatin1String("stale"))
            QVERIFY(writeBytes(file, stale));
        else if (!before.isEmpty())
            QVERIFY(writeBytes(file, before.toUtf8()));
        {
            ownership::Journal journal(state.path());
            journal.expect(folder, name);
            journal.created(folder, name, recorded);
            journal.flush();
        }
        ownership::Journal later(state.path());
        QCOMPARE(later.vouchesFor(folder, name, found), vouches);
        QVERIFY2(notice.isEmpty() ? later.notice().isEmpty() : later.notice().contains(notice),
                 qPrintable(later.notice()));
        QFileInfo info(file);
        if (before == QLatin1String("fifo")) QVERIFY(!info.isFile());
        if (before == QLatin1String("stale")) QVERIFY(info.size() < 1000);  // pruned
        if (before.contains(QLatin1String("notes")))
            QCOMPARE(testsupport::readFileBytes(file), before.toUtf8());
    }

    // The run deletes and reads only the files it made: a name that names something else by
    // now is left alone, whatever it is, and its record no longer vouches for it.
    void ownFilesAreKnownByIdentity_data() {
        QTest::addColumn<QString>("swap");
        QTest::newRow("nothing swapped") << "";
        QTest::newRow("another file moved over it") << "file";
        QTest::newRow("a link moved over it") << "link";
    }
    void ownFilesAreKnownByIdentity() {
        QFETCH(QString, swap);
        QTemporaryDir dir;
        const auto path = [&](const char* name) { return dir.filePath(QLatin1String(name)); };
        platform::LinuxFileService files;
        const auto journal = std::make_shared<ownership::Journal>(path("state"));
        ownership::OwnFiles own(files, journal);
        const int folder = files.openFolder(dir.path());
        own.createForOutput(folder, QStringLiteral("TEST.TXT"));
        files.writeLine("ours\r\n");
        files.closeOutput();
        const QString target = path("TEST.TXT");
        QVERIFY(writeBytes(path("users"), "the user's\n"));
        if (swap == QLatin1String("link")) QVERIFY(QFile::link(path("users"), path("link")));
        const QString moved = swap == QLatin1String("link") ? path("link") : path("users");
        if (!swap.isEmpty())
            QCOMPARE(::rename(QFile::encodeName(moved), QFile::encodeName(target)), 0);
        const QString copied = testsupport::failureOf([&] {
            own.copyFile(folder, QStringLiteral("TEST.TXT"), folder, QStringLiteral("BACK.TXT"),
                         {});
        });
        const QString removed =
            testsupport::failureOf([&] { own.removeOwnFile(folder, QStringLiteral("TEST.TXT")); });
        if (swap.isEmpty()) {
            QCOMPARE(copied, QStringLiteral("no failure"));
            QCOMPARE(removed, QStringLiteral("no failure"));
            QVERIFY(!QFileInfo::exists(target));
            QCOMPARE(testsupport::readFileBytes(path("BACK.TXT")), QByteArray("ours\r\n"));
            own.removeOwnFiles();
            QVERIFY(!QFileInfo::exists(path("BACK.TXT")));
            return;
        }
        const QString source =
            QStringLiteral("Cannot copy %1 to %2: ").arg(target, path("BACK.TXT"));
        QCOMPARE(copied, source + (swap == QLatin1String("link")
                                       ? QStringLiteral("Is a symbolic link")
                                       : QStringLiteral("It was replaced since it was written")));
        QCOMPARE(removed, QStringLiteral("Cannot delete %1: It was replaced since it was written; "
                                         "what is there now was left untouched")
                              .arg(target));
        own.removeOwnFiles();
        QCOMPARE(testsupport::readFileBytes(target), QByteArray("the user's\n"));
        QVERIFY(!QFileInfo::exists(path("BACK.TXT")));
        own.closeFolder(folder);
    }

    // Only a folder the program made and recorded is its own; a link at the cache path to a
    // folder of the user's, or a folder the user made there, private or not, is not. A link to
    // nowhere is refused with the advice of the front end that asked.
    void cacheFolderIsOwnOnlyWhenMadeAndRecorded_data() {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<bool>("own");
        QTest::addColumn<QString>("failure");  // %1: the folder; empty: none
        QTest::newRow("made by the program") << "made" << true << "";
        QTest::newRow("link to the user's private folder") << "link" << false << "";
        QTest::newRow("the user's private folder at the path") << "user's" << false << "";
        QTest::newRow("made, then replaced by the user's") << "replaced" << false << "";
        const QString refused = "Cannot use %1 as the cache folder: it is not a folder. Remove it ";
        QTest::newRow("dangling link") << "dangling" << false << refused + "and press START again.";
        QTest::newRow("dangling link, command line")
            << "dangling, command line" << false << refused + "and run it again.";
    }
    void cacheFolderIsOwnOnlyWhenMadeAndRecorded() {
        QFETCH(QString, situation);
        QFETCH(bool, own);
        QFETCH(QString, failure);
        const auto retry = situation.endsWith(QLatin1String("command line"))
                               ? ownership::Retry::RunAgain
                               : ownership::Retry::PressStart;
        QTemporaryDir scratch;
        const QString cache = scratch.filePath(QStringLiteral("cache"));
        const QString at = cache + QStringLiteral("/dov-uruvivuz");
        const QString users = scratch.filePath(QStringLiteral("users"));
        QVERIFY(QDir().mkpath(cache) && QDir().mkpath(users));
        QCOMPARE(::chmod(QFile::encodeName(users), 0700), 0);
        if (situation == QLatin1String("link")) QVERIFY(QFile::link(users, at));
        if (situation == QLatin1String("user's")) QVERIFY(QDir().rename(users, at));
        if (situation.startsWith(QLatin1String("dangling"))) QVERIFY(QFile::link(users + "x", at));
        const QByteArray savedCache = qgetenv("XDG_CACHE_HOME");
        qputenv("XDG_CACHE_HOME", QFile::encodeName(cache));
        fakes::FakeProcess process;
        process.folder = scratch.filePath(QStringLiteral("no program folder"));
        ownership::TestFolder found;
        const QString failed = testsupport::failureOf([&] {
            found = ownership::testFileFolder(process, retry);
            if (situation == QLatin1String("replaced")) {
                QDir(at).removeRecursively();
                QDir().rename(users, at);
                found = ownership::testFileFolder(process, retry);
            }
        });
        qputenv("XDG_CACHE_HOME", savedCache);
        QCOMPARE(failed, failure.isEmpty() ? QStringLiteral("no failure") : failure.arg(at));
        QCOMPARE(found.privateFolder, own);
    }

    // The root folder is no home: nothing is made right below it.
    void rootIsNoHome() {
        const QByteArray saved = qgetenv("HOME");
        qputenv("HOME", "/");
        const QString home = ownership::userHome();
        qputenv("HOME", saved);
        QVERIFY2(home != QLatin1String("/"), qPrintable(home));
    }
};

QTEST_GUILESS_MAIN(OwnershipTest)
#include "tst_ownership.moc"
