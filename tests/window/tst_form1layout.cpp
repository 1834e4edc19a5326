// The window's fixed layout: every control's geometry, caption, font, tool-tip and tab order.

#include <QAccessible>
#include <QFile>
#include <QHash>
#include <QLabel>
#include <QTest>

#include "windowharness.h"

using windowtest::Harness;

namespace {

const QString kGothic = QStringLiteral(u"ＭＳ Ｐゴシック");
const QString kArial = QStringLiteral("Arial");

// The controls that have a tool-tip; every other control has none.
const QHash<QString, QString> kToolTips = {
    {QStringLiteral("Command1"),
     QStringLiteral(u" 開始します。時間は自動的にクリップボードにコピーされますのでエクセルにそのま"
                    u"ま貼り付けれます。")},
    {QStringLiteral("Command2"), QStringLiteral(u" 終了します。")},
    {QStringLiteral("Drive1"),
     QStringLiteral(u" USBメモリー又は測定したいデバイスを選択してください。")},
    {QStringLiteral("Combo1"),
     QStringLiteral(u" 転送するファイルサイズを選択または入力してください。")},
    {QStringLiteral("Text1"), QStringLiteral(u" データ作成時間でCPUの早さの目安になります。")},
    {QStringLiteral("Text2"), QStringLiteral(u" 選択したドライブへの書込にかかった時間です。")},
    {QStringLiteral("Text3"),
     QStringLiteral(u" このソフトが有るドライブへの書込にかかった時間です。")},
};

QString captionOf(const QWidget* widget) {
    if (const auto* label = qobject_cast<const QLabel*>(widget)) return label->text();
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) return button->text();
    if (const auto* box = qobject_cast<const QLineEdit*>(widget)) return box->text();
    return QString();
}

}  // namespace

class TestForm1Layout : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void controls_data() {
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QRect>("twips");
        QTest::addColumn<QString>("family");
        QTest::addColumn<double>("points");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<QString>("spokenName");  // what a screen reader says; empty: the caption

        // The labels without a font of their own use the window's font, a Japanese Gothic at 9 pt.
        auto row = [](const char* name, const char* cls, const QString& caption, QRect twips,
                      const QString& family, double points, bool bold = false,
                      const QString& spokenName = {}) {
            QTest::newRow(name) << QString::fromLatin1(cls) << caption << twips << family << points
                                << bold << (spokenName.isEmpty() ? caption : spokenName);
        };
        row("Label14", "QLabel", QStringLiteral(u"TYPE  ："), {840, 120, 735, 255}, kGothic, 9.0);
        row("Text4", "QLineEdit", {}, {1560, 120, 1575, 285}, kGothic, 9.75, false,
            QStringLiteral(u"TYPE  ："));
        row("Label10", "QLabel", QStringLiteral(u"TOTAL ："), {3135, 120, 855, 375}, kGothic, 9.0);
        row("Text6", "QLineEdit", {}, {3840, 120, 735, 195}, kGothic, 9.75, false,
            QStringLiteral(u"TOTAL ："));
        row("Label12", "QLabel", QStringLiteral("MB"), {4725, 120, 375, 255}, kGothic, 9.0);
        row("Label15", "QLabel", QStringLiteral(u"NAME ："), {840, 360, 735, 255}, kGothic, 9.0);
        row("Text5", "QLineEdit", {}, {1560, 330, 1575, 285}, kGothic, 9.75, false,
            QStringLiteral(u"NAME ："));
        row("Label11", "QLabel", QStringLiteral(u"FREE   ："), {3135, 360, 855, 255}, kGothic, 9.0);
        row("Text7", "QLineEdit", {}, {3840, 360, 735, 195}, kGothic, 9.75, false,
            QStringLiteral(u"FREE   ："));
        row("Label13", "QLabel", QStringLiteral("MB"), {4725, 360, 375, 255}, kGothic, 9.0);
        row("Label4", "QLabel", QStringLiteral("DRIVE SELECT"), {360, 720, 975, 375}, kGothic, 9.0);
        row("Drive1", "QComboBox", {}, {1560, 720, 3495, 360}, kGothic, 12.0, false,
            QStringLiteral("DRIVE SELECT"));
        row("Combo1", "QComboBox", {}, {1560, 1200, 1095, 450}, kArial, 14.25, false,
            QStringLiteral("DATA SIZE"));
        row("Label5", "QLabel", QStringLiteral("DATA SIZE"), {360, 1320, 975, 255}, kGothic, 9.0);
        row("Label6", "QLabel", QStringLiteral("MB"), {2760, 1320, 375, 255}, kGothic, 9.0);
        row("Command1", "QPushButton", QStringLiteral("START"), {3480, 1680, 1575, 735}, kGothic,
            12.0, true);
        row("Label3", "QLabel", QStringLiteral("DATA CREATE   ( CPU TIME )"),
            {240, 1800, 1215, 375}, kGothic, 9.0);
        row("Text1", "QLineEdit", {}, {1560, 1800, 1095, 375}, kArial, 14.25, false,
            QStringLiteral("DATA CREATE   ( CPU TIME )"));
        row("Label7", "QLabel", QStringLiteral("sec"), {2760, 1920, 375, 255}, kGothic, 12.0);
        row("Label1", "QLabel", QStringLiteral("WRITE TIME (PC => USB )"), {360, 2400, 1095, 375},
            kGothic, 9.0);
        row("Text2", "QLineEdit", {}, {1560, 2400, 1095, 375}, kArial, 14.25, false,
            QStringLiteral("WRITE TIME (PC => USB )"));
        row("Label8", "QLabel", QStringLiteral("sec"), {2760, 2520, 375, 255}, kGothic, 12.0);
        row("Command2", "QPushButton", QStringLiteral("QUIT"), {3480, 2640, 1575, 735}, kGothic,
            12.0, true);
        row("Label2", "QLabel", QStringLiteral("READ TIME (PC <= USB )"), {360, 3000, 1095, 375},
            kGothic, 9.0);
        row("Text3", "QLineEdit", {}, {1560, 3000, 1095, 375}, kArial, 14.25, false,
            QStringLiteral("READ TIME (PC <= USB )"));
        row("Label9", "QLabel", QStringLiteral("sec"), {2760, 3120, 375, 255}, kGothic, 12.0);
    }

    void controls() {
        QFETCH(QString, className);
        QFETCH(QString, caption);
        QFETCH(QRect, twips);
        QFETCH(QString, family);
        QFETCH(double, points);
        QFETCH(bool, bold);
        QFETCH(QString, spokenName);

        Harness harness;
        const QString name = QString::fromLatin1(QTest::currentDataTag());
        const QWidget* widget = harness.form->findChild<QWidget*>(name);
        QVERIFY2(widget, qPrintable(name));
        QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
        QCOMPARE(widget->parentWidget(), harness.form.get());
        QCOMPARE(widget->geometry(),
                 QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));
        if (className != QLatin1String("QComboBox")) QCOMPARE(captionOf(widget), caption);
        QCOMPARE(widget->toolTip(), kToolTips.value(name));
        QAccessibleInterface* accessible =
            QAccessible::queryAccessibleInterface(const_cast<QWidget*>(widget));
        QVERIFY(accessible);
        QCOMPARE(accessible->text(QAccessible::Name), spokenName);
        QCOMPARE(accessible->text(QAccessible::Description), kToolTips.value(name));

        const QFont font = widget->font();
        QVERIFY(!font.families().isEmpty());
        QCOMPARE(font.families().first(), family);
        QCOMPARE(font.pointSizeF(), points);
        QCOMPARE(font.bold(), bold);
        QVERIFY(!font.italic());
        // The Japanese face name has stand-ins that exist on Debian.
        if (family == kGothic) QVERIFY(font.families().contains(QStringLiteral("IPAPGothic")));
        if (family == kArial) QVERIFY(font.families().contains(QStringLiteral("Liberation Sans")));
    }

    void everyControlIsInTheTable() {
        Harness harness;
        QStringList names;
        for (const QWidget* child :
             harness.form->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            names.append(child->objectName());
        names.sort();
        QStringList expected;
        for (int i = 1; i <= 15; ++i) expected.append(QStringLiteral("Label%1").arg(i));
        for (int i = 1; i <= 7; ++i) expected.append(QStringLiteral("Text%1").arg(i));
        expected << QStringLiteral("Combo1") << QStringLiteral("Drive1")
                 << QStringLiteral("Command1") << QStringLiteral("Command2");
        expected.sort();
        QCOMPARE(names, expected);
    }

    void tabOrderFollowsTheDesign() {
        Harness harness;
        QVERIFY(harness.loadAndActivate());
        QCOMPARE(QApplication::focusWidget(), harness.command1());

        // Ascending tab index over the controls that take focus; it wraps back to START.
        const QStringList expected = {"Command2", "Drive1", "Combo1", "Text1", "Text2",   "Text3",
                                      "Text4",    "Text5",  "Text6",  "Text7", "Command1"};
        QStringList visited;
        for (qsizetype i = 0; i < expected.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* focus = QApplication::focusWidget();
            visited.append(focus ? focus->objectName() : QStringLiteral("<none>"));
        }
        QCOMPARE(visited, expected);

        QStringList backwards;
        for (int i = 0; i < 3; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
            backwards.append(QApplication::focusWidget()->objectName());
        }
        QCOMPARE(backwards, QStringList({"Text7", "Text6", "Text5"}));
    }

    void clientAreaIsFixed() {
        Harness harness;
        window::Form1& form = *harness.form;
        QCOMPARE(form.windowTitle(), QStringLiteral("DOV Uruvivuz Ver.1.1   by Zelvik"));
        QCOMPARE(form.size(), QSize(350, 242));
        QCOMPARE(form.minimumSize(), QSize(350, 242));
        QCOMPARE(form.maximumSize(), QSize(350, 242));
        form.resize(500, 400);
        QCOMPARE(form.size(), QSize(350, 242));

        const Qt::WindowFlags flags = form.windowFlags();
        QVERIFY(form.isWindow());
        QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowStaysOnTopHint));

        // The program's icon in its three sizes, where the build carries it.
        if (QFile::exists(QStringLiteral(":/icons/dov-uruvivuz-48.png"))) {
            const QList<QSize> sizes = form.windowIcon().availableSizes();
            for (int pixels : {16, 32, 48}) QVERIFY(sizes.contains(QSize(pixels, pixels)));
        }

        form.Form_Load();
        QVERIFY(form.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.size(), QSize(350, 242));
        // Opens centred on the screen.
        const QRect screen = form.screen()->availableGeometry();
        QVERIFY2(qAbs(form.frameGeometry().center().x() - screen.center().x()) <= 8,
                 qPrintable(QStringLiteral("frame %1,%2 screen centre %3")
                                .arg(form.frameGeometry().x())
                                .arg(form.frameGeometry().y())
                                .arg(screen.center().x())));
        QVERIFY(qAbs(form.frameGeometry().center().y() - screen.center().y()) <= 16);

        // Form_Load on a window already shown keeps it shown.
        Harness shownFirst;
        shownFirst.form->show();
        shownFirst.form->Form_Load();
        QVERIFY(shownFirst.form->isVisible());
        QVERIFY(shownFirst.form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    }

    // Every box is read-only; the drive panel's boxes have the menu colour, the times the usual
    // one. Only the size list takes typing.
    void boxes() {
        Harness harness;
        const QColor menu = QApplication::palette("QMenu").color(QPalette::Window);
        const QColor base = QApplication::palette(harness.text(1)).color(QPalette::Base);
        for (int box = 1; box <= 7; ++box) {
            QVERIFY(harness.text(box)->isReadOnly());
            QCOMPARE(harness.text(box)->palette().color(QPalette::Base), box <= 3 ? base : menu);
        }
        QVERIFY(!harness.drive1()->isEditable());
        QVERIFY(harness.combo1()->isEditable());
    }
};

QTEST_MAIN(TestForm1Layout)
#include "tst_form1layout.moc"
