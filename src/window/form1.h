#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "driveinfo/driveview.h"
#include "measure/runview.h"
#include "ownership/folders.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace platform {
class Clock;
class EventPump;
class FileService;
class ProcessService;
class ClipboardService;
class PointerService;
class MessageBoxService;
class OffThread;
class VolumeQueries;
}  // namespace platform

namespace measure {
class InputGate;
class StepRunner;
class SpeedTest;
}  // namespace measure

namespace driveinfo {
class DriveCatalogue;
class DriveService;
class DriveAnswers;
class DrivePanel;
class MountTableWatcher;
}  // namespace driveinfo

namespace window {

// Everything the window asks of its surroundings; main wires the real ones, tests fakes.
struct WindowServices {
    platform::Clock& clock;
    platform::EventPump& pump;
    platform::FileService& files;
    platform::ProcessService& process;
    platform::ClipboardService& clipboard;
    platform::PointerService& pointer;
    platform::MessageBoxService& messages;
    // Shared with drive queries that may outlive the window on a volume that does not answer.
    std::shared_ptr<driveinfo::DriveService> drives;
    driveinfo::DriveCatalogue& catalogue;
    measure::StepRunner& steps;
    // Optional: when given, Drive1 follows the mount table while the program runs.
    driveinfo::MountTableWatcher* mountWatcher = nullptr;
    // Optional: where the drive panel's queries run; in place when not given (fakes).
    platform::OffThread* offThread = nullptr;
    // Optional: the gate the waits and the message boxes close; the window sets its rule.
    measure::InputGate* input = nullptr;
    // Optional: the free space of volumes, to refuse a size that cannot fit before a run.
    platform::VolumeQueries* volumes = nullptr;
    // Optional: where the local test file goes; the program's rule when not given (fakes give
    // their program folder).
    std::function<ownership::TestFolder()> testFolder = {};
    // Optional: the drive liveness check the run asks; the panel keeps one of its own when not
    // given.
    driveinfo::DriveAnswers* driveAnswers = nullptr;
};

// The program's only window. The START run and the drive panel live in measure/ and driveinfo/
// and reach the controls through the two views; the run asks the panel's liveness check whether
// its drive answers. The handlers (Form_Load, Command1_Click, ...)
// and the controls (Text1, Combo1, ...) carry the names of the window's design; everything else
// is named for what it does.
class Form1 : public QWidget, public measure::RunView, public driveinfo::DriveView {
    Q_OBJECT
public:
    explicit Form1(WindowServices services, QWidget* parent = nullptr);
    ~Form1() override;

    // Run once before the window is first shown.
    void Form_Load();
    // Runs once, when the window first comes up (queued from the first show).
    void Form_Activate();
    void Command1_Click();
    void Command2_Click();
    void Drive1_Change();
    // SIGTERM, SIGHUP, SIGINT: ends the program like QUIT and removes the run's test files.
    void endOnSignal();

    // Rebuilds Drive1 from the catalogue without running Drive1_Change. The selection is kept;
    // a selected volume that is gone stays selected, marked, until the user picks another.
    // Inside a step of a run the rebuild waits for the next Pause.
    void refreshDriveList();
    void mountsChanged();

    // measure::RunView: Combo1's text; Drive1's entry; Text1 ... Text3 show the result.
    measure::SizeAsked sizeAsked() override;
    QString driveChosen() override { return selectedMountRoot(); }
    void runStarted() override;
    void resultChanged(const measure::RunResult& result, measure::Phase finished) override;
    // Waits while the window's pending events are handled.
    void waitBetweenSteps(double seconds) override;
    void runEnded(const measure::RunResult& result) override;

    // driveinfo::DriveView
    // Empty when nothing is selected; throws platform::Failure when the selected volume is gone.
    QString selectedMountRoot() override;
    // A change of drive: the run's times shown so far are emptied, in Text1 ... Text3 only.
    void clearResults() override;
    void setDriveTypeText(const QString& text) override;
    void setVolumeNameText(const QString& text) override;
    void setTotalSizeText(const QString& text) override;
    void setFreeSpaceText(const QString& text) override;

    // Appended to the entry of a selected volume that is no longer mounted.
    static QString notMountedMark();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // Input that reaches QUIT or asks to close the window: the input gate lets it through
    // during a step of a run and while a message box waits.
    bool endsTheProgram(QObject* receiver, QEvent* event) const;
    void createControls();
    void createDrivePanel();
    void createTimeBoxes();
    void nameControlsAfterCaptions();
    void setUpTabOrder();
    void setUpIcon();
    void centreOnScreen();
    void fillDriveList(const QString& preferredRoot);
    void dropVanishedEntryUnlessSelected();
    void applyDeferredDriveRefresh();
    void showTimes(const measure::RunResult& result);
    void setStartEnabled(bool enabled);

    WindowServices services_;
    std::unique_ptr<measure::SpeedTest> speedTest_;
    std::unique_ptr<driveinfo::DrivePanel> drivePanel_;

    QLineEdit* Text1 = nullptr;
    QLineEdit* Text2 = nullptr;
    QLineEdit* Text3 = nullptr;
    QLineEdit* Text4 = nullptr;
    QLineEdit* Text5 = nullptr;
    QLineEdit* Text6 = nullptr;
    QLineEdit* Text7 = nullptr;
    QComboBox* Drive1 = nullptr;
    QComboBox* Combo1 = nullptr;
    QPushButton* Command1 = nullptr;
    QPushButton* Command2 = nullptr;

    bool ended_ = false;
    bool activationQueued_ = false;
    bool activated_ = false;
    bool driveRefreshPending_ = false;
    bool mountsChanged_ = false;  // since the list was last filled
    bool removeRunFilesAtEnd_ = false;
    // Mount root of a selected volume that vanished; its entry stays until another is picked.
    QString vanishedRoot_;
};

}  // namespace window
