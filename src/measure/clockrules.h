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
// floor((end - start) * 100) / 100 in single precision; an interval across midnight adds a day.
float elapsedBetween(float start, float end);
float ElapsedSeconds(platform::Clock& clock, float start);
// At most 7 significant digits in ASCII, the locale's decimal separator, no group separator.
QString elapsedText(float value, const QLocale& locale = QLocale());
// Waits pauseTime seconds of clock time while the events that come are handled; always ends,
// at once when the program is told to end.
void Pause(platform::Clock& clock, platform::EventPump& pump, double pauseTime);

}  // namespace measure
