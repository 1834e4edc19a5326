#include "measure/sizerule.h"

#include <cfenv>
#include <cmath>
#include <limits>

#include "platform/failure.h"

namespace measure {

namespace {

[[noreturn]] void refuse(const QString& shownText, const char* reason) {
    throw platform::Failure(
        QStringLiteral("Data size '%1' %2").arg(shownText, QLatin1String(reason)));
}

}  // namespace

int testLineCount(const QString& sizeText, const QLocale& locale) {
    const QString text = sizeText.trimmed();
    QLocale reader = locale;
    reader.setNumberOptions(reader.numberOptions() | QLocale::RejectGroupSeparator);
    bool converted = false;
    const double megabytes = reader.toDouble(text, &converted);
    if (!converted) {
        // A number too big for a double still reads as one, only out of range.
        if (std::isinf(megabytes)) refuse(text, megabytes > 0 ? "is too large" : "is too small");
        refuse(text, "is not a number");
    }
    if (std::isnan(megabytes)) refuse(text, "is not a number");
    if (std::isinf(megabytes)) refuse(text, megabytes > 0 ? "is too large" : "is too small");

    const double lines = megabytes * kLinesPerMegabyte;
    if (std::isinf(lines)) refuse(text, lines > 0 ? "is too large" : "is too small");

    // Halves go to the even neighbour; nearbyint follows the rounding mode, which is
    // round-to-nearest-even unless something changed it, so make sure of it.
    const int savedMode = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double whole = std::nearbyint(lines);
    std::fesetround(savedMode);

    if (whole > static_cast<double>(std::numeric_limits<int>::max())) refuse(text, "is too large");
    if (whole < static_cast<double>(std::numeric_limits<int>::min())) refuse(text, "is too small");
    return static_cast<int>(whole);
}

}  // namespace measure
