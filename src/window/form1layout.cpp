// Form1's controls, placed as the window was designed.

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <utility>

#include "window/form1.h"
#include "window/namedcombobox.h"
#include "window/windowfonts.h"

namespace window {

namespace {

// The layout is kept in twips, the unit it was designed in; 15 twips make one pixel.
constexpr int kTwipsPerPixel = 15;
constexpr int kClientWidthTwips = 5250;
constexpr int kClientHeightTwips = 3630;

QRect fromTwips(int left, int top, int width, int height) {
    return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
            height / kTwipsPerPixel};
}

template <typename Control>
Control* addControl(QWidget* form, const char* name, QRect geometry) {
    auto* control = new Control(form);
    control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(geometry);
    return control;
}

QLabel* addLabel(QWidget* form, const char* name, const QString& caption, QRect geometry) {
    auto* label = addControl<QLabel>(form, name, geometry);
    label->setText(caption);
    // Captions wrap inside their fixed boxes, starting at the top left.
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(true);
    return label;
}

QLineEdit* addTextBox(QWidget* form, const char* name, QRect geometry) {
    auto* box = addControl<QLineEdit>(form, name, geometry);
    // Only the program writes these boxes.
    box->setReadOnly(true);
    return box;
}

QPushButton* addButton(QWidget* form, const char* name, const QString& caption, QRect geometry) {
    auto* button = addControl<QPushButton>(form, name, geometry);
    button->setText(caption);
    button->setFont(gothicFont(12.0, true));
    // Enter on a focused button clicks it, as Space does.
    button->setAutoDefault(true);
    return button;
}

}  // namespace

void Form1::createDrivePanel() {
    addLabel(this, "Label14", QStringLiteral(u"TYPE  ："), fromTwips(840, 120, 735, 255));
    Text4 = addTextBox(this, "Text4", fromTwips(1560, 120, 1575, 285));
    addLabel(this, "Label10", QStringLiteral(u"TOTAL ："), fromTwips(3135, 120, 855, 375));
    Text6 = addTextBox(this, "Text6", fromTwips(3840, 120, 735, 195));
    addLabel(this, "Label12", QStringLiteral("MB"), fromTwips(4725, 120, 375, 255));
    addLabel(this, "Label15", QStringLiteral(u"NAME ："), fromTwips(840, 360, 735, 255));
    Text5 = addTextBox(this, "Text5", fromTwips(1560, 330, 1575, 285));
    addLabel(this, "Label11", QStringLiteral(u"FREE   ："), fromTwips(3135, 360, 855, 255));
    Text7 = addTextBox(this, "Text7", fromTwips(3840, 360, 735, 195));
    addLabel(this, "Label13", QStringLiteral("MB"), fromTwips(4725, 360, 375, 255));
    for (QLineEdit* box : {Text4, Text5, Text6, Text7}) box->setFont(panelBoxFont());

    // The drive panel sits on the menu colour so it reads as information, not input.
    const QColor menuColour = QApplication::palette("QMenu").color(QPalette::Window);
    for (QLineEdit* box : {Text4, Text5, Text6, Text7}) {
        QPalette palette = box->palette();
        palette.setColor(QPalette::Base, menuColour);
        box->setPalette(palette);
        // Text6 and Text7 are one text line high and Text5 overlaps the foot of Text4: a
        // frame would cover the text, so the panel boxes are flat.
        box->setFrame(false);
    }

    addLabel(this, "Label4", QStringLiteral("DRIVE SELECT"), fromTwips(360, 720, 975, 375));
    Drive1 = addControl<QComboBox>(this, "Drive1", fromTwips(1560, 720, 3495, 360));
    Drive1->setEditable(false);
    Drive1->setFont(gothicFont(12.0));
    Drive1->setToolTip(QStringLiteral(u" USBメモリー又は測定したいデバイスを選択してください。"));
}

void Form1::createControls() {
    setFixedSize(kClientWidthTwips / kTwipsPerPixel, kClientHeightTwips / kTwipsPerPixel);
    setFont(defaultWindowFont());
    createDrivePanel();
    const QFont timeFont = timeBoxFont();
    Combo1 = addControl<QComboBox>(this, "Combo1", fromTwips(1560, 1200, 1095, 450));
    Combo1->setEditable(true);
    // Typed sizes are taken as typed: inline completion would turn "20" into "200".
    Combo1->setCompleter(nullptr);
    Combo1->setInsertPolicy(QComboBox::NoInsert);
    Combo1->setFont(timeFont);
    Combo1->setToolTip(QStringLiteral(u" 転送するファイルサイズを選択または入力してください。"));
    addLabel(this, "Label5", QStringLiteral("DATA SIZE"), fromTwips(360, 1320, 975, 255));
    addLabel(this, "Label6", QStringLiteral("MB"), fromTwips(2760, 1320, 375, 255));

    Command1 =
        addButton(this, "Command1", QStringLiteral("START"), fromTwips(3480, 1680, 1575, 735));
    Command1->setToolTip(
        QStringLiteral(u" 開始します。時間は自動的にクリップボードにコピーされますのでエクセルにそ"
                       u"のまま貼り付けれます。"));
    Command2 =
        addButton(this, "Command2", QStringLiteral("QUIT"), fromTwips(3480, 2640, 1575, 735));
    Command2->setToolTip(QStringLiteral(u" 終了します。"));
    createTimeBoxes();
}

void Form1::createTimeBoxes() {
    addLabel(this, "Label3", QStringLiteral("DATA CREATE   ( CPU TIME )"),
             fromTwips(240, 1800, 1215, 375));
    Text1 = addTextBox(this, "Text1", fromTwips(1560, 1800, 1095, 375));
    Text1->setToolTip(QStringLiteral(u" データ作成時間でCPUの早さの目安になります。"));
    QLabel* Label7 =
        addLabel(this, "Label7", QStringLiteral("sec"), fromTwips(2760, 1920, 375, 255));

    addLabel(this, "Label1", QStringLiteral("WRITE TIME (PC => USB )"),
             fromTwips(360, 2400, 1095, 375));
    Text2 = addTextBox(this, "Text2", fromTwips(1560, 2400, 1095, 375));
    Text2->setToolTip(QStringLiteral(u" 選択したドライブへの書込にかかった時間です。"));
    QLabel* Label8 =
        addLabel(this, "Label8", QStringLiteral("sec"), fromTwips(2760, 2520, 375, 255));

    addLabel(this, "Label2", QStringLiteral("READ TIME (PC <= USB )"),
             fromTwips(360, 3000, 1095, 375));
    Text3 = addTextBox(this, "Text3", fromTwips(1560, 3000, 1095, 375));
    Text3->setToolTip(QStringLiteral(u" このソフトが有るドライブへの書込にかかった時間です。"));
    QLabel* Label9 =
        addLabel(this, "Label9", QStringLiteral("sec"), fromTwips(2760, 3120, 375, 255));

    for (QLineEdit* box : {Text1, Text2, Text3}) box->setFont(timeBoxFont());
    for (QLabel* label : {Label7, Label8, Label9}) label->setFont(gothicFont(12.0));
}

void Form1::nameControlsAfterCaptions() {
    nameComboBoxesByAccessibleName();
    // Each box and list with the label beside it; the tool-tips stay the descriptions.
    static constexpr std::pair<const char*, const char*> kCaptionOf[] = {
        {"Text4", "Label14"}, {"Text6", "Label10"}, {"Text5", "Label15"},
        {"Text7", "Label11"}, {"Drive1", "Label4"}, {"Combo1", "Label5"},
        {"Text1", "Label3"},  {"Text2", "Label1"},  {"Text3", "Label2"}};
    for (const auto& [controlName, labelName] : kCaptionOf) {
        auto* control = findChild<QWidget*>(QLatin1String(controlName), Qt::FindDirectChildrenOnly);
        auto* label = findChild<QLabel*>(QLatin1String(labelName), Qt::FindDirectChildrenOnly);
        // A screen reader reads the name; the buddy gives it the labelled-by relation too.
        label->setBuddy(control);
        control->setAccessibleName(label->text());
    }
}

void Form1::setUpTabOrder() {
    // Ascending by the designed tab index; labels take no focus.
    const QList<QWidget*> chain = {Command1, Command2, Drive1, Combo1, Text1, Text2,
                                   Text3,    Text4,    Text5,  Text6,  Text7};
    for (qsizetype i = 1; i < chain.size(); ++i) setTabOrder(chain[i - 1], chain[i]);
}

void Form1::setUpIcon() {
    QIcon icon;
    for (int pixels : {16, 32, 48}) {
        const QString path = QStringLiteral(":/icons/dov-uruvivuz-%1.png").arg(pixels);
        if (QFile::exists(path)) icon.addFile(path, QSize(pixels, pixels));
    }
    if (!icon.isNull()) setWindowIcon(icon);
}

void Form1::centreOnScreen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    QRect frame(QPoint(), size());
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
}

}  // namespace window
