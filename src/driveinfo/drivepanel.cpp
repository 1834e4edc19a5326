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

QString DrivePanel::driveTypeText(platform::DriveType driveType) {
    using platform::DriveType;
    switch (driveType) {
        case DriveType::Unknown:
            return QStringLiteral("");
        case DriveType::Removable:
            return QStringLiteral("Removable Disk");
        case DriveType::Fixed:
            return QStringLiteral("Head Disk");
        case DriveType::Network:
            return QStringLiteral("Network Drive");
        case DriveType::CdRom:
            return QStringLiteral("CD-ROM");
        case DriveType::RamDisk:
            return QStringLiteral("RAM DISK");
        default:
            return QString();
    }
}

QString DrivePanel::megabytesText(double bytes) {
    // 'f' with no decimals never switches to exponent notation, however large the drive.
    return QString::number(std::floor(bytes / 1000000.0), 'f', 0);
}

void DrivePanel::showAtActivation() {
    view_.clearResults();
    showSelectedDrive();
}

void DrivePanel::showSelectedDrive() {
    try {
        view_.clearResults();
        const QString mountRoot = view_.selectedMountRoot();
        drive_ = drives_.getDrive(mountRoot);
        view_.setVolumeNameText(drive_->volumeName());
        view_.setTotalSizeText(megabytesText(drive_->totalSize()));
        view_.setFreeSpaceText(megabytesText(drive_->freeSpace()));
        const QString typeText = driveTypeText(drive_->driveType());
        if (!typeText.isNull()) view_.setDriveTypeText(typeText);
    } catch (const std::exception& failure) {
        messages_.showMessage(platform::describe(failure));
    }
}

}  // namespace driveinfo
