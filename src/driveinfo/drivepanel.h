#pragma once

#include <QString>
#include <chrono>
#include <memory>

#include "driveinfo/driveanswers.h"
#include "driveinfo/drives.h"

class QObject;

namespace platform {
class MessageBoxService;
class OffThread;
}  // namespace platform

namespace driveinfo {

class DriveView;

// Fills Text4 ... Text7 for the drive selected in Drive1. The drive is read off the window
// thread in the program; what it read is shown on the window thread in the same order as if
// read in place. A drive that does not answer in time gets one message, and the run is told
// the same: the panel keeps its stalled drives in the liveness check the run asks.
class DrivePanel {
public:
    // The drive service is shared with the query threads, which may outlive the panel. Without
    // answers the panel keeps a check of its own, with answerLimit; else that check's limit.
    DrivePanel(DriveView& view, std::shared_ptr<DriveService> drives,
               platform::MessageBoxService& messages, platform::OffThread& offThread,
               std::chrono::milliseconds answerLimit = DriveAnswers::kAnswerLimit,
               DriveAnswers* answers = nullptr);
    // Every query in place, as with fakes.
    DrivePanel(DriveView& view, std::shared_ptr<DriveService> drives,
               platform::MessageBoxService& messages);
    ~DrivePanel();
    DrivePanel(const DrivePanel&) = delete;
    DrivePanel& operator=(const DrivePanel&) = delete;

    // When the window first comes up: empties the time boxes, then shows the selected drive.
    void showAtActivation();
    // Empties the time boxes and fills Text4 ... Text7 for the selected drive; a failure shows
    // one message and leaves the boxes not yet reached as they were.
    void showSelectedDrive();
    // Reads the selected drive again and fills Text4 ... Text7, leaving the time boxes: for a
    // volume replaced under the same mount root.
    void refreshSelectedDrive();
    // Empties Text4 ... Text7: the selected drive is no longer mounted, and figures beside it
    // would be another volume's or stale.
    void showNotMounted();
    // The liveness check the panel shares with the run.
    DriveAnswers& answers() { return answers_; }

    // Text4 for a DriveType; a null QString for a type the table does not know, which leaves
    // Text4 unchanged.
    static QString driveTypeText(DriveType driveType);
    // floor(bytes / 1,000,000) as plain digits.
    static QString megabytesText(double bytes);

private:
    struct Reading;
    void readSelectedDrive(bool clearTimes);
    void show(const QString& mountRoot, const Reading& reading, bool answered);

    DriveView& view_;
    std::shared_ptr<DriveService> drives_;
    platform::MessageBoxService& messages_;
    platform::OffThread& offThread_;
    std::unique_ptr<DriveAnswers> ownAnswers_;
    DriveAnswers& answers_;
    // Deleting it drops the deliveries of queries still under way.
    std::unique_ptr<QObject> deliveries_;
    quint64 lastRequest_ = 0;
};

}  // namespace driveinfo
