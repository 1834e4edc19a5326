#pragma once

#include <QString>
#include <cstdio>
#include <functional>
#include <memory>

#include "measure/coreservices.h"
#include "measure/runview.h"
#include "measure/speedtest.h"
#include "platform/desktop.h"
#include "platform/drives.h"

namespace console {

// The root of the drive a folder named with --drive stands for: volumeOf(folder, path) is asked
// with path made absolute and its links resolved. Throws platform::Failure when the path does
// not exist, and passes on volumeOf's refusals.
QString driveRootOf(const QString& path,
                    const std::function<QString(const QString&, const QString&)>& volumeOf);

struct ConsoleRunSettings {
    QString mountRoot;  // the drive's root, as the window's drive list gives it
    int testLines = 0;  // the size, as the command line read it
    bool human = false;
    // Draw a progress line on the error stream (only sensible on a terminal).
    bool showProgress = false;
};

// One START run without a window: the same SpeedTest, its result written to standard output and
// its messages to standard error. Runs on the thread of a QCoreApplication, whose event loop the
// pauses and phases turn.
class ConsoleRun : public measure::RunView,
                   private platform::MessageBoxService,
                   private platform::PointerService {
public:
    ConsoleRun(ConsoleRunSettings settings, measure::CoreServices services, std::FILE* out = stdout,
               std::FILE* err = stderr);
    ~ConsoleRun() override;
    ConsoleRun(const ConsoleRun&) = delete;
    ConsoleRun& operator=(const ConsoleRun&) = delete;

    // Runs once and returns the exit status: 0 with the times handed to out (whoever closes out
    // checks that they reached it), 1 after a failure whose message went to err or when a
    // notice could not be written, 128 + the signal's number after stop().
    int exec();

    // Ends the run as QUIT does: the phase under way stops at its next chunk and a wait ends
    // at once. Called from the event loop when an end signal came.
    void stop(int signalNumber);

    // RunView: the size and the drive as the command line read them; the result is written
    // once the run is over.
    measure::SizeAsked sizeAsked() override { return {settings_.testLines, {}}; }
    QString driveChosen() override { return settings_.mountRoot; }
    void runStarted() override {}
    void resultChanged(const measure::RunResult&, measure::Phase) override {}
    void waitBetweenSteps(double seconds) override;
    void runEnded(const measure::RunResult&) override {}

private:
    // MessageBoxService: the message goes to err.
    void showMessage(const QString& text) override;
    // PointerService: no pointer here.
    void setBusy(bool busy) override;

    void writeErr(const QString& text);

    class ProgressLine;

    ConsoleRunSettings settings_;
    measure::CoreServices services_;
    std::FILE* out_;
    std::FILE* err_;
    bool errFailed_ = false;  // a message did not reach err
    int stopSignal_ = 0;
    std::unique_ptr<measure::SpeedTest> speedTest_;
    std::unique_ptr<ProgressLine> progress_;
};

// Writes and flushes the text; false when any of it did not reach the system.
bool writeStream(std::FILE* stream, const QString& text);

// The progress line's text for one reading: phase name, megabytes done of the total, and the
// rate since the phase began; "" when no phase runs.
QString progressText(measure::Phase phase, qint64 bytesDone, qint64 totalBytes,
                     double secondsInPhase);

}  // namespace console
