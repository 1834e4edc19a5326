#pragma once

#include <QLocale>
#include <QString>

namespace measure {

// Lines of test file per megabyte: 20000 lines of 50 bytes make 1,000,000 bytes.
inline constexpr double kLinesPerMegabyte = 20000.0;

// Combo1's text in megabytes -> number of test lines. The text is read with the locale's
// decimal separator, in ASCII digits, full-width ones (１０, as a Japanese input method types
// them) or the locale's own; group separators are refused so that "1,000" or "0,5" can never be
// read as a size ten or a thousand times off. Throws platform::Failure naming the text (cut to a
// readable length) when it is not a finite number or the line count does not fit in 32 bits.
// Takes time in proportion to the text's length.
int testLineCount(const QString& sizeText, const QLocale& locale = QLocale());

// A size text as a message shows it: a long one cut to its first characters.
QString shownSizeText(const QString& sizeText);

}  // namespace measure
