#pragma once

#include <QString>
#include <memory>

namespace platform {
enum class DriveType;
class Drive;
class DriveService;
class MessageBoxService;
}  // namespace platform

namespace driveinfo {

class DriveView;

// Fills Text4 ... Text7 for the drive selected in Drive1.
class DrivePanel {
public:
    DrivePanel(DriveView& view, platform::DriveService& drives,
               platform::MessageBoxService& messages);
    ~DrivePanel();
    DrivePanel(const DrivePanel&) = delete;
    DrivePanel& operator=(const DrivePanel&) = delete;

    // When the window first comes up: empties the time boxes, then shows the selected drive.
    void showAtActivation();
    // Empties the time boxes and fills Text4 ... Text7 for the selected drive; a failure shows
    // one message and leaves the boxes not yet reached as they were.
    void showSelectedDrive();

    // Text4 for a DriveType; a null QString for a type the table does not know, which leaves
    // Text4 unchanged.
    static QString driveTypeText(platform::DriveType driveType);
    // floor(bytes / 1,000,000) as plain digits.
    static QString megabytesText(double bytes);

private:
    DriveView& view_;
    platform::DriveService& drives_;
    platform::MessageBoxService& messages_;
    std::unique_ptr<platform::Drive> drive_;
};

}  // namespace driveinfo
