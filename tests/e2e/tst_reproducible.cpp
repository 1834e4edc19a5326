// Two fresh builds of the same sources, in two folders of different names and at different
// times, give the same program and the same Debian package, byte for byte.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <unistd.h>

#include "support/harness.h"

using testsupport::ChildRun;
using testsupport::runChild;

namespace {

const QString sourceDir = QStringLiteral(DOV_SOURCE_DIR);
const QString cmake = QStringLiteral(DOV_CMAKE_COMMAND);
const QString cpack = QStringLiteral(DOV_CPACK_COMMAND);

// The two trees differ in the length of their paths too, so that no path can hide in padding.
const QStringList treeNames{QStringLiteral("one"), QStringLiteral("second-build-tree")};

QString textOf(const ChildRun& run) {
    return run.why + QLatin1Char('\n') +
           QString::fromLocal8Bit(run.output + run.errors).right(4000);
}

// Where two files first differ, or empty when they are the same.
QString differenceOf(const QString& left, const QString& right) {
    const QByteArray a = testsupport::readFileBytes(left);
    const QByteArray b = testsupport::readFileBytes(right);
    if (a == b) return {};
    qsizetype at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
    return QStringLiteral("%1 (%2 bytes) and %3 (%4 bytes) first differ at byte %5")
        .arg(left)
        .arg(a.size())
        .arg(right)
        .arg(b.size())
        .arg(at);
}

// git refuses a checkout another user owns (safe.directory): that is then the reason to give.
QString whyNoCheckout(const ChildRun& list) {
    const QFileInfo checkout(sourceDir);
    const QString git = QString::fromLocal8Bit(list.errors).section(QLatin1Char('\n'), 0, 0);
    if (checkout.ownerId() == geteuid()) {
        return QStringLiteral("%1 is not a git checkout (git: %2)").arg(sourceDir, git);
    }
    return QStringLiteral("git refuses the checkout %1 of %2's; run the tests as %2 (git: %3)")
        .arg(sourceDir, checkout.owner(), git);
}

}  // namespace

class ReproducibleBuildTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
#ifdef __SANITIZE_ADDRESS__
        // The builds it compares are plain ones whatever this test was built with, so the
        // plain pass covers it; a second pass would only double the minutes.
        QSKIP("built with the sanitizers; the plain build runs this test");
#endif
        const QString missing =
            testsupport::whyNotTools({QStringLiteral("git"), QStringLiteral("dpkg-shlibdeps")});
        if (!missing.isEmpty()) QSKIP(qPrintable(missing));
        // The files a checkout holds, with what the working tree has now; build folders are
        // ignored and so left out.
        const ChildRun list =
            runChild(QStringLiteral("git"),
                     {QStringLiteral("-C"), sourceDir, QStringLiteral("ls-files"),
                      QStringLiteral("-z"), QStringLiteral("--cached"), QStringLiteral("--others"),
                      QStringLiteral("--exclude-standard")});
        if (!list.ok()) QSKIP(qPrintable(whyNoCheckout(list)));
        QStringList files;
        for (const QByteArray& name : list.output.split('\0')) {
            if (!name.isEmpty()) files << QFile::decodeName(name);
        }
        QVERIFY(scratch_.isValid());

        for (const QString& tree : treeNames) {
            buildTree(tree, files);
            if (QTest::currentTestFailed()) return;
            // Apart in time as well: a date that slips into the output shows up.
            QThread::sleep(2);
        }
    }

    void artefactIsIdentical_data() {
        QTest::addColumn<QString>("artefact");  // relative to the build folder
        QTest::newRow("program") << QStringLiteral("bin/dov-uruvivuz");
        QTest::newRow("package") << packageName_;
    }
    void artefactIsIdentical() {
        QFETCH(QString, artefact);
        QVERIFY2(!artefact.isEmpty(), "cpack made no package");
        const QString first = buildDir(treeNames[0]) + QLatin1Char('/') + artefact;
        const QString second = buildDir(treeNames[1]) + QLatin1Char('/') + artefact;
        QVERIFY2(QFileInfo::exists(first), qPrintable(first + QStringLiteral(" is missing")));
        QVERIFY2(QFileInfo::exists(second), qPrintable(second + QStringLiteral(" is missing")));
        const QString difference = differenceOf(first, second);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }

private:
    QString buildDir(const QString& tree) const {
        return scratch_.filePath(tree + QStringLiteral("/build"));
    }

    // Copies the sources into <tree>/src, configures the program alone, builds it and packs it.
    void buildTree(const QString& tree, const QStringList& files) {
        const QDir source(scratch_.filePath(tree + QStringLiteral("/src")));
        for (const QString& file : files) {
            const QFileInfo original(QDir(sourceDir).filePath(file));
            if (!original.isFile()) continue;  // deleted in the working tree
            QVERIFY(source.mkpath(QFileInfo(file).path()));
            QVERIFY2(QFile::copy(original.filePath(), source.filePath(file)), qPrintable(file));
        }
        const QString build = buildDir(tree);
        // The release date dates the package unless the caller's environment sets another one;
        // both builds see the same environment, so only the build's own dates could differ.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("SOURCE_DATE_EPOCH"));
        const ChildRun configure = runChild(
            cmake,
            {QStringLiteral("-S"), source.path(), QStringLiteral("-B"), build,
             QStringLiteral("-DDOV_BUILD_TESTS=OFF"), QStringLiteral("-DDOV_BUILD_BENCH=OFF"),
             QStringLiteral("-DCMAKE_BUILD_TYPE=RelWithDebInfo")},
            300000, environment);
        QVERIFY2(configure.ok(), qPrintable(textOf(configure)));
        const ChildRun compile =
            runChild(cmake,
                     {QStringLiteral("--build"), build, QStringLiteral("--target"),
                      QStringLiteral("dov-uruvivuz"), QStringLiteral("-j"),
                      QString::number(QThread::idealThreadCount())},
                     1200000, environment);
        QVERIFY2(compile.ok(), qPrintable(textOf(compile)));
        const ChildRun pack =
            runChild(cpack,
                     {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
                      build + QStringLiteral("/CPackConfig.cmake"), QStringLiteral("-B"), build},
                     1200000, environment);
        QVERIFY2(pack.ok(), qPrintable(textOf(pack)));
        const QStringList packages = QDir(build).entryList({QStringLiteral("*.deb")}, QDir::Files);
        QCOMPARE(packages.size(), 1);
        packageName_ = packages.first();
    }

    QTemporaryDir scratch_{QDir::tempPath() + QStringLiteral("/dov-reproducible-XXXXXX")};
    QString packageName_;
};

QTEST_GUILESS_MAIN(ReproducibleBuildTest)
#include "tst_reproducible.moc"
