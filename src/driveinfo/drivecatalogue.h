#pragma once

#include <QList>
#include <QString>
#include <functional>

namespace driveinfo {

// One measurable mounted volume as Drive1 lists it.
struct DriveEntry {
    QString mountRoot;   // what GetDrive takes; the test file is mountRoot + "/TEST.TXT"
    QString volumeName;  // file-system label, may be empty
    // Which mount this is (mount id, device and source). Another volume mounted at the same root
    // usually has another, but the kernel may hand it the same id and device number; the
    // window looks at its drive again after every mount or unmount. Empty when unknown. Not
    // part of what the entry shows, nor of its equality.
    QString volumeId = {};
    // "/media/alex/STICK [STICK]", or just the mount path when there is no label
    QString displayText() const;
    friend bool operator==(const DriveEntry& a, const DriveEntry& b) {
        return a.mountRoot == b.mountRoot && a.volumeName == b.volumeName;
    }
};

// The volumes a user could measure: local block-device file systems, network file systems,
// RAM-backed ones and FUSE volumes; no pseudo file systems, no read-only image mounts.
class DriveCatalogue {
public:
    virtual ~DriveCatalogue() = default;
    virtual QList<DriveEntry> drives() = 0;
    // Mount root of the listed volume that holds path (longest matching mount point).
    virtual QString driveHolding(const QString& path) = 0;

    // Called on the window thread when a volume that had not answered by the last listing
    // answered with something the list shows (a label, share folders): the list is read again.
    void setLateAnswerListener(std::function<void()> listener) { listener_ = std::move(listener); }

protected:
    void lateAnswerCame() const {
        if (listener_) listener_();
    }

private:
    std::function<void()> listener_;
};

}  // namespace driveinfo
