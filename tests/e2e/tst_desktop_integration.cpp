// The icon, the Windows resources and the desktop files are valid and reach where they belong:
// into the program's resources, through the platform's own validators and into an install.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

namespace {

const QString dataDir = QStringLiteral(DOV_DATA_DIR);

struct Run {
    bool started = false;
    int exitCode = -1;
    QString output;  // stdout and stderr together
};

Run run(const QString& program, const QStringList& arguments, int timeoutMs = 60000) {
    Run result;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMs)) return result;
    result.started = true;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.output = QStringLiteral("(timed out)");
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.output = QString::fromLocal8Bit(process.readAll());
    return result;
}

QString toolOrSkipReason(const QString& tool, const QString& package, QString* reason) {
    const QString path = QStandardPaths::findExecutable(tool);
    if (path.isEmpty())
        *reason = QStringLiteral("%1 is not installed (Debian package %2)").arg(tool, package);
    return path;
}

// Lines of a desktop entry's main group as key -> value.
QMap<QString, QString> desktopEntryKeys(const QString& path) {
    QMap<QString, QString> keys;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return keys;
    bool inMainGroup = false;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QStringLiteral("[Desktop Entry]");
        } else if (inMainGroup && line.contains(QLatin1Char('='))) {
            keys.insert(line.section(QLatin1Char('='), 0, 0), line.section(QLatin1Char('='), 1));
        }
    }
    return keys;
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
        QFile file(dataDir + QStringLiteral("/windows/dov-uruvivuz.ico"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray ico = file.readAll();
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
        QString whyNot;
        const QString windres =
            toolOrSkipReason(QStringLiteral("i686-w64-mingw32-windres"),
                             QStringLiteral("binutils-mingw-w64-i686"), &whyNot);
        if (windres.isEmpty()) QSKIP(qPrintable(whyNot));
        if (compiledResource_.isEmpty()) {
            QTemporaryDir scratch;
            QVERIFY(scratch.isValid());
            // The cross compiler may be missing; the host preprocessor reads the script as well.
            const QStringList preprocess{QStringLiteral("--preprocessor=cpp"),
                                         QStringLiteral("--preprocessor-arg=-DRC_INVOKED")};
            const QString script = dataDir + QStringLiteral("/windows/dov-uruvivuz.rc");
            const Run object =
                run(windres,
                    preprocess + QStringList{script, QStringLiteral("-O"), QStringLiteral("coff"),
                                             QStringLiteral("-o"), scratch.filePath("rc.o")});
            QVERIFY2(object.exitCode == 0, qPrintable(object.output));
            QVERIFY(QFileInfo(scratch.filePath("rc.o")).size() > 0);
            const Run res =
                run(windres,
                    preprocess + QStringList{script, QStringLiteral("-O"), QStringLiteral("res"),
                                             QStringLiteral("-o"), scratch.filePath("rc.res")});
            QVERIFY2(res.exitCode == 0, qPrintable(res.output));
            const Run readBack = run(windres, {QStringLiteral("-i"), scratch.filePath("rc.res"),
                                               QStringLiteral("-O"), QStringLiteral("rc")});
            QVERIFY2(readBack.exitCode == 0, qPrintable(readBack.output));
            compiledResource_ = readBack.output;
        }
        QVERIFY2(
            compiledResource_.contains(expected),
            qPrintable(QStringLiteral("\"%1\" is not in the compiled resources").arg(expected)));
    }

    void desktopEntryIsValid() {
        QString whyNot;
        const QString validator = toolOrSkipReason(QStringLiteral("desktop-file-validate"),
                                                   QStringLiteral("desktop-file-utils"), &whyNot);
        if (validator.isEmpty()) QSKIP(qPrintable(whyNot));
        const Run result = run(validator, {dataDir + QStringLiteral("/dov-uruvivuz.desktop")});
        QVERIFY2(result.started, "desktop-file-validate did not start");
        // Hints count too: an entry that shows twice in the menu is a fault as well.
        QVERIFY2(result.exitCode == 0 && result.output.trimmed().isEmpty(),
                 qPrintable(result.output));
    }

    void metainfoIsValid() {
        QString whyNot;
        const QString validator =
            toolOrSkipReason(QStringLiteral("appstreamcli"), QStringLiteral("appstream"), &whyNot);
        if (validator.isEmpty()) QSKIP(qPrintable(whyNot));
        const Run result = run(
            validator, {QStringLiteral("validate"), QStringLiteral("--no-net"),
                        dataDir + QStringLiteral("/io.github.zelvik.DovUruvivuz.metainfo.xml")});
        QVERIFY2(result.started, "appstreamcli did not start");
        QVERIFY2(result.exitCode == 0, qPrintable(result.output));
        QVERIFY2(!result.output.contains(QRegularExpression(QStringLiteral("^[EW]: "),
                                                            QRegularExpression::MultilineOption)),
                 qPrintable(result.output));
    }

    // An install holds everything a desktop needs, and the names inside the files point at
    // what was installed next to them.
    void installPutsEverythingInPlace() {
        QTemporaryDir prefix;
        QVERIFY(prefix.isValid());
        const Run install = run(QStringLiteral(DOV_CMAKE_COMMAND),
                                {QStringLiteral("--install"), QStringLiteral(DOV_BUILD_DIR),
                                 QStringLiteral("--prefix"), prefix.path()},
                                120000);
        QVERIFY2(install.exitCode == 0, qPrintable(install.output));

        const QDir root(prefix.path());
        const QStringList expectedFiles{
            QStringLiteral("bin/dov-uruvivuz"),
            QStringLiteral("share/applications/dov-uruvivuz.desktop"),
            QStringLiteral("share/metainfo/io.github.zelvik.DovUruvivuz.metainfo.xml"),
            QStringLiteral("share/icons/hicolor/16x16/apps/dov-uruvivuz.png"),
            QStringLiteral("share/icons/hicolor/32x32/apps/dov-uruvivuz.png"),
            QStringLiteral("share/icons/hicolor/48x48/apps/dov-uruvivuz.png"),
            QStringLiteral("share/icons/hicolor/scalable/apps/dov-uruvivuz.svg"),
        };
        for (const QString& file : expectedFiles) {
            QVERIFY2(root.exists(file), qPrintable(file + QStringLiteral(" was not installed")));
        }
        for (const int size : {16, 32, 48}) {
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

        QFile metainfo(root.filePath(
            QStringLiteral("share/metainfo/io.github.zelvik.DovUruvivuz.metainfo.xml")));
        QVERIFY(metainfo.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(metainfo.readAll());
        QVERIFY2(text.contains(QStringLiteral(
                     "<launchable type=\"desktop-id\">dov-uruvivuz.desktop</launchable>")),
                 "the metainfo does not launch the installed desktop entry");
        QVERIFY2(text.contains(QStringLiteral("<release version=\"1.01\"")),
                 "release 1.01 missing");
    }

private:
    QString compiledResource_;
};

QTEST_MAIN(DesktopIntegrationTest)
#include "tst_desktop_integration.moc"
