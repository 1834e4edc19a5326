#pragma once

#include <QLocale>
#include <QString>

namespace measure {

// Lines of test file per megabyte: 20000 lines of 50 bytes make 1,000,000 bytes.
inline constexpr double kLinesPerMegabyte = 20000.0;

// Combo1's text in megabytes -> number of test lines. The text is read with the locale's
// decimal separator, in ASCII digits or the locale's own; group separators are refused so that
// "1,000" or "0,5" can never be read as a size ten or a thousand times off. Throws
// platform::Failure naming the text when it is not a finite number or the line count does not fit
// in 32 bits.
int testLineCount(const QString& sizeText, const QLocale& locale = QLocale());

}  // namespace measure
