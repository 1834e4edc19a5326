#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <optional>

namespace measure {

// The timed phase under way.
enum class Phase { None, Create, Write, Read };

// What one run measured, as numbers, handed to the front ends as it goes: each timed phase's
// seconds as measured (the formatter cuts them for showing), the test file's size, the drive
// and the notices told at the end.
struct RunResult {
    // Empty until the phase finished, and again once a change of drive during a wait emptied
    // what was shown of it.
    std::optional<double> createSeconds;
    std::optional<double> writeSeconds;
    std::optional<double> readSeconds;
    qint64 bytes = 0;
    QString mountRoot;   // the drive's root, as the drive list gives it
    QString driveShown;  // the drive as a sentence names it
    QStringList notices;
    // True only after a run that exported its times: the one answer to "did the run succeed".
    bool complete = false;

    std::optional<double>& secondsOf(Phase phase);
    const std::optional<double>& secondsOf(Phase phase) const;
    // What a change of drive takes back: the times shown so far.
    void clearTimes() { createSeconds = writeSeconds = readSeconds = std::nullopt; }
};

// The timed phases in their order.
inline constexpr Phase kTimedPhases[] = {Phase::Create, Phase::Write, Phase::Read};

}  // namespace measure
