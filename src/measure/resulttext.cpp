#include "measure/resulttext.h"

#include "measure/clockrules.h"
#include "platform/paths.h"

namespace measure {

namespace {
constexpr double kBytesPerMegabyte = 1000000.0;
}  // namespace

std::optional<double>& RunResult::secondsOf(Phase phase) {
    return const_cast<std::optional<double>&>(std::as_const(*this).secondsOf(phase));
}

const std::optional<double>& RunResult::secondsOf(Phase phase) const {
    static const std::optional<double> none;
    switch (phase) {
        case Phase::Create:
            return createSeconds;
        case Phase::Write:
            return writeSeconds;
        case Phase::Read:
            return readSeconds;
        case Phase::None:
            break;
    }
    return none;
}

PhaseNames phaseNames(Phase phase) {
    switch (phase) {
        case Phase::Create:
            return {QStringLiteral("create"), QStringLiteral("DATA CREATE"),
                    QStringLiteral("the creation of the test file")};
        case Phase::Write:
            return {QStringLiteral("write"), QStringLiteral("WRITE TIME"),
                    QStringLiteral("the write copy")};
        case Phase::Read:
            return {QStringLiteral("read"), QStringLiteral("READ TIME"),
                    QStringLiteral("the read copy")};
        case Phase::None:
            break;
    }
    return {{}, {}, QStringLiteral("a timed step")};
}

QString formatTime(const std::optional<double>& seconds, const QLocale& locale) {
    return seconds ? elapsedText(shownSeconds(*seconds), locale) : QString();
}

std::array<QString, 3> formatTimes(const RunResult& result, const QLocale& locale) {
    return {formatTime(result.createSeconds, locale), formatTime(result.writeSeconds, locale),
            formatTime(result.readSeconds, locale)};
}

QString resultLine(const RunResult& result, const QLocale& locale) {
    const std::array<QString, 3> texts = formatTimes(result, locale);
    const QChar tab(QLatin1Char('\t'));
    return texts[0] + tab + texts[1] + tab + texts[2];
}

// The rates come from the times as shown, so that they agree with the line.
QString resultSummary(const RunResult& result, const QLocale& locale) {
    const double megabytes = double(result.bytes) / kBytesPerMegabyte;
    QString text =
        QStringLiteral("Test file of %1 MB, drive %2\n")
            .arg(decimalText(megabytes, 'g', 15, locale), platform::displayPath(result.mountRoot));
    for (const Phase phase : kTimedPhases) {
        const std::optional<double>& measured = result.secondsOf(phase);
        const float seconds = measured ? shownSeconds(*measured) : 0.0f;
        text += QStringLiteral("%1  %2 s")
                    .arg(phaseNames(phase).label, -11)
                    .arg(formatTime(measured, locale), 8);
        if (megabytes > 0.0) {
            if (seconds > 0.0f) {
                text += QStringLiteral("  %1 MB/s")
                            .arg(decimalText(megabytes / double(seconds), 'f', 2, locale));
            } else {
                text += QStringLiteral("  too fast to time (under 0.01 s)");
            }
        }
        text += QLatin1Char('\n');
    }
    return text;
}

QString decimalText(double value, char format, int precision, const QLocale& locale) {
    QString text = QString::number(value, format, precision);
    text.replace(QLatin1Char('.'), locale.decimalPoint());
    return text;
}

}  // namespace measure
