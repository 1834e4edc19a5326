#pragma once

#include <QString>
#include <memory>

namespace platform {
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

    void Form_Activate();
    void Drive1_Change();

    // The drive object of the last selection that GetDrive returned; null before the first.
    platform::Drive* currentDrive() const { return drive_.get(); }

    // Text4 for a DriveType; a null QString for a type the table does not know, which leaves
    // Text4 unchanged.
    static QString driveTypeText(int driveType);
    // floor(bytes / 1,000,000) as plain digits.
    static QString megabytesText(double bytes);

private:
    DriveView& view_;
    platform::DriveService& drives_;
    platform::MessageBoxService& messages_;
    std::unique_ptr<platform::Drive> drive_;
};

}  // namespace driveinfo
