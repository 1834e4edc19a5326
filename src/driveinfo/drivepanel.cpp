#include "driveinfo/drivepanel.h"

#include <QObject>
#include <atomic>
#include <cmath>
#include <exception>
#include <optional>

#include "driveinfo/drivechoice.h"
#include "driveinfo/drives.h"
#include "driveinfo/driveview.h"
#include "platform/desktop.h"
#include "platform/failure.h"
#include "platform/offthread.h"

namespace driveinfo {

// What one query of a drive got, step by step, in the order the panel shows it. Written by the
// query's thread, read on the window thread once it has finished.
struct DrivePanel::Reading {
    std::optional<QString> volumeName;
    std::optional<double> totalBytes;
    std::optional<double> freeBytes;
    std::optional<DriveType> driveType;
    std::optional<QString> failure;
    std::shared_ptr<std::atomic<bool>> finished = std::make_shared<std::atomic<bool>>(false);

    void read(DriveService& drives, const QString& mountRoot) {
        try {
            const std::unique_ptr<Drive> drive = drives.getDrive(mountRoot);
            volumeName = drive->volumeName();
            totalBytes = drive->totalSize();
            freeBytes = drive->freeSpace();
            driveType = drive->driveType();
        } catch (const NotMounted& gone) {
            failure = driveNotReady(gone.mountRoot()).description();
        } catch (const std::exception& error) {
            failure = platform::describe(error);
        }
        finished->store(true);
    }
};

DrivePanel::DrivePanel(DriveView& view, std::shared_ptr<DriveService> drives,
                       platform::MessageBoxService& messages, platform::OffThread& offThread,
                       std::chrono::milliseconds answerLimit, DriveAnswers* answers)
    : view_(view),
      drives_(std::move(drives)),
      messages_(messages),
      offThread_(offThread),
      ownAnswers_(answers ? nullptr
                          : std::make_unique<DriveAnswers>(drives_, offThread, answerLimit)),
      answers_(answers ? *answers : *ownAnswers_),
      deliveries_(std::make_unique<QObject>()) {}

DrivePanel::DrivePanel(DriveView& view, std::shared_ptr<DriveService> drives,
                       platform::MessageBoxService& messages)
    : DrivePanel(view, std::move(drives), messages, platform::inPlace()) {}

DrivePanel::~DrivePanel() = default;

QString DrivePanel::driveTypeText(DriveType driveType) {
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
    readSelectedDrive(true);
}

void DrivePanel::refreshSelectedDrive() {
    readSelectedDrive(false);
}

void DrivePanel::showNotMounted() {
    // A query still under way for the drive would fill them again.
    ++lastRequest_;
    view_.setDriveTypeText({});
    view_.setVolumeNameText({});
    view_.setTotalSizeText({});
    view_.setFreeSpaceText({});
}

void DrivePanel::readSelectedDrive(bool clearTimes) {
    QString mountRoot;
    try {
        if (clearTimes) view_.clearResults();
        mountRoot = view_.selectedMountRoot();
    } catch (const std::exception& failure) {
        messages_.showMessage(platform::describe(failure));
        return;
    }
    const quint64 request = ++lastRequest_;
    if (mountRoot.isEmpty()) {
        messages_.showMessage(noDriveSelected().description());
        return;
    }
    if (answers_.isStalled(mountRoot)) {
        messages_.showMessage(driveNotAnswering(mountRoot).description());
        return;
    }
    auto reading = std::make_shared<Reading>();
    offThread_.start(
        deliveries_.get(),
        [reading, drives = drives_, mountRoot] { reading->read(*drives, mountRoot); },
        [this, reading, mountRoot, request](bool answered) {
            if (!answered) answers_.noteStalled(mountRoot, reading->finished);
            // A later choice of drive has taken the panel over.
            if (request != lastRequest_) return;
            show(mountRoot, *reading, answered);
        },
        answers_.answerLimit());
}

void DrivePanel::show(const QString& mountRoot, const Reading& reading, bool answered) {
    if (!answered) {
        messages_.showMessage(driveNotAnswering(mountRoot).description());
        return;
    }
    if (reading.volumeName) view_.setVolumeNameText(*reading.volumeName);
    if (reading.totalBytes) view_.setTotalSizeText(megabytesText(*reading.totalBytes));
    if (reading.freeBytes) view_.setFreeSpaceText(megabytesText(*reading.freeBytes));
    if (reading.driveType) {
        const QString typeText = driveTypeText(*reading.driveType);
        if (!typeText.isNull()) view_.setDriveTypeText(typeText);
    }
    if (reading.failure) messages_.showMessage(*reading.failure);
}

}  // namespace driveinfo
