#include "window/form1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
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
#include "measure/inputgate.h"
#include "measure/resulttext.h"
#include "measure/speedtest.h"
#include "measure/steprunner.h"
#include "platform/failure.h"
#include "platform/offthread.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/version.h"
#include "window/windowfonts.h"

namespace window {

namespace {

// Drive1 keeps each entry's mount root and its text without the not-mounted mark.
constexpr int kMountRootRole = Qt::UserRole;
constexpr int kPlainTextRole = Qt::UserRole + 1;
constexpr int kVolumeIdRole = Qt::UserRole + 2;

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

}  // namespace

Form1::Form1(WindowServices services, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      services_(services) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("DOV Uruvivuz Ver.%1   by Zelvik")
                       .arg(QLatin1String(platform::version::kVersionCaption)));
    createControls();
    nameControlsAfterCaptions();
    setUpTabOrder();
    setUpIcon();
    centreOnScreen();

    drivePanel_ = std::make_unique<driveinfo::DrivePanel>(
        *this, services_.drives, services_.messages,
        services_.offThread ? *services_.offThread : platform::inPlace(),
        driveinfo::DriveAnswers::kAnswerLimit, services_.driveAnswers);
    speedTest_ = std::make_unique<measure::SpeedTest>(
        *this, measure::RunServices{services_.clock, services_.files, services_.process,
                                    &services_.clipboard, services_.pointer, services_.messages,
                                    services_.steps, drivePanel_->answers(), services_.volumes,
                                    ownership::Retry::PressStart});
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
                &Form1::mountsChanged);
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
        drivePanel_->showNotMounted();
    }
    if (selectIndex < 0 && Drive1->count() > 0) selectIndex = 0;
    Drive1->setCurrentIndex(selectIndex);
    // Another volume mounted at the selected root: the panel shows the old one's figures.
    const QString volume = Drive1->currentData(kVolumeIdRole).toString();
    const bool mountsChanged = std::exchange(mountsChanged_, false);
    if (!selectedVolume.isEmpty() && selectedRoot == preferredRoot && vanishedRoot_.isEmpty() &&
        (volume != selectedVolume || mountsChanged)) {
        drivePanel_->refreshSelectedDrive();
    }
}

// A volume swapped at the selected root may carry the old one's mount id and device number:
// after any mount or unmount the panel reads its drive again.
void Form1::mountsChanged() {
    mountsChanged_ = true;
    refreshDriveList();
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
    const std::array<QString, 3> texts = measure::formatTimes(result);
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
