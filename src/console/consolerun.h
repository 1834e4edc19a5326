#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

#include "console/seriesreport.h"
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
    int repeat = 1;
    bool json = false;
    QString logPath;  // empty: no log
    // Draw a progress line on the error stream (only sensible on a terminal).
    bool showProgress = false;
};

// A series of START runs without a window: the same SpeedTest, each result written to standard
// output and the messages to standard error. Runs on the thread of a QCoreApplication, whose
// event loop the pauses and phases turn.
class ConsoleRun : public measure::RunView,
                   private platform::MessageBoxService,
                   private platform::PointerService {
public:
    ConsoleRun(ConsoleRunSettings settings, measure::CoreServices services, std::FILE* out = stdout,
               std::FILE* err = stderr);
    ~ConsoleRun() override;
    ConsoleRun(const ConsoleRun&) = delete;
    ConsoleRun& operator=(const ConsoleRun&) = delete;

    // Runs the series and returns the exit status: 0 with the times handed to out (whoever closes
    // out checks that they reached it), 1 after a failure whose message went to err (which ends
    // the series), when a notice or a log row could not be written, or the log was refused; 128 +
    // the signal's number after stop().
    int exec();
    // The errno of the first write to out that failed; 0 while none did.
    int outputError() const { return outputError_; }

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

    void writeOut(const QString& text);
    void writeErr(const QString& text);
    // One run of the series; its record is added to runs_. The exit status when the series
    // ends with it, none when it completed.
    std::optional<int> runOnce(int number);
    const driveinfo::DriveFacts& driveFacts();

    class ProgressLine;

    ConsoleRunSettings settings_;
    measure::CoreServices services_;
    std::FILE* out_;
    std::FILE* err_;
    QStringList notices_;  // what the run under way told besides its times
    QList<RunRecord> runs_;
    std::optional<driveinfo::DriveFacts> driveFacts_;
    int outputError_ = 0;
    bool errFailed_ = false;  // a message did not reach err
    int stopSignal_ = 0;
    std::unique_ptr<measure::SpeedTest> speedTest_;
    std::unique_ptr<ProgressLine> progress_;
};

// Writes and flushes the text; false when any of it did not reach the system.
bool writeStream(std::FILE* stream, const QString& text);

// The progress line's text for one reading: the run of a series of several, phase name,
// megabytes done of the total, and the rate since the phase began; "" when no phase runs.
QString progressText(measure::Phase phase, qint64 bytesDone, qint64 totalBytes,
                     double secondsInPhase, int run = 1, int runs = 1);

}  // namespace console
