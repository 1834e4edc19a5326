#include "measure/clockrules.h"

#include <algorithm>
#include <cmath>

#include "platform/clock.h"
#include "platform/eventpump.h"

namespace measure {

namespace {
constexpr float kSecondsPerDay = 86400.0f;
}

float ClockSeconds(platform::Clock& clock) {
    return static_cast<float>(clock.secondsSinceLocalMidnight());
}

float secondsBetween(float start, float end) {
    float difference = end - start;
    // The clock restarts at midnight; the readings come from a monotonic source, so a later
    // reading below the start can only mean the day changed in between.
    if (difference < 0.0f) difference += kSecondsPerDay;
    return difference;
}

float shownSeconds(double measured) {
    const float hundredths = std::floor(static_cast<float>(measured) * 100.0f);
    return hundredths / 100.0f;
}

float elapsedBetween(float start, float end) {
    return shownSeconds(secondsBetween(start, end));
}

QString elapsedText(float value, const QLocale& locale) {
    // ASCII digits in every locale, as the panel's sizes; only the decimal separator is the
    // locale's. Seven significant digits is what a single-precision value carries; a cut
    // elapsed value is 0 or at least 0.01 and below a day, so no exponent ever shows.
    QLocale digits = QLocale::c();
    digits.setNumberOptions(QLocale::OmitGroupSeparator);
    QString text = digits.toString(static_cast<double>(value), 'g', 7);
    text.replace(QLatin1Char('.'), locale.decimalPoint());
    return text;
}

void Pause(platform::Clock& clock, platform::EventPump& pump, double pauseTime) {
    const double start = ClockSeconds(clock);
    double previous = start;
    double daysPassed = 0.0;
    for (;;) {
        const double reading = ClockSeconds(clock);
        // Count each midnight so that the wait ends even when it spans one.
        if (reading < previous) daysPassed += kSecondsPerDay;
        previous = reading;
        const double remaining = start + pauseTime - (reading + daysPassed);
        if (!(remaining > 0.0)) return;
        // Asleep until an event comes or the time is up; the clock says how much is left (whole
        // milliseconds, not rounded up for the last bits of a sum).
        const int milliseconds =
            std::max(1, int(std::ceil(std::min(remaining, 1.0) * 1000.0 - 1e-6)));
        if (!pump.waitForEvents(milliseconds)) return;
    }
}

}  // namespace measure
