// The Debian package passes lintian, installs with dpkg, its program works from /usr, and
// removing and purging it leaves none of its files behind. Installing needs root; the machine is
// restored even on failure.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "platform/version.h"
#include "support/harness.h"
#include "support/scratchmounts.h"

using testsupport::ChildRun;
using testsupport::runChild;

namespace {

const QString packageName = QStringLiteral("dov-uruvivuz");
const QString installedProgram = QStringLiteral("/usr/bin/dov-uruvivuz");

QString textOf(const ChildRun& run) {
    return run.why + QLatin1Char('\n') + QString::fromLocal8Bit(run.output + run.errors);
}

// dpkg's state of the package: "installed", "config-files", "not-installed", ...
QString packageState() {
    const ChildRun query =
        runChild(QStringLiteral("dpkg-query"),
                 {QStringLiteral("-W"), QStringLiteral("-f=${db:Status-Status}"), packageName});
    return query.ok() ? QString::fromLocal8Bit(query.output).trimmed()
                      : QStringLiteral("not-installed");
}

ChildRun dpkg(const QStringList& arguments) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DEBIAN_FRONTEND"), QStringLiteral("noninteractive"));
    return runChild(QStringLiteral("dpkg"), arguments, 300000, environment);
}

}  // namespace

class PackageTest : public QObject {
    Q_OBJECT

public:
    ~PackageTest() override { restoreMachine(); }

private Q_SLOTS:
    // Packs what the build folder installs; needs no root.
    void initTestCase() {
        const QString missing = testsupport::whyNotTools({QStringLiteral("dpkg-shlibdeps")});
        if (!missing.isEmpty()) QSKIP(qPrintable(missing));
        QVERIFY(scratch_.isValid());
        const ChildRun pack =
            runChild(QStringLiteral(DOV_CPACK_COMMAND),
                     {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
                      QStringLiteral(DOV_BUILD_DIR "/CPackConfig.cmake"), QStringLiteral("-B"),
                      scratch_.path()},
                     900000);
        QVERIFY2(pack.ok(), qPrintable(textOf(pack)));
        const QStringList packages =
            QDir(scratch_.path()).entryList({QStringLiteral("*.deb")}, QDir::Files);
        QCOMPARE(packages.size(), 1);
        package_ = scratch_.filePath(packages.first());
    }

    // No error, and no sign of a binary built without the distribution's hardening.
    void lintianFindsNoErrors() {
        const QString missing = testsupport::whyNotTools({QStringLiteral("lintian")});
        if (!missing.isEmpty()) QSKIP(qPrintable(missing));
        // lintian's caches go with the scratch folder, not into /tmp.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), scratch_.path());
        const ChildRun lint = runChild(
            QStringLiteral("lintian"),
            {QStringLiteral("-I"), QStringLiteral("--pedantic"), package_}, 300000, environment);
        const QString output = QString::fromLocal8Bit(lint.output + lint.errors);
        // A sanitizer or unoptimized build is not fortified, and lintian rightly says so.
        const QString refused = DOV_FORTIFIED ? QStringLiteral("^E: |: hardening-")
                                              : QStringLiteral("^E: |: hardening-(?!no-fortify)");
        QVERIFY2(lint.ok() && !output.contains(
                                  QRegularExpression(refused, QRegularExpression::MultilineOption)),
                 qPrintable(textOf(lint)));
        if (!DOV_FORTIFIED) return;
        // The one hardening tag the package overrides stays true: fortified calls are there.
        const ChildRun symbols = runChild(QStringLiteral("nm"),
                                          {QStringLiteral("-D"), QStringLiteral(DOV_PROGRAM_PATH)});
        QVERIFY2(symbols.output.contains("_chk@"), qPrintable(textOf(symbols)));
    }

    // What the window needs comes with the package: its fonts, with Debian's alternatives, and
    // the cache helper's pkexec and polkitd as recommendations.
    void packageBringsWhatTheWindowNeeds() {
        const ChildRun fields = runChild(QStringLiteral("dpkg-deb"),
                                         {QStringLiteral("-f"), package_, QStringLiteral("Depends"),
                                          QStringLiteral("Recommends")});
        const QString text = QString::fromUtf8(fields.output);
        const QString depends = text.section(QLatin1Char('\n'), 0, 0);
        for (const char* relation :
             {"libqt6widgets6", "fonts-ipafont-gothic | fonts-noto-cjk | fonts-vlgothic",
              "fonts-liberation2 | fonts-liberation"}) {
            QVERIFY2(depends.startsWith(QStringLiteral("Depends: ")) &&
                         depends.contains(QLatin1String(relation)),
                     qPrintable(text));
        }
        QVERIFY2(text.contains(QStringLiteral("\nRecommends: pkexec, polkitd")), qPrintable(text));
    }

    void installsWithDpkg() {
        whyNotInstalled_ = testsupport::whyNotRoot(QStringLiteral("installing a package"));
        if (!whyNotInstalled_.isEmpty()) QSKIP(qPrintable(whyNotInstalled_));
        if (packageState() != QStringLiteral("not-installed")) {
            whyNotInstalled_ = QStringLiteral(
                "dov-uruvivuz is already installed here; the test does not replace it");
            QSKIP(qPrintable(whyNotInstalled_));
        }
        // dpkg would silently take over a file nobody owns, and remove it with the package.
        const ChildRun contents =
            runChild(QStringLiteral("dpkg-deb"), {QStringLiteral("-c"), package_});
        QVERIFY2(contents.ok(), qPrintable(textOf(contents)));
        for (const QByteArray& line : contents.output.split('\n')) {
            const qsizetype name = line.indexOf(" ./");
            if (line.startsWith('d') || name < 0) continue;
            const QString path = QString::fromLocal8Bit(line.mid(name + 2));
            if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
                whyNotInstalled_ =
                    path + QStringLiteral(" is already there; the test does not replace it");
                QSKIP(qPrintable(whyNotInstalled_));
            }
        }
        whyNotInstalled_ = QStringLiteral("dpkg -i failed");
        installAttempted_ = true;  // from here on the machine is restored, whatever happens
        const ChildRun install = dpkg({QStringLiteral("-i"), package_});
        QVERIFY2(install.ok(), qPrintable(textOf(install)));
        QCOMPARE(packageState(), QStringLiteral("installed"));

        const ChildRun list =
            runChild(QStringLiteral("dpkg-query"), {QStringLiteral("-L"), packageName});
        QVERIFY2(list.ok(), qPrintable(textOf(list)));
        for (const QByteArray& line : list.output.split('\n')) {
            const QString path = QString::fromLocal8Bit(line).trimmed();
            if (path.isEmpty() || path == QStringLiteral("/.")) continue;
            (QFileInfo(path).isDir() ? directories_ : files_) << path;
        }
        whyNotInstalled_.clear();
    }

    void cleanupTestCase() { restoreMachine(); }

    void packageInstallsFile_data() {
        QTest::addColumn<QString>("path");
        QTest::newRow("program") << installedProgram;
        QTest::newRow("cache helper")
            << QStringLiteral("/usr/libexec/dov-uruvivuz/dov-uruvivuz-drop-cache");
        QTest::newRow("manual page") << QStringLiteral("/usr/share/man/man1/dov-uruvivuz.1.gz");
        QTest::newRow("desktop entry")
            << QStringLiteral("/usr/share/applications/dov-uruvivuz.desktop");
        QTest::newRow("metainfo") << QStringLiteral(
            "/usr/share/metainfo/io.github.zelvik.DovUruvivuz.metainfo.xml");
        QTest::newRow("icon") << QStringLiteral(
            "/usr/share/icons/hicolor/48x48/apps/dov-uruvivuz.png");
        QTest::newRow("copyright") << QStringLiteral("/usr/share/doc/dov-uruvivuz/copyright");
        QTest::newRow("changelog") << QStringLiteral("/usr/share/doc/dov-uruvivuz/changelog.gz");
        QTest::newRow("installed-copy marker")
            << QStringLiteral("/usr/share/dov-uruvivuz/installed");
    }
    void packageInstallsFile() {
        QFETCH(QString, path);
        if (!whyNotInstalled_.isEmpty()) QSKIP(qPrintable(whyNotInstalled_));
        QVERIFY2(files_.contains(path), qPrintable(path + QStringLiteral(" is not in dpkg -L")));
        QVERIFY2(QFileInfo(path).isFile(), qPrintable(path + QStringLiteral(" is not installed")));
    }

    void installedProgramTellsItsVersion() {
        if (!whyNotInstalled_.isEmpty()) QSKIP(qPrintable(whyNotInstalled_));
        const ChildRun run = runChild(installedProgram, {QStringLiteral("--version")});
        QVERIFY2(run.ok(), qPrintable(textOf(run)));
        QCOMPARE(QString::fromLocal8Bit(run.output),
                 QStringLiteral("DOV Uruvivuz %1 (Ver.%2, package %3)\n")
                     .arg(QLatin1String(platform::version::kApplicationVersion),
                          QLatin1String(platform::version::kVersionCaption),
                          QLatin1String(platform::version::kFullVersion)));
    }

    // A run without a window, as a script would call it: one line of three times, and no test
    // file left on the drive or in the program folder.
    void installedProgramMeasuresADrive() {
        if (!whyNotInstalled_.isEmpty()) QSKIP(qPrintable(whyNotInstalled_));
        testsupport::ScratchTmpfs drive(32 * 1000 * 1000);
        if (!drive.isReady()) QSKIP(qPrintable(drive.whyNot()));
        QTemporaryDir cache;
        QVERIFY(cache.isValid());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), cache.path());
        const QString localTestFile = QStringLiteral("/usr/bin/TEST.TXT");
        const bool localTestFileWasThere = QFileInfo::exists(localTestFile);

        const ChildRun run = runChild(installedProgram,
                                      {QStringLiteral("--drive"), drive.mountPoint(),
                                       QStringLiteral("--size"), QStringLiteral("1")},
                                      120000, environment);
        QVERIFY2(run.ok(), qPrintable(textOf(run)));
        const QString output = QString::fromLocal8Bit(run.output);
        QVERIFY2(output.endsWith(QLatin1Char('\n')) && output.count(QLatin1Char('\n')) == 1,
                 qPrintable(QStringLiteral("not one line: \"%1\"").arg(output)));
        const QStringList times = output.trimmed().split(QLatin1Char('\t'));
        QCOMPARE(times.size(), 3);
        for (const QString& time : times) {
            bool isNumber = false;
            const double seconds = time.toDouble(&isNumber);
            QVERIFY2(isNumber && seconds >= 0,
                     qPrintable(QStringLiteral("\"%1\" is not a time in seconds").arg(time)));
        }
        QVERIFY(!QFileInfo::exists(drive.mountPoint() + QStringLiteral("/TEST.TXT")));
        if (!localTestFileWasThere) QVERIFY(!QFileInfo::exists(localTestFile));
        // Root may write to /usr/bin; the installed copy used the cache all the same.
        QVERIFY(QFileInfo(cache.filePath(QStringLiteral("dov-uruvivuz"))).isDir());
    }

    // Last: removes the package and checks that nothing of it is left.
    void removalLeavesNothing() {
        if (!whyNotInstalled_.isEmpty()) QSKIP(qPrintable(whyNotInstalled_));
        QVERIFY(!files_.isEmpty());
        const ChildRun remove = dpkg({QStringLiteral("--remove"), packageName});
        QVERIFY2(remove.ok(), qPrintable(textOf(remove)));
        const ChildRun purge = dpkg({QStringLiteral("--purge"), packageName});
        QVERIFY2(purge.ok(), qPrintable(textOf(purge)));
        QCOMPARE(packageState(), QStringLiteral("not-installed"));

        for (const QString& file : std::as_const(files_)) {
            QVERIFY2(!QFileInfo(file).exists() && !QFileInfo(file).isSymLink(),
                     qPrintable(file + QStringLiteral(" is still there")));
        }
        // A folder may stay only while it holds something or another package owns it.
        for (const QString& folder : std::as_const(directories_)) {
            if (!QFileInfo(folder).isDir() || !QDir(folder).isEmpty()) continue;
            QVERIFY2(runChild(QStringLiteral("dpkg-query"), {QStringLiteral("-S"), folder}).ok(),
                     qPrintable(folder + QStringLiteral(" is left empty and owned by no package")));
        }
    }

private:
    // Takes away whatever the test got in, however far it came.
    void restoreMachine() {
        if (installAttempted_ && packageState() != QStringLiteral("not-installed")) {
            dpkg({QStringLiteral("--purge"), packageName});
        }
        installAttempted_ = false;
    }

    QTemporaryDir scratch_{QDir::tempPath() + QStringLiteral("/dov-package-XXXXXX")};
    QString package_;  // the .deb cpack made
    QString whyNotInstalled_ = QStringLiteral("the package was not built");
    bool installAttempted_ = false;
    QStringList files_;        // what dpkg -L listed, before removal
    QStringList directories_;  // the folders among them
};

QTEST_GUILESS_MAIN(PackageTest)
#include "tst_package.moc"
