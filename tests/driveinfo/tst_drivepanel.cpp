// The drive panel's handlers against fake drives and a fake window.

#include <QtTest>

#include <QSemaphore>

#include "driveinfo/drivepanel.h"
#include "fakes/fakedesktop.h"
#include "fakes/fakedrives.h"
#include "platform/qtoffthread.h"

using driveinfo::DrivePanel;

class DrivePanelTest : public QObject {
    Q_OBJECT

private:
    fakes::FakeDriveView view;
    std::shared_ptr<fakes::FakeDriveService> drives;
    fakes::FakeMessageBox messages;

private Q_SLOTS:
    void init() {
        view = fakes::FakeDriveView();
        drives = std::make_shared<fakes::FakeDriveService>();
        messages = fakes::FakeMessageBox();
    }

    void startUpFillsPanelAndEmptiesTimes() {
        view.selectedRoot = QStringLiteral("/media/alex/STICK");
        drives->drives.insert(view.selectedRoot, {driveinfo::DriveType::Removable,
                                                  QStringLiteral("STICK"), 31.9e9, 7.9e9});
        DrivePanel panel(view, drives, messages);

        panel.showAtActivation();

        // ClearResults, then Drive1_Change, which clears again before it asks for the drive
        // and then fills the boxes as it reads the properties.
        QCOMPARE(view.calls, QStringList({"clear", "clear", "selected", "Text5=STICK",
                                          "Text6=31900", "Text7=7900", "Text4=Removable Disk"}));
        QVERIFY(messages.shown.isEmpty());
        QCOMPARE(drives->requested, QStringList{view.selectedRoot});
    }

    void driveTypeText_data() {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("expected");
        QTest::newRow("0 not determined") << 0 << QString();
        QTest::newRow("1 removable") << 1 << QStringLiteral("Removable Disk");
        QTest::newRow("2 fixed") << 2 << QStringLiteral("Head Disk");
        QTest::newRow("3 network") << 3 << QStringLiteral("Network Drive");
        QTest::newRow("4 disc") << 4 << QStringLiteral("CD-ROM");
        QTest::newRow("5 RAM") << 5 << QStringLiteral("RAM DISK");
        QTest::newRow("6 unknown keeps") << 6 << QStringLiteral("old type");
        QTest::newRow("-1 unknown keeps") << -1 << QStringLiteral("old type");
    }
    void driveTypeText() {
        QFETCH(int, type);
        QFETCH(QString, expected);
        view.selectedRoot = QStringLiteral("/mnt/x");
        drives->drives.insert(view.selectedRoot, {driveinfo::DriveType(type), {}, 0, 0});
        DrivePanel panel(view, drives, messages);
        panel.showSelectedDrive();
        QCOMPARE(view.text4, expected);
        QVERIFY(messages.shown.isEmpty());
    }

    void megabytes_data() {
        QTest::addColumn<double>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("nothing") << 0.0 << QStringLiteral("0");
        QTest::newRow("just under one MB") << 999999.0 << QStringLiteral("0");
        QTest::newRow("one MB") << 1000000.0 << QStringLiteral("1");
        QTest::newRow("floored, not rounded") << 1999999.0 << QStringLiteral("1");
        QTest::newRow("under eight thousand million") << 7999999999.0 << QStringLiteral("7999");
        QTest::newRow("beyond 32 bits") << 12884901888.0 << QStringLiteral("12884");
        QTest::newRow("8 TB, no exponent") << 8001563222016.0 << QStringLiteral("8001563");
        QTest::newRow("beyond 64 bits") << 3.0e19 << QStringLiteral("30000000000000");
    }
    void megabytes() {
        QFETCH(double, bytes);
        QFETCH(QString, expected);
        view.selectedRoot = QStringLiteral("/mnt/x");
        drives->drives.insert(view.selectedRoot, {driveinfo::DriveType::Fixed, {}, bytes, bytes});
        DrivePanel panel(view, drives, messages);
        panel.showSelectedDrive();
        QCOMPARE(view.text6, expected);
        QCOMPARE(view.text7, expected);
    }

    // A failure stops where it strikes: the boxes filled before it show the new drive, the rest
    // the old one, and the time boxes are empty in every case.
    void failureKeepsOldValues_data() {
        QTest::addColumn<QString>("failingStep");
        QTest::addColumn<QStringList>("expectedTexts");  // Text4 .. Text7
        const QString oldType = QStringLiteral("old type"), oldName = QStringLiteral("old name"),
                      oldTotal = QStringLiteral("111"), oldFree = QStringLiteral("222");
        QTest::newRow("not mounted")
            << QStringLiteral("getDrive") << QStringList{oldType, oldName, oldTotal, oldFree};
        QTest::newRow("volume name")
            << QStringLiteral("volumeName") << QStringList{oldType, oldName, oldTotal, oldFree};
        QTest::newRow("total size")
            << QStringLiteral("totalSize")
            << QStringList{oldType, QStringLiteral("NEW"), oldTotal, oldFree};
        QTest::newRow("free space")
            << QStringLiteral("freeSpace")
            << QStringList{oldType, QStringLiteral("NEW"), QStringLiteral("5000"), oldFree};
        QTest::newRow("drive type") << QStringLiteral("driveType")
                                    << QStringList{oldType, QStringLiteral("NEW"),
                                                   QStringLiteral("5000"), QStringLiteral("4000")};
    }
    void failureKeepsOldValues() {
        QFETCH(QString, failingStep);
        QFETCH(QStringList, expectedTexts);
        view.selectedRoot = QStringLiteral("/media/alex/NEW");
        fakes::FakeDriveData data{driveinfo::DriveType::Fixed, QStringLiteral("NEW"), 5e9, 4e9};
        const QString reason = QStringLiteral("Drive /media/alex/NEW is not ready");
        if (failingStep == QLatin1String("volumeName")) data.volumeNameFailure = reason;
        if (failingStep == QLatin1String("totalSize")) data.totalSizeFailure = reason;
        if (failingStep == QLatin1String("freeSpace")) data.freeSpaceFailure = reason;
        if (failingStep == QLatin1String("driveType")) data.driveTypeFailure = reason;
        if (failingStep != QLatin1String("getDrive"))
            drives->drives.insert(view.selectedRoot, data);
        DrivePanel panel(view, drives, messages);

        panel.showSelectedDrive();

        QCOMPARE((QStringList{view.text4, view.text5, view.text6, view.text7}), expectedTexts);
        QCOMPARE(messages.shown.size(), 1);
        QVERIFY2(messages.shown.first().contains(QStringLiteral("/media/alex/NEW")),
                 qPrintable(messages.shown.first()));
        QCOMPARE((QStringList{view.text1, view.text2, view.text3}), QStringList(3));
    }

    void notReadyAfterGoodDriveKeepsItsValues() {
        view.selectedRoot = QStringLiteral("/media/alex/STICK");
        drives->drives.insert(view.selectedRoot,
                              {driveinfo::DriveType::Removable, QStringLiteral("STICK"), 8e9, 2e9});
        DrivePanel panel(view, drives, messages);
        panel.showAtActivation();

        view.text1 = QStringLiteral("0.5");
        view.selectedRoot = QStringLiteral("/media/alex/GONE");
        panel.showSelectedDrive();

        QCOMPARE(messages.shown,
                 QStringList{"Drive /media/alex/GONE is not ready: not a mounted volume"});
        QCOMPARE((QStringList{view.text4, view.text5, view.text6, view.text7}),
                 (QStringList{"Removable Disk", "STICK", "8000", "2000"}));
        QCOMPARE(view.text1, QString());
    }

    // Off the window thread a drive that does not answer in time gets one message and is not
    // asked again while its query is stuck; the other drives keep working, and a query that
    // answers late changes nothing. The run's check of a stalled drive gives up in time, with
    // the window thread's events served meanwhile.
    void stalledDriveSaysSoAndOthersKeepWorking() {
        struct StallingService : fakes::FakeDriveService {
            std::unique_ptr<driveinfo::Drive> getDrive(const QString& mountRoot) override {
                if (mountRoot.startsWith(QLatin1String("/mnt/stuck"))) {
                    ++stuckQueries;
                    release.acquire();
                }
                return FakeDriveService::getDrive(mountRoot);
            }
            std::atomic<int> stuckQueries{0};
            QSemaphore release;
        };
        auto stalling = std::make_shared<StallingService>();
        for (const char* root : {"/mnt/stuck", "/mnt/stuck-too", "/mnt/ok"}) {
            stalling->drives.insert(QString::fromLatin1(root),
                                    {driveinfo::DriveType::Fixed, QStringLiteral("OK"), 2e9, 1e9});
        }
        platform::QtOffThread offThread;
        auto panel = std::make_unique<DrivePanel>(view, stalling, messages, offThread,
                                                  std::chrono::milliseconds(300));

        view.selectedRoot = QStringLiteral("/mnt/stuck");
        panel->showSelectedDrive();
        QTRY_COMPARE(messages.shown, QStringList{"Drive /mnt/stuck does not answer"});
        QCOMPARE(view.text5, QStringLiteral("old name"));
        QVERIFY(panel->answers().isStalled(view.selectedRoot));

        view.selectedRoot = QStringLiteral("/mnt/ok");
        panel->showSelectedDrive();
        QTRY_COMPARE(view.text6, QStringLiteral("2000"));
        QCOMPARE(view.text5, QStringLiteral("OK"));

        view.selectedRoot = QStringLiteral("/mnt/stuck");
        panel->showSelectedDrive();
        QCOMPARE(messages.shown.size(), 2);
        QCOMPARE(messages.shown.last(), QStringLiteral("Drive /mnt/stuck does not answer"));
        QCOMPARE(stalling->stuckQueries.load(), 1);
        QVERIFY_THROWS_EXCEPTION(platform::Failure,
                                 panel->answers().checkAnswers(view.selectedRoot));

        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
        ticker.start(10);
        QElapsedTimer waited;
        waited.start();
        QVERIFY_THROWS_EXCEPTION(platform::Failure,
                                 panel->answers().checkAnswers("/mnt/stuck-too"));
        QVERIFY2(waited.elapsed() >= 250, qPrintable(QString::number(waited.elapsed())));
        QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
        QVERIFY(panel->answers().isStalled(QStringLiteral("/mnt/stuck-too")));
        QCOMPARE(stalling->stuckQueries.load(), 2);

        stalling->release.release(2);
        QTRY_VERIFY(!panel->answers().isStalled(view.selectedRoot));
        QTest::qWait(50);
        QCOMPARE(view.text6, QStringLiteral("2000"));
        QCOMPARE(messages.shown.size(), 2);

        // A query given up keeps the service it calls once the panel and its owner let go.
        panel->showSelectedDrive();
        QTRY_COMPARE(stalling->stuckQueries.load(), 3);
        panel.reset();
        const std::weak_ptr<StallingService> left = stalling;
        stalling.reset();
        QVERIFY(!left.expired());
        left.lock()->release.release();
        QTRY_VERIFY(left.expired());
    }

    // An empty drive list: one message, and nothing asked.
    void nothingSelectedSaysSo() {
        view.selectedRoot.clear();
        DrivePanel panel(view, drives, messages);
        panel.showSelectedDrive();
        QCOMPARE(messages.shown, QStringList{"No drive is selected"});
        QVERIFY(drives->requested.isEmpty());
    }

    void otherErrorsAlsoGiveOneMessage() {
        view.selectedRoot = QStringLiteral("/mnt/x");
        struct ThrowingService : driveinfo::DriveService {
            std::unique_ptr<driveinfo::Drive> getDrive(const QString&) override {
                throw std::runtime_error("out of memory");
            }
        };
        DrivePanel failing(view, std::make_shared<ThrowingService>(), messages);
        failing.showSelectedDrive();
        QCOMPARE(messages.shown, QStringList{"out of memory"});
    }
};

QTEST_GUILESS_MAIN(DrivePanelTest)
#include "tst_drivepanel.moc"
