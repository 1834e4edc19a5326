#include "driveinfo/drivepanel.h"

#include <cmath>
#include <exception>

#include "driveinfo/driveview.h"
#include "platform/desktop.h"
#include "platform/drives.h"
#include "platform/failure.h"

namespace driveinfo {

DrivePanel::DrivePanel(DriveView& view, platform::DriveService& drives,
                       platform::MessageBoxService& messages)
    : view_(view), drives_(drives), messages_(messages) {}

DrivePanel::~DrivePanel() = default;

QString DrivePanel::driveTypeText(int driveType) {
    switch (driveType) {
        case 0:
            return QStringLiteral("");
        case 1:
            return QStringLiteral("Removable Disk");
        case 2:
            return QStringLiteral("Head Disk");
        case 3:
            return QStringLiteral("Network Drive");
        case 4:
            return QStringLiteral("CD-ROM");
        case 5:
            return QStringLiteral("RAM DISK");
        default:
            return QString();
    }
}

QString DrivePanel::megabytesText(double bytes) {
    // 'f' with no decimals never switches to exponent notation, however large the drive.
    return QString::number(std::floor(bytes / 1000000.0), 'f', 0);
}

void DrivePanel::Form_Activate() {
    view_.clearResults();
    Drive1_Change();
}

void DrivePanel::Drive1_Change() {
    try {
        view_.clearResults();
        const QString mountRoot = view_.selectedDriveSpec();
        drive_ = drives_.getDrive(mountRoot);
        view_.setVolumeNameText(drive_->volumeName());
        view_.setTotalSizeText(megabytesText(drive_->totalSize()));
        view_.setFreeSpaceText(megabytesText(drive_->freeSpace()));
        const QString typeText = driveTypeText(drive_->driveType());
        if (!typeText.isNull()) view_.setDriveTypeText(typeText);
    } catch (const platform::Failure& failure) {
        messages_.showMessage(failure.description());
    } catch (const std::exception& failure) {
        messages_.showMessage(QString::fromLocal8Bit(failure.what()));
    }
}

}  // namespace driveinfo
