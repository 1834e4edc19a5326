#include "driveinfo/driveanswers.h"

#include <exception>

#include "driveinfo/drivechoice.h"
#include "platform/offthread.h"

namespace driveinfo {

DriveAnswers::DriveAnswers(std::shared_ptr<DriveService> drives, platform::OffThread& offThread,
                           std::chrono::milliseconds answerLimit)
    : drives_(std::move(drives)), offThread_(offThread), answerLimit_(answerLimit) {}

bool DriveAnswers::isStalled(const QString& mountRoot) {
    const auto stalled = stalled_.constFind(mountRoot);
    if (stalled == stalled_.cend()) return false;
    if (!(*stalled)->load()) return true;
    stalled_.erase(stalled);
    return false;
}

void DriveAnswers::noteStalled(const QString& mountRoot,
                               std::shared_ptr<const std::atomic<bool>> finished) {
    stalled_.insert(mountRoot, std::move(finished));
}

void DriveAnswers::checkAnswers(const QString& mountRoot) {
    if (isStalled(mountRoot)) throw driveNotAnswering(mountRoot);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    const bool answered = offThread_.wait(
        [finished, drives = drives_, mountRoot] {
            // Only the answer counts here; a failure is met where the drive is opened.
            try {
                drives->getDrive(mountRoot)->totalSize();
            } catch (const std::exception&) {
            }
            finished->store(true);
        },
        answerLimit_);
    if (!answered) {
        noteStalled(mountRoot, finished);
        throw driveNotAnswering(mountRoot);
    }
}

}  // namespace driveinfo
