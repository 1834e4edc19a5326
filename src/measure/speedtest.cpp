#include "measure/speedtest.h"

#include <QDir>
#include <exception>

#include "measure/clockrules.h"
#include "measure/phaserunner.h"
#include "measure/runview.h"
#include "measure/sizerule.h"
#include "measure/testfile.h"
#include "platform/desktop.h"
#include "platform/failure.h"
#include "platform/files.h"
#include "platform/process.h"

namespace measure {

namespace {

constexpr int kTestFileNumber = 1;
constexpr double kPauseSeconds = 0.1;

}  // namespace

SpeedTest::SpeedTest(RunView& view, RunServices services) : view_(view), services_(services) {}

platform::CreateMode SpeedTest::claimTestFile(const QString& path) {
    platform::FileService& files = services_.files;
    switch (files.pathKind(path)) {
        case platform::PathKind::Missing:
            return platform::CreateMode::CreateNew;
        case platform::PathKind::RegularFile:
            // A leftover of an interrupted run holds nothing but test lines and may be reused.
            if (files.consistsOfRepeatedBlock(path, kTestLineWithEnd))
                return platform::CreateMode::ReplaceExisting;
            break;
        case platform::PathKind::SymbolicLink:
        case platform::PathKind::Other:
            break;
    }
    throw platform::Failure(
        QStringLiteral(
            "%1 already exists and is not a test file of this program; it was left untouched")
            .arg(path));
}

float SpeedTest::timePhase(const std::function<void()>& work) {
    platform::Clock& clock = services_.clock;
    const float startReading = ClockSeconds(clock);
    float endReading = startReading;
    // The end reading is taken where the work finishes, not when the window thread wakes up.
    services_.phases.run([&] {
        work();
        endReading = ClockSeconds(clock);
    });
    return elapsedBetween(startReading, endReading);
}

void SpeedTest::run() {
    view_.clearResults();
    if (view_.sizeText().isEmpty()) {
        services_.messages.showMessage(QStringLiteral("Data Size Error"));
        return;
    }

    platform::FileService& files = services_.files;
    bool localCopyExists = false;  // our own local test file is on disk
    QString localPath;
    try {
        services_.pointer.setBusy(true);
        view_.setStartEnabled(false);
        view_.pause(kPauseSeconds);
        if (view_.programEnded()) return;

        // Create phase.
        localPath = testFilePath(services_.process.programFolder());
        const platform::CreateMode localMode = claimTestFile(localPath);
        const QString sizeText = view_.sizeText();
        const float createTime = timePhase([&] {
            files.openForOutput(kTestFileNumber, localPath, localMode);
            localCopyExists = true;
            writeTestLines(files, kTestFileNumber, testLineCount(sizeText));
            files.close(kTestFileNumber);
        });
        view_.setTimeText(1, elapsedText(createTime));
        view_.pause(kPauseSeconds);
        if (view_.programEnded()) return;

        // Write phase: the drive is the one selected now, and stays so for this run.
        const QString mountRoot = view_.selectedMountRoot();
        if (mountRoot.isEmpty()) throw platform::noDriveSelected();
        const QString targetPath = testFilePath(mountRoot);
        if (QDir::cleanPath(targetPath) == QDir::cleanPath(localPath)) {
            throw platform::Failure(
                QStringLiteral("%1 is the program folder's own test file; choose a drive other "
                               "than the one whose root holds the program")
                    .arg(targetPath));
        }
        platform::CopyOptions toDrive;
        toDrive.destination = claimTestFile(targetPath);
        toDrive.flushToDevice = true;
        toDrive.dropCachedPages = true;
        const float writeTime = timePhase([&] { files.copyFile(localPath, targetPath, toDrive); });
        view_.setTimeText(2, elapsedText(writeTime));
        view_.pause(kPauseSeconds);
        if (view_.programEnded()) return;

        // Read phase: the local copy is made again from the drive's.
        files.deleteFile(localPath);
        localCopyExists = false;
        platform::CopyOptions fromDrive;
        fromDrive.destination = platform::CreateMode::CreateNew;
        const float readTime = timePhase([&] {
            files.copyFile(targetPath, localPath, fromDrive);
            localCopyExists = true;
        });
        view_.setTimeText(3, elapsedText(readTime));
        view_.pause(kPauseSeconds);
        if (view_.programEnded()) return;

        files.deleteFile(localPath);
        localCopyExists = false;
        files.deleteFile(targetPath);

        services_.clipboard.clear();
        const QChar tab(QLatin1Char('\t'));
        services_.clipboard.setText(view_.timeText(1) + tab + view_.timeText(2) + tab +
                                    view_.timeText(3));
        view_.setStartEnabled(true);
        services_.pointer.setBusy(false);
    } catch (const std::exception& failure) {
        files.closeAll();
        if (localCopyExists) {
            // Best effort: the message below is about the original failure.
            try {
                files.deleteFile(localPath);
            } catch (const std::exception&) {
            }
        }
        services_.pointer.setBusy(false);
        services_.messages.showMessage(platform::describe(failure));
        view_.setStartEnabled(true);
    }
}

void SpeedTest::requestStop() {}

void SpeedTest::removeRunFiles() noexcept {}

bool SpeedTest::running() const {
    return false;
}

const RunProgress& SpeedTest::progress() const {
    return progress_;
}

}  // namespace measure
