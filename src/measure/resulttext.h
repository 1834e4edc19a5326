#pragma once

#include <QLocale>
#include <QString>
#include <array>
#include <optional>

#include "measure/runresult.h"

namespace measure {

// The one table of the timed phases' names.
struct PhaseNames {
    QString word;    // the progress line's: "create"
    QString label;   // the summary's, as the window's captions: "DATA CREATE"
    QString phrase;  // a sentence's: "the creation of the test file"
};
PhaseNames phaseNames(Phase phase);

// The one formatter of a result: what the three time boxes show, the line on the clipboard and
// on standard output, and the command line's summary. A time that is empty shows empty.
QString formatTime(const std::optional<double>& seconds, const QLocale& locale = QLocale());
std::array<QString, 3> formatTimes(const RunResult& result, const QLocale& locale = QLocale());
// The three time texts joined by tabs, without an end of line.
QString resultLine(const RunResult& result, const QLocale& locale = QLocale());
// The test file's size, the drive and one line per phase with its rate, each line ended.
QString resultSummary(const RunResult& result, const QLocale& locale = QLocale());

// A number in the times' kind of digits (ASCII, as elapsedText gives them) with the locale's
// decimal separator, so that a line never mixes two kinds of digits.
QString decimalText(double value, char format, int precision, const QLocale& locale = QLocale());

}  // namespace measure
