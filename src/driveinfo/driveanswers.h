#pragma once

#include <QHash>
#include <QString>
#include <atomic>
#include <chrono>
#include <memory>

#include "driveinfo/drives.h"
#include "platform/drives.h"

namespace platform {
class OffThread;
}

namespace driveinfo {

// Whether a drive answers at all: a stalled FUSE daemon or a lost server blocks every query of
// its volume in the kernel. Asked by the run before it opens the drive.
class DriveLiveness {
public:
    virtual ~DriveLiveness() = default;
    // Throws Failure when the drive at mountRoot does not answer within a few seconds.
    virtual void checkAnswers(const QString& mountRoot) = 0;
};

// Whether a drive still answers, one check for the runs of both front ends and the window's
// drive panel: a drive is read off the calling thread within a time limit, and one whose query
// has not returned is stalled (a stopped FUSE daemon, a lost server) and not asked again until
// that query returns.
class DriveAnswers : public DriveLiveness {
public:
    static constexpr std::chrono::milliseconds kAnswerLimit = std::chrono::seconds(3);

    // The drive service is shared with the query threads, which may outlive this object.
    DriveAnswers(std::shared_ptr<DriveService> drives, platform::OffThread& offThread,
                 std::chrono::milliseconds answerLimit = kAnswerLimit);

    // Reads the drive at mountRoot within the limit, the caller's event loop turning; throws
    // driveNotAnswering (drivechoice.h) when it did not answer in time. Its other failures are
    // left to whoever opens it next.
    void checkAnswers(const QString& mountRoot) override;
    // True while an earlier query of the drive at mountRoot has not returned.
    bool isStalled(const QString& mountRoot);
    // A query of mountRoot was given up; finished turns true once it returns.
    void noteStalled(const QString& mountRoot, std::shared_ptr<const std::atomic<bool>> finished);

    std::chrono::milliseconds answerLimit() const { return answerLimit_; }

private:
    std::shared_ptr<DriveService> drives_;
    platform::OffThread& offThread_;
    std::chrono::milliseconds answerLimit_;
    QHash<QString, std::shared_ptr<const std::atomic<bool>>> stalled_;
};

}  // namespace driveinfo
