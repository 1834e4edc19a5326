#pragma once

#include <QString>

namespace driveinfo {

// What the drive panel needs from the window. The window implements it; tests use a fake.
class DriveView {
public:
    virtual ~DriveView() = default;
    virtual QString selectedMountRoot() = 0;  // mount root of Drive1's current entry
    virtual void clearResults() = 0;
    virtual void setDriveTypeText(const QString& text) = 0;   // Text4
    virtual void setVolumeNameText(const QString& text) = 0;  // Text5
    virtual void setTotalSizeText(const QString& text) = 0;   // Text6
    virtual void setFreeSpaceText(const QString& text) = 0;   // Text7
};

}  // namespace driveinfo
