// The icon, the Windows resources and the desktop files are valid and reach where they belong:
// into the program's resources, through the platform's own validators and into an install.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include "support/harness.h"
#include "xsession.h"

using testsupport::readFileBytes;
using testsupport::runChild;

namespace {

const QString dataDir = QStringLiteral(DOV_DATA_DIR);
// The files that carry the version are generated from their templates into the build folder.
const QString generatedDataDir = QStringLiteral(DOV_BUILD_DIR "/data");

// Output and errors of a finished run together, for a failure message.
QString textOf(const testsupport::ChildRun& run) {
    return run.why + QLatin1Char('\n') + QString::fromLocal8Bit(run.output + run.errors);
}

// Empty when the tool is there; otherwise the reason to skip.
QString whyMissing(const QString& tool, const QString& package) {
    if (!testsupport::findTool(tool).isEmpty()) return {};
    return QStringLiteral("%1 is not installed (Debian package %2)").arg(tool, package);
}

// Lines of a desktop entry's main group as key -> value.
QMap<QString, QString> desktopEntryKeys(const QString& path) {
    QMap<QString, QString> keys;
    bool inMainGroup = false;
    for (const QString& line : QString::fromUtf8(readFileBytes(path)).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QStringLiteral("[Desktop Entry]");
        } else if (inMainGroup && line.contains(QLatin1Char('='))) {
            keys.insert(line.section(QLatin1Char('='), 0, 0), line.section(QLatin1Char('='), 1));
        }
    }
    return keys;
}

// Empty when a private accessibility bus can be run and read; otherwise the reason to skip.
QString whyNoAccessibilityBus(const QString& python) {
    QString why = testsupport::whyNotTools({QStringLiteral("dbus-run-session")});
    if (why.isEmpty() && !QFile::exists(QStringLiteral("/usr/libexec/at-spi-bus-launcher")))
        why = QStringLiteral("at-spi-bus-launcher is not installed (Debian package at-spi2-core)");
    if (why.isEmpty() &&
        !runChild(python, {QStringLiteral("-c"), QStringLiteral("import pyatspi")}).ok())
        why = QStringLiteral("pyatspi is not installed (Debian package python3-pyatspi)");
    return why;
}

}  // namespace

class DesktopIntegrationTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void windowIconIsCompiledIn_data() {
        QTest::addColumn<int>("size");
        QTest::newRow("16 px") << 16;
        QTest::newRow("32 px") << 32;
        QTest::newRow("48 px") << 48;
    }
    void windowIconIsCompiledIn() {
        QFETCH(int, size);
        const QString path = QStringLiteral(":/icons/dov-uruvivuz-%1.png").arg(size);
        QVERIFY2(QFile::exists(path),
                 qPrintable(path + QStringLiteral(" is not in the resources")));
        const QImage image(path);
        QVERIFY2(!image.isNull(), qPrintable(path + QStringLiteral(" is not a readable image")));
        QCOMPARE(image.size(), QSize(size, size));
        QVERIFY(image.hasAlphaChannel());
        // Each resource holds the rendering of its own size, the same as the installed icon.
        QCOMPARE(image, QImage(dataDir + QStringLiteral("/icons/dov-uruvivuz-%1.png").arg(size)));
    }

    // Every size twice: 256 colours with a palette, and 32-bit colour with alpha.
    void windowsIconHoldsEverySizeInBothDepths() {
        const QByteArray ico = readFileBytes(dataDir + QStringLiteral("/windows/dov-uruvivuz.ico"));
        QVERIFY(ico.size() >= 6);
        const auto* bytes = reinterpret_cast<const uchar*>(ico.constData());
        QCOMPARE(qFromLittleEndian<quint16>(bytes + 2), quint16(1));  // icon, not cursor
        const int count = qFromLittleEndian<quint16>(bytes + 4);
        QVERIFY(ico.size() >= 6 + 16 * count);

        QSet<QPair<int, int>> found;  // (pixels, bits per pixel of the stored bitmap)
        for (int i = 0; i < count; ++i) {
            const uchar* entry = bytes + 6 + 16 * i;
            const int width = entry[0] == 0 ? 256 : entry[0];
            const int height = entry[1] == 0 ? 256 : entry[1];
            QCOMPARE(width, height);
            const quint32 length = qFromLittleEndian<quint32>(entry + 8);
            const quint32 offset = qFromLittleEndian<quint32>(entry + 12);
            QVERIFY(offset + length <= quint32(ico.size()));
            // Classic entries are a BITMAPINFOHEADER; the bit count there is what Windows uses.
            QVERIFY2(qFromLittleEndian<quint32>(bytes + offset) == 40,
                     "entry is not a classic bitmap (old Windows cannot read PNG entries)");
            const int bitCount = qFromLittleEndian<quint16>(bytes + offset + 14);
            QVERIFY2(!found.contains({width, bitCount}), "duplicate entry");
            found.insert({width, bitCount});
        }
        const QSet<QPair<int, int>> expected{{16, 8},  {32, 8},  {48, 8},
                                             {16, 32}, {32, 32}, {48, 32}};
        QCOMPARE(found, expected);
    }

    void windowsResourceCompiles_data() {
        QTest::addColumn<QString>("expected");
        QTest::newRow("numeric file version") << QStringLiteral("FILEVERSION 1, 1, 0, 0");
        QTest::newRow("numeric product version") << QStringLiteral("PRODUCTVERSION 1, 1, 0, 0");
        QTest::newRow("Japanese Unicode block") << QStringLiteral("BLOCK \"041104B0\"");
        QTest::newRow("ProductName") << QStringLiteral("VALUE \"ProductName\", \"DOV Uruvivuz\"");
        QTest::newRow("InternalName") << QStringLiteral("VALUE \"InternalName\", \"DOV Uruvivuz\"");
        QTest::newRow("OriginalFilename")
            << QStringLiteral("VALUE \"OriginalFilename\", \"DOV Uruvivuz.exe\"");
        QTest::newRow("FileVersion") << QStringLiteral("VALUE \"FileVersion\", \"1.01\"");
        QTest::newRow("ProductVersion") << QStringLiteral("VALUE \"ProductVersion\", \"1.01\"");
        QTest::newRow("translation") << QStringLiteral("VALUE \"Translation\", 0x411, 1200");
        QTest::newRow("icon group of six images") << QStringLiteral("Has 6 elements");
    }
    // Compiled as the Windows build would, then read back, so what is checked is what the
    // compiler understood and not merely what the script says.
    void windowsResourceCompiles() {
        QFETCH(QString, expected);
        const QString windres = QStringLiteral("i686-w64-mingw32-windres");
        const QString whyNot = whyMissing(windres, QStringLiteral("binutils-mingw-w64-i686"));
        if (!whyNot.isEmpty()) QSKIP(qPrintable(whyNot));
        if (compiledResource_.isEmpty()) {
            QTemporaryDir scratch;
            QVERIFY(scratch.isValid());
            // The cross compiler may be missing; the host preprocessor reads the script as well.
            const QStringList script{QStringLiteral("--preprocessor=cpp"),
                                     QStringLiteral("--preprocessor-arg=-DRC_INVOKED"),
                                     generatedDataDir + QStringLiteral("/windows/dov-uruvivuz.rc")};
            // COFF is what the Windows build links; the .res form is read back below.
            for (const QString& format : {QStringLiteral("coff"), QStringLiteral("res")}) {
                const QString compiled = scratch.filePath(QStringLiteral("rc.") + format);
                const auto run =
                    runChild(windres, script + QStringList{QStringLiteral("-O"), format,
                                                           QStringLiteral("-o"), compiled});
                QVERIFY2(run.ok(), qPrintable(textOf(run)));
                QVERIFY(QFileInfo(compiled).size() > 0);
            }
            const auto readBack =
                runChild(windres, {QStringLiteral("-i"), scratch.filePath("rc.res"),
                                   QStringLiteral("-O"), QStringLiteral("rc")});
            QVERIFY2(readBack.ok(), qPrintable(textOf(readBack)));
            compiledResource_ = QString::fromLocal8Bit(readBack.output);
        }
        QVERIFY2(
            compiledResource_.contains(expected),
            qPrintable(QStringLiteral("\"%1\" is not in the compiled resources").arg(expected)));
    }

    void validatorAcceptsDataFile_data() {
        QTest::addColumn<QString>("validator");
        QTest::addColumn<QString>("package");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("forbidden");  // a fault when the output matches
        // Hints count too: an entry that shows twice in the menu is a fault as well.
        QTest::newRow("desktop entry")
            << "desktop-file-validate"
            << "desktop-file-utils"
            << QStringList{dataDir + QStringLiteral("/dov-uruvivuz.desktop")} << "\\S";
        QTest::newRow("metainfo")
            << "appstreamcli"
            << "appstream"
            << QStringList{QStringLiteral("validate"), QStringLiteral("--no-net"),
                           generatedDataDir +
                               QStringLiteral("/io.github.zelvik.DovUruvivuz.metainfo.xml")}
            << "^[EW]: ";
        QTest::newRow("manual page")
            << "groff"
            << "groff-base"
            << QStringList{QStringLiteral("-man"), QStringLiteral("-ww"), QStringLiteral("-z"),
                           generatedDataDir + QStringLiteral("/dov-uruvivuz.1")}
            << "\\S";
        QTest::newRow("polkit action")
            << "xmllint"
            << "libxml2-utils"
            << QStringList{QStringLiteral("--noout"),
                           QStringLiteral(DOV_BUILD_DIR
                                          "/data/polkit/io.github.zelvik.DovUruvivuz.policy")}
            << "\\S";
    }
    void validatorAcceptsDataFile() {
        QFETCH(QString, validator);
        QFETCH(QString, package);
        QFETCH(QStringList, arguments);
        QFETCH(QString, forbidden);
        if (testsupport::findTool(validator).isEmpty()) {
            QSKIP(qPrintable(
                QStringLiteral("%1 is not installed (Debian package %2)").arg(validator, package)));
        }
        const auto result = runChild(validator, arguments);
        const QString output = QString::fromLocal8Bit(result.output + result.errors);
        QVERIFY2(result.ok(), qPrintable(textOf(result)));
        QVERIFY2(
            !output.contains(QRegularExpression(forbidden, QRegularExpression::MultilineOption)),
            qPrintable(output));
    }

    // An install holds everything a desktop needs, and the names inside the files point at
    // what was installed next to them.
    void installPutsEverythingInPlace() {
        QTemporaryDir prefix;
        QVERIFY(prefix.isValid());
        const auto install = runChild(QStringLiteral(DOV_CMAKE_COMMAND),
                                      {QStringLiteral("--install"), QStringLiteral(DOV_BUILD_DIR),
                                       QStringLiteral("--prefix"), prefix.path()},
                                      120000);
        QVERIFY2(install.ok(), qPrintable(textOf(install)));

        const QDir root(prefix.path());
        const QStringList expectedFiles{
            QStringLiteral("bin/dov-uruvivuz"),
            QStringLiteral("share/applications/dov-uruvivuz.desktop"),
            QStringLiteral("share/metainfo/io.github.zelvik.DovUruvivuz.metainfo.xml"),
            QStringLiteral("share/icons/hicolor/scalable/apps/dov-uruvivuz.svg"),
            QStringLiteral("share/man/man1/dov-uruvivuz.1.gz"),
            QStringLiteral("libexec/dov-uruvivuz/dov-uruvivuz-drop-cache"),
            QStringLiteral("share/polkit-1/actions/io.github.zelvik.DovUruvivuz.policy"),
        };
        for (const QString& file : expectedFiles) {
            QVERIFY2(root.exists(file), qPrintable(file + QStringLiteral(" was not installed")));
        }
        for (const int size : {16, 32, 48}) {  // installed, and each of its own size
            const QString icon = root.filePath(
                QStringLiteral("share/icons/hicolor/%1x%1/apps/dov-uruvivuz.png").arg(size));
            QCOMPARE(QImage(icon).size(), QSize(size, size));
        }

        const auto entry = desktopEntryKeys(
            root.filePath(QStringLiteral("share/applications/dov-uruvivuz.desktop")));
        QVERIFY2(root.exists(QStringLiteral("bin/") + entry.value(QStringLiteral("Exec"))),
                 "Exec does not name the installed program");
        QVERIFY2(root.exists(QStringLiteral("share/icons/hicolor/48x48/apps/") +
                             entry.value(QStringLiteral("Icon")) + QStringLiteral(".png")),
                 "Icon does not name the installed icon");

        const QString text = QString::fromUtf8(readFileBytes(root.filePath(
            QStringLiteral("share/metainfo/io.github.zelvik.DovUruvivuz.metainfo.xml"))));
        QVERIFY2(text.contains(QStringLiteral(
                     "<launchable type=\"desktop-id\">dov-uruvivuz.desktop</launchable>")),
                 "the metainfo does not launch the installed desktop entry");
        QVERIFY2(text.contains(QStringLiteral("<release version=\"1.01\"")),
                 "release 1.01 missing");
    }

    // What a screen reader hears: the real window on its own X server and session bus, its
    // tree read through AT-SPI. Each box and list is named after the caption beside it.
    void screenReaderNamesBoxesAfterCaptions() {
        const QString python = QStringLiteral("/usr/bin/python3");  // where pyatspi is
        const QString whyNot = whyNoAccessibilityBus(python);
        if (!whyNot.isEmpty()) QSKIP(qPrintable(whyNot));
        const e2e::Session session;
        if (!session.whyNot.isEmpty()) QSKIP(qPrintable(session.whyNot));
        const testsupport::StartFolder start(true);  // the window starts there
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), session.display);
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), session.runtime.path());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        const auto run = runChild(
            QStringLiteral("dbus-run-session"),
            {QStringLiteral("--"), python, QStringLiteral(DOV_ATSPI_SCRIPT), session.program},
            90000, environment);
        QVERIFY2(run.ok(), qPrintable(textOf(run)));

        // One "role<TAB>name" a line, for every object of the window.
        const QStringList seen = QString::fromUtf8(run.output).split(QLatin1Char('\n'));
        for (const char16_t* expected :
             {u"text\tTYPE  ：", u"text\tTOTAL ：", u"text\tNAME ：", u"text\tFREE   ：",
              u"text\tDATA CREATE   ( CPU TIME )", u"text\tWRITE TIME (PC => USB )",
              u"text\tREAD TIME (PC <= USB )", u"combo box\tDRIVE SELECT",
              u"combo box\tDATA SIZE"}) {
            QVERIFY2(seen.contains(QString::fromUtf16(expected)),
                     qPrintable(QString::fromUtf16(expected) + QStringLiteral(" not in:\n") +
                                textOf(run)));
        }
    }

private:
    QString compiledResource_;
};

QTEST_MAIN(DesktopIntegrationTest)
#include "tst_desktop_integration.moc"
