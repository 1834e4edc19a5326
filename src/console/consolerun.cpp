#include "console/consolerun.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QLocale>
#include <QTimer>
#include <cerrno>
#include <cstring>

#include "console/commandline.h"
#include "console/runlog.h"
#include "driveinfo/driveanswers.h"
#include "measure/clockrules.h"
#include "measure/resulttext.h"
#include "platform/failure.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/systemfiles.h"
#include "platform/terminal.h"

namespace console {

namespace {

constexpr int kProgressIntervalMs = 100;
constexpr double kBytesPerMegabyte = 1000000.0;

using measure::Phase;

}  // namespace

QString driveRootOf(const QString& path,
                    const std::function<QString(const QString&, const QString&)>& volumeOf) {
    // Links resolved, as the window's current folder is: the drive is where the folder really is.
    const QString absolute = path.startsWith(QLatin1Char('/'))
                                 ? path
                                 : platform::joinPath(platform::currentFolder(), path);
    QString folder;
    try {
        folder = platform::systemfiles::followedPath({}, absolute);
    } catch (const platform::Failure& failure) {
        platform::raiseSystemFailure(QStringLiteral("Cannot measure the drive of"), path,
                                     failure.error());
    }
    return volumeOf(folder, path);
}

QString progressText(Phase phase, qint64 bytesDone, qint64 totalBytes, double secondsInPhase,
                     int run, int runs) {
    const QString name = measure::phaseNames(phase).word;
    if (name.isEmpty()) return {};
    const QString series = runs > 1 ? QStringLiteral("run %1/%2  ").arg(run).arg(runs) : QString();
    constexpr int kBarWidth = 20;
    const double share =
        totalBytes > 0 ? qBound(0.0, double(bytesDone) / double(totalBytes), 1.0) : 0.0;
    const int filled = int(share * kBarWidth);
    QString text =
        series +
        QStringLiteral("%1 [%2%3] %4 / %5 MB")
            .arg(name, -6)
            .arg(QString(filled, QLatin1Char('#')), QString(kBarWidth - filled, QLatin1Char('.')))
            .arg(measure::decimalText(double(bytesDone) / kBytesPerMegabyte, 'f', 1),
                 measure::decimalText(double(totalBytes) / kBytesPerMegabyte, 'f', 1));
    if (secondsInPhase > 0.0 && bytesDone > 0) {
        text += QStringLiteral("  %1 MB/s")
                    .arg(measure::decimalText(
                        double(bytesDone) / kBytesPerMegabyte / secondsInPhase, 'f', 1));
    }
    return text;
}

// Redraws one line on the error stream from a timer on the run's own thread. It only reads the
// run's progress counters, so the timed work on the worker thread never waits for it.
class ConsoleRun::ProgressLine {
public:
    ProgressLine(const measure::RunProgress& progress, std::FILE* err)
        : progress_(progress), err_(err) {
        timer_.setInterval(kProgressIntervalMs);
        QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { draw(); });
        timer_.start();
    }
    ~ProgressLine() { erase(); }

    void setRun(int run, int runs) {
        run_ = run;
        runs_ = runs;
    }

    // Clears the line so that a message can be written in its place.
    void erase() {
        if (!shown_) return;
        shown_ = false;
        if (!inForeground()) return;
        std::fputs("\r\033[K", err_);
        std::fflush(err_);
    }

private:
    // A background job that writes to its terminal is stopped (SIGTTOU under `stty tostop`),
    // and the stop would fall into a timed phase: the line is drawn only in the foreground.
    bool inForeground() const { return platform::inTerminalForeground(fileno(err_)); }

    void draw() {
        const Phase phase = progress_.phase.load(std::memory_order_relaxed);
        if (phase != phase_) {
            phase_ = phase;
            phaseClock_.start();
        }
        const QString text =
            progressText(phase, progress_.bytesDone.load(std::memory_order_relaxed),
                         progress_.totalBytes.load(std::memory_order_relaxed),
                         double(phaseClock_.elapsed()) / 1000.0, run_, runs_);
        if (text.isEmpty()) {
            erase();
            return;
        }
        if (!inForeground()) return;
        // A line that cannot be drawn is no failure of the run; the result is checked on its own.
        shown_ = std::fputs(("\r\033[K" + text).toLocal8Bit().constData(), err_) >= 0 &&
                 std::fflush(err_) == 0;
    }

    const measure::RunProgress& progress_;
    std::FILE* err_;
    QTimer timer_;
    QElapsedTimer phaseClock_;
    Phase phase_ = Phase::None;
    bool shown_ = false;
    int run_ = 1;
    int runs_ = 1;
};

ConsoleRun::ConsoleRun(ConsoleRunSettings settings, measure::CoreServices services, std::FILE* out,
                       std::FILE* err)
    : settings_(std::move(settings)),
      services_(services),
      out_(out),
      err_(err),
      speedTest_(std::make_unique<measure::SpeedTest>(
          *this, measure::RunServices{services_.clock, services_.files, services_.process, nullptr,
                                      *this, *this, services_.steps, services_.driveAnswers,
                                      &services_.volumes, ownership::Retry::RunAgain})) {}

ConsoleRun::~ConsoleRun() = default;

int ConsoleRun::exec() {
    std::unique_ptr<RunLog> log;
    try {
        // Refused before anything is made on a drive.
        if (!settings_.logPath.isEmpty()) log = std::make_unique<RunLog>(settings_.logPath);
    } catch (const std::exception& failure) {
        writeErr(platform::describe(failure) + QLatin1Char('\n'));
        return kExitFailed;
    }
    if (settings_.showProgress)
        progress_ = std::make_unique<ProgressLine>(speedTest_->progress(), err_);
    bool logFailed = false;
    for (int number = 1; number <= settings_.repeat; ++number) {
        if (const std::optional<int> status = runOnce(number)) return *status;
        // Each line as its run ends, for a script reading them as they come.
        if (!settings_.json) writeOut(measure::resultLine(speedTest_->result()) + '\n');
        if (!log || logFailed) continue;
        try {
            log->append(runs_.last(), driveFacts());
        } catch (const std::exception& failure) {
            logFailed = true;
            writeErr(QStringLiteral("dov-uruvivuz: %1; this run and those after it are not in "
                                    "the log\n")
                         .arg(platform::describe(failure)));
        }
    }
    progress_.reset();
    QString text;
    if (settings_.json)
        text = QString::fromUtf8(jsonDocument(driveFacts(), runs_.first().bytes, runs_));
    else if (settings_.human && runs_.size() == 1)
        text = measure::resultSummary(speedTest_->result());
    else if (settings_.human)
        text = spreadSummary(runs_, settings_.mountRoot);
    if (!text.isEmpty()) writeOut(text);
    return errFailed_ || logFailed ? kExitFailed : kExitDone;
}

std::optional<int> ConsoleRun::runOnce(int number) {
    if (progress_) progress_->setRun(number, settings_.repeat);
    notices_.clear();
    const QDateTime started = QDateTime::currentDateTimeUtc();
    speedTest_->run();
    if (const int signalNumber = stopSignal_) {
        progress_.reset();
        speedTest_->removeRunFiles();
        writeErr(QStringLiteral("%1: the run was stopped and its test files removed\n")
                     .arg(QString::fromLocal8Bit(::strsignal(signalNumber))));
        return kExitSignalBase + signalNumber;
    }
    // Only a complete run hands over its times; a notice after it is no failure, as long as it
    // reached the error stream.
    const measure::RunResult& result = speedTest_->result();
    if (!result.complete) return kExitFailed;
    RunRecord record{started, {}, result.bytes, notices_};
    for (int phase = 0; phase < 3; ++phase)
        record.seconds[phase] = result.secondsOf(measure::kTimedPhases[phase]).value_or(0.0);
    runs_.append(record);
    return std::nullopt;
}

// Read once, after the first run proved that the drive answers.
const driveinfo::DriveFacts& ConsoleRun::driveFacts() {
    if (!driveFacts_) driveFacts_ = driveinfo::driveFactsOf(settings_.mountRoot);
    return *driveFacts_;
}

void ConsoleRun::stop(int signalNumber) {
    if (stopSignal_ == 0) stopSignal_ = signalNumber;
    // Leaves the wait or the phase's loop under way, as QUIT does in the window.
    speedTest_->stop();
}

void ConsoleRun::waitBetweenSteps(double seconds) {
    measure::Pause(services_.clock, services_.pump, seconds);
}

void ConsoleRun::showMessage(const QString& text) {
    notices_.append(text);
    writeErr(text + QLatin1Char('\n'));
}

void ConsoleRun::setBusy(bool) {}

// Flushed at once for a script reading the lines as they come; whether they reached out is checked
// once, when standard output is closed (consolestartup.h).
void ConsoleRun::writeOut(const QString& text) {
    if (!writeStream(out_, text) && outputError_ == 0) outputError_ = errno ? errno : EIO;
}

void ConsoleRun::writeErr(const QString& text) {
    if (progress_) progress_->erase();
    if (!writeStream(err_, text)) errFailed_ = true;
}

// The whole text is in the stream's buffer and handed to the system; a full disk, a closed pipe
// (EPIPE, as SIGPIPE is ignored) or /dev/full fail here.
bool writeStream(std::FILE* stream, const QString& text) {
    const bool written = std::fputs(text.toLocal8Bit().constData(), stream) >= 0;
    return std::fflush(stream) == 0 && written;
}

}  // namespace console
