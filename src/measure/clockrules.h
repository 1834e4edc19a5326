#pragma once

#include <QLocale>
#include <QString>

namespace platform {
class Clock;
class EventPump;
}  // namespace platform

namespace measure {

// One clock reading: seconds since local midnight in single precision.
float ClockSeconds(platform::Clock& clock);
// end - start in single precision, as measured; an interval across midnight adds a day.
float secondsBetween(float start, float end);
// A measured time as the boxes show it: floor(seconds * 100) / 100 in single precision.
float shownSeconds(double measured);
// shownSeconds(secondsBetween(start, end)).
float elapsedBetween(float start, float end);
// At most 7 significant digits in ASCII, the locale's decimal separator, no group separator.
QString elapsedText(float value, const QLocale& locale = QLocale());
// Waits pauseTime seconds of clock time while the events that come are handled; always ends,
// at once when the program is told to end.
void Pause(platform::Clock& clock, platform::EventPump& pump, double pauseTime);

}  // namespace measure
