#pragma once

namespace platform {
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
    void Form_Activate();
    void Drive1_Change();

private:
    DriveView& view_;
    platform::DriveService& drives_;
    platform::MessageBoxService& messages_;
};

}  // namespace driveinfo
