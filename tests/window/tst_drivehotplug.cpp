// Drive1 on this machine's real mount table while the window is open (needs root to mount).

#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <memory>

#include "driveinfo/mounttablecatalogue.h"
#include "driveinfo/mounttablewatcher.h"
#include "driveinfo/systemdrives.h"
#include "measure/inlinesteprunner.h"
#include "support/scratchmounts.h"
#include "windowharness.h"

namespace {

// The real drive queries, counted so the test can tell when Drive1_Change ran.
class CountingDrives : public driveinfo::DriveService {
public:
    std::unique_ptr<driveinfo::Drive> getDrive(const QString& spec) override {
        queried.append(spec);
        return real.getDrive(spec);
    }
    driveinfo::LinuxDriveService real;
    QStringList queried;
};

constexpr int kWatchMs = 5000;

}  // namespace

class TestDriveHotplug : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void drive1FollowsMountsWhileOpen() {
        const testsupport::StartFolder start(true);
        auto first = std::make_unique<testsupport::ScratchTmpfs>(4 * 1024 * 1024);
        if (!first->isReady()) QSKIP(qPrintable(first->whyNot()));
        const QString firstRoot = first->mountPoint();

        fakes::FakeServices fake;
        auto drives = std::make_shared<CountingDrives>();
        driveinfo::MountTableCatalogue catalogue;
        driveinfo::MountTableWatcher watcher;
        if (!watcher.isWatching()) QSKIP(qPrintable(watcher.whyNotWatching()));
        measure::InlineStepRunner phases;
        window::Form1 form(windowtest::windowServices(fake, drives, catalogue, phases, &watcher));
        form.Form_Load();
        auto* drive1 = form.findChild<QComboBox*>(QStringLiteral("Drive1"));
        QVERIFY(drive1);

        const int firstIndex = drive1->findData(firstRoot);
        QVERIFY2(firstIndex >= 0, qPrintable(firstRoot));
        drive1->setCurrentIndex(firstIndex);
        QCOMPARE(drives->queried, QStringList({firstRoot}));
        QVERIFY2(fake.messages.shown.isEmpty(), qPrintable(fake.messages.shown.join('|')));
        QCOMPARE(form.findChild<QLineEdit*>(QStringLiteral("Text4"))->text(),
                 QStringLiteral("RAM DISK"));

        // Plugged in while the window is open: listed, and the selection stays.
        auto second = std::make_unique<testsupport::ScratchTmpfs>(4 * 1024 * 1024);
        QVERIFY2(second->isReady(), qPrintable(second->whyNot()));
        const QString secondRoot = second->mountPoint();
        QTRY_VERIFY_WITH_TIMEOUT(drive1->findData(secondRoot) >= 0, kWatchMs);
        QCOMPARE(drive1->currentData().toString(), firstRoot);

        // Removed again: gone from the list.
        second.reset();
        QTRY_VERIFY_WITH_TIMEOUT(drive1->findData(secondRoot) < 0, kWatchMs);
        QCOMPARE(drive1->currentData().toString(), firstRoot);

        // The selected volume is removed: it stays selected, marked, and a run against its now
        // empty mount folder fails instead of measuring the disk beneath.
        first.reset();
        QTRY_VERIFY_WITH_TIMEOUT(drive1->currentText().endsWith(window::Form1::notMountedMark()),
                                 kWatchMs);
        QCOMPARE(drive1->currentData().toString(), firstRoot);
        // Only the selected drive was looked at, again after each mount or unmount.
        QCOMPARE(drives->queried.count(firstRoot), drives->queried.size());
        for (const char* box : {"Text4", "Text5", "Text6", "Text7"})
            QCOMPARE(form.findChild<QLineEdit*>(QLatin1String(box))->text(), QString());
        form.Command1_Click();
        QCOMPARE(fake.messages.shown.size(), 1);
        QVERIFY2(fake.messages.shown.first().contains(firstRoot),
                 qPrintable(fake.messages.shown.first()));
        for (const QString& entry : fake.files.log())
            QVERIFY(!entry.startsWith(QStringLiteral("copy")));
    }

    // Another volume mounted where the selected one was: the panel shows the new one's sizes
    // without being asked, and the times shown stay. Mounted with the same options it may get
    // the old one's mount id and device number: only its figures tell it apart.
    void panelFollowsRemountAtTheSamePath_data() {
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::newRow("bigger volume") << "size=12m"
                                       << "Text6"
                                       << "4"
                                       << "12";
        QTest::newRow("same options, the old one's file gone")
            << QStringLiteral("size=%1,mode=0755").arg(4 * 1024 * 1024) << "Text7"
            << "3"
            << "4";
    }
    void panelFollowsRemountAtTheSamePath() {
        QFETCH(QString, options);
        QFETCH(QString, box);
        QFETCH(QString, before);
        QFETCH(QString, after);
        const testsupport::StartFolder start(true);
        testsupport::ScratchTmpfs drive(4 * 1024 * 1024);
        if (!drive.isReady()) QSKIP(qPrintable(drive.whyNot()));
        const QString root = drive.mountPoint();
        QFile old(root + QStringLiteral("/old.bin"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        QCOMPARE(old.write(QByteArray((4 - before.toInt()) * 1024 * 1024, 'o')),
                 qint64(4 - before.toInt()) * 1024 * 1024);
        old.close();

        fakes::FakeServices fake;
        auto drives = std::make_shared<CountingDrives>();
        driveinfo::MountTableCatalogue catalogue;
        driveinfo::MountTableWatcher watcher;
        if (!watcher.isWatching()) QSKIP(qPrintable(watcher.whyNotWatching()));
        measure::InlineStepRunner phases;
        window::Form1 form(windowtest::windowServices(fake, drives, catalogue, phases, &watcher));
        form.Form_Load();
        auto* drive1 = form.findChild<QComboBox*>(QStringLiteral("Drive1"));
        drive1->setCurrentIndex(drive1->findData(root));
        auto* figure = form.findChild<QLineEdit*>(box);
        QCOMPARE(figure->text(), before);
        measure::RunResult shown;
        shown.createSeconds = 0.5;
        form.resultChanged(shown, measure::Phase::Create);

        QVERIFY(testsupport::runTool(QStringLiteral("umount"), {root}).ok);
        const testsupport::ToolResult remount = testsupport::runTool(
            QStringLiteral("mount"),
            {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"), options,
             QStringLiteral("dov-scratch"), root});
        QVERIFY2(remount.ok, qPrintable(remount.why));

        QTRY_COMPARE_WITH_TIMEOUT(figure->text(), after, kWatchMs);
        QCOMPARE(drive1->currentData().toString(), root);
        QCOMPARE(drive1->currentText(), root);
        QCOMPARE(form.findChild<QLineEdit*>(QStringLiteral("Text1"))->text(),
                 QStringLiteral("0.5"));
        QVERIFY2(fake.messages.shown.isEmpty(), qPrintable(fake.messages.shown.join('|')));
    }
};

QTEST_MAIN(TestDriveHotplug)
#include "tst_drivehotplug.moc"
