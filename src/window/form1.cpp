#include "window/form1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QStyle>
#include <QTimer>
#include <QWindow>
#include <array>
#include <utility>

#include "driveinfo/drivecatalogue.h"
#include "driveinfo/drivechoice.h"
#include "driveinfo/drivepanel.h"
#include "driveinfo/mounttablewatcher.h"
#include "measure/clockrules.h"
#include "measure/resulttext.h"
#include "measure/speedtest.h"
#include "measure/steprunner.h"
#include "platform/failure.h"
#include "platform/inputgate.h"
#include "platform/offthread.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/version.h"
#include "window/namedcombobox.h"
#include "window/windowfonts.h"

namespace window {

namespace {

// The layout is kept in twips, the unit it was designed in; 15 twips make one pixel.
constexpr int kTwipsPerPixel = 15;
constexpr int kClientWidthTwips = 5250;
constexpr int kClientHeightTwips = 3630;

// Drive1 keeps each entry's mount root and its text without the not-mounted mark.
constexpr int kMountRootRole = Qt::UserRole;
constexpr int kPlainTextRole = Qt::UserRole + 1;
constexpr int kVolumeIdRole = Qt::UserRole + 2;

QRect fromTwips(int left, int top, int width, int height) {
    return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
            height / kTwipsPerPixel};
}

QFont panelBoxFont() {
    return gothicFont(9.75);
}
QFont timeBoxFont() {
    return arialFont(14.25);
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

// A value wider than its box shows its beginning.
void showText(QLineEdit* box, const QString& text) {
    box->setText(text);
    box->setCursorPosition(0);
}

// Width a line edit leaves for its text without scrolling it.
int textRoom(const QLineEdit* box) {
    constexpr int kInnerMargins = 2 * 2;  // QLineEdit's own horizontal margins
    constexpr int kCursorAndSlack = 2;
    const int frame =
        box->hasFrame() ? 2 * box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, box)
                        : 0;
    const QMargins margins = box->textMargins();
    return box->width() - frame - margins.left() - margins.right() - kInnerMargins -
           kCursorAndSlack;
}

// A number cut off at the box's edge reads as a different number, so one that does not fit
// in its designed font is shown in a smaller size of the same font.
void showNumber(QLineEdit* box, const QString& text, const QFont& designedFont) {
    constexpr qreal kSmallestPoints = 6.0;
    constexpr qreal kStep = 0.25;
    QFont font = designedFont;
    const int room = textRoom(box);
    while (font.pointSizeF() - kStep >= kSmallestPoints &&
           QFontMetrics(font).horizontalAdvance(text) > room) {
        font.setPointSizeF(font.pointSizeF() - kStep);
    }
    box->setFont(font);
    showText(box, text);
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

Form1::Form1(WindowServices services, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      services_(services) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("DOV Uruvivuz Ver.%1   by Zelvik")
                       .arg(QLatin1String(platform::version::kVersionCaption)));
    setFixedSize(kClientWidthTwips / kTwipsPerPixel, kClientHeightTwips / kTwipsPerPixel);
    setFont(defaultWindowFont());

    createControls();
    nameControlsAfterCaptions();
    setUpTabOrder();
    setUpIcon();
    centreOnScreen();

    drivePanel_ = std::make_unique<driveinfo::DrivePanel>(
        *this, services_.drives, services_.messages,
        services_.offThread ? *services_.offThread : platform::inPlace());
    speedTest_ = std::make_unique<measure::SpeedTest>(
        *this, measure::RunServices{services_.clock, services_.files, services_.process,
                                    &services_.clipboard, services_.pointer, services_.messages,
                                    services_.steps, *drivePanel_, services_.volumes});
    if (services_.testFolder) speedTest_->setTestFolderFinder(services_.testFolder);
    if (services_.input) {
        services_.input->setRule(
            [this](QObject* receiver, QEvent* event) { return endsTheProgram(receiver, event); });
    }

    fillDriveList(services_.catalogue.driveHolding(platform::currentFolder()));
    // A volume slow to answer gets its label in the list when it answers.
    services_.catalogue.setLateAnswerListener([this] { refreshDriveList(); });

    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(Drive1, &QComboBox::currentIndexChanged, this, &Form1::Drive1_Change);
    if (services_.mountWatcher) {
        connect(services_.mountWatcher, &driveinfo::MountTableWatcher::mountsChanged, this,
                &Form1::refreshDriveList);
    }

    Command1->setFocus();
}

Form1::~Form1() {
    services_.catalogue.setLateAnswerListener(nullptr);
    if (services_.input) services_.input->setRule(nullptr);
    // The controls go after the run and the panel; nothing may reach those on the way out.
    Drive1->blockSignals(true);
    Command1->blockSignals(true);
    Command2->blockSignals(true);
}

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

void Form1::Form_Load() {
    for (int megabytes : {10, 50, 100, 200}) Combo1->addItem(QString::number(megabytes));
    Combo1->setCurrentIndex(0);

    const bool wasVisible = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    // Changing the flags of a shown window hides it.
    if (wasVisible) show();
}

void Form1::Form_Activate() {
    if (activated_ || ended_) return;
    activated_ = true;
    drivePanel_->showAtActivation();
}

void Form1::Command1_Click() {
    if (ended_ || speedTest_->running()) return;
    speedTest_->run();
    if (removeRunFilesAtEnd_) speedTest_->removeRunFiles();
    applyDeferredDriveRefresh();
}

void Form1::Command2_Click() {
    if (ended_) return;
    ended_ = true;
    hide();
    // A copy still waiting on a frozen drive only cleans up; a new start must not wait for it.
    services_.process.releaseInstance();
    // A phase under way stops at its next chunk; the program ends once it has.
    speedTest_->stop();
}

void Form1::endOnSignal() {
    // A run under way removes its files when it returns; between runs there are none.
    removeRunFilesAtEnd_ = true;
    Command2_Click();
}

bool Form1::endsTheProgram(QObject* receiver, QEvent* event) const {
    if (event->type() == QEvent::Close) return true;
    if (receiver == Command2) return true;
    // Input reaches the window first, then the control under it or with the focus.
    if (receiver != static_cast<QObject*>(windowHandle())) return false;
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick: {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            return childAt(mouse->position().toPoint()) == Command2;
        }
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
            return focusWidget() == Command2;
        default:
            return false;
    }
}

void Form1::Drive1_Change() {
    if (ended_) return;
    dropVanishedEntryUnlessSelected();
    drivePanel_->showSelectedDrive();
}

QString Form1::notMountedMark() {
    return QStringLiteral("  (not mounted)");
}

void Form1::fillDriveList(const QString& preferredRoot) {
    const QList<driveinfo::DriveEntry> entries = services_.catalogue.drives();
    const QString selectedRoot = Drive1->currentData(kMountRootRole).toString();
    const QString selectedText = Drive1->currentData(kPlainTextRole).toString();
    const QString selectedVolume = Drive1->currentData(kVolumeIdRole).toString();

    const QSignalBlocker blocker(Drive1);
    Drive1->clear();
    int selectIndex = -1;
    for (const driveinfo::DriveEntry& entry : entries) {
        const QString text = entry.displayText();
        Drive1->addItem(text, entry.mountRoot);
        Drive1->setItemData(Drive1->count() - 1, text, kPlainTextRole);
        Drive1->setItemData(Drive1->count() - 1, entry.volumeId, kVolumeIdRole);
        if (entry.mountRoot == preferredRoot) selectIndex = Drive1->count() - 1;
    }

    vanishedRoot_.clear();
    if (selectIndex < 0 && !selectedRoot.isEmpty() && selectedRoot == preferredRoot) {
        // The selected volume went away: keep it selected so that the user sees what happened
        // and a query or run against it fails with a clear message.
        Drive1->addItem(selectedText + notMountedMark(), selectedRoot);
        Drive1->setItemData(Drive1->count() - 1, selectedText, kPlainTextRole);
        Drive1->setItemData(Drive1->count() - 1, selectedVolume, kVolumeIdRole);
        selectIndex = Drive1->count() - 1;
        vanishedRoot_ = selectedRoot;
    }
    if (selectIndex < 0 && Drive1->count() > 0) selectIndex = 0;
    Drive1->setCurrentIndex(selectIndex);
    // Another volume mounted at the selected root: the panel shows the old one's figures.
    const QString volume = Drive1->currentData(kVolumeIdRole).toString();
    if (!selectedVolume.isEmpty() && selectedRoot == preferredRoot && vanishedRoot_.isEmpty() &&
        volume != selectedVolume) {
        drivePanel_->refreshSelectedDrive();
    }
}

void Form1::refreshDriveList() {
    if (ended_) return;
    if (services_.steps.busy()) {
        driveRefreshPending_ = true;
        return;
    }
    driveRefreshPending_ = false;
    fillDriveList(Drive1->currentData(kMountRootRole).toString());
}

void Form1::applyDeferredDriveRefresh() {
    if (driveRefreshPending_) refreshDriveList();
}

void Form1::dropVanishedEntryUnlessSelected() {
    if (vanishedRoot_.isEmpty()) return;
    const int index = Drive1->findData(vanishedRoot_, kMountRootRole);
    if (index < 0 || index == Drive1->currentIndex()) return;
    const QSignalBlocker blocker(Drive1);
    Drive1->removeItem(index);
    vanishedRoot_.clear();
}

measure::SizeAsked Form1::sizeAsked() {
    return {std::nullopt, Combo1->currentText()};
}

QString Form1::selectedMountRoot() {
    const QString root = Drive1->currentData(kMountRootRole).toString();
    if (!vanishedRoot_.isEmpty() && root == vanishedRoot_) throw driveinfo::driveNotReady(root);
    return root;
}

void Form1::clearResults() {
    speedTest_->clearTimes();
    showTimes(speedTest_->result());
}

void Form1::showTimes(const measure::RunResult& result) {
    const std::array<QString, 3> texts = measure::timeTexts(result);
    const std::array<QLineEdit*, 3> boxes = {Text1, Text2, Text3};
    for (std::size_t i = 0; i < boxes.size(); ++i) showNumber(boxes[i], texts[i], timeBoxFont());
}

void Form1::runStarted() {
    setStartEnabled(false);
}

void Form1::resultChanged(const measure::RunResult& result, measure::Phase) {
    showTimes(result);
}

void Form1::runEnded(const measure::RunResult& result) {
    showTimes(result);
    setStartEnabled(true);
}

void Form1::setStartEnabled(bool enabled) {
    if (!enabled) {
        // Qt would hand the focus of a disabled button to the next one, QUIT, where the
        // Enter meant for START would end the program. Park it on the window instead.
        if (focusWidget() == Command1) setFocus(Qt::OtherFocusReason);
        Command1->setEnabled(false);
        return;
    }
    Command1->setEnabled(true);
    if (focusWidget() == this || focusWidget() == nullptr) Command1->setFocus(Qt::OtherFocusReason);
}

void Form1::waitBetweenSteps(double seconds) {
    applyDeferredDriveRefresh();
    measure::Pause(services_.clock, services_.pump, seconds);
}

void Form1::setDriveTypeText(const QString& text) {
    showText(Text4, text);
}
void Form1::setVolumeNameText(const QString& text) {
    showText(Text5, text);
}
void Form1::setTotalSizeText(const QString& text) {
    showNumber(Text6, text, panelBoxFont());
}
void Form1::setFreeSpaceText(const QString& text) {
    showNumber(Text7, text, panelBoxFont());
}

void Form1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Window managers (or none, offscreen) differ in whether they send an activation, so
    // the first show queues Form_Activate once the window is up.
    if (!activationQueued_) {
        activationQueued_ = true;
        QTimer::singleShot(0, this, &Form1::Form_Activate);
    }
}

void Form1::closeEvent(QCloseEvent* event) {
    // The close box ends the program just like QUIT.
    Command2_Click();
    event->accept();
}

}  // namespace window
