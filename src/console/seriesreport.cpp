#include "console/seriesreport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <algorithm>

#include "measure/clockrules.h"
#include "measure/resulttext.h"
#include "platform/paths.h"
#include "platform/version.h"

namespace console {

namespace {

constexpr double kBytesPerMegabyte = 1000000.0;
const char* const kPhaseKeys[3] = {"create", "write", "read"};
const QString kTooFast = QStringLiteral("too fast to time (under 0.01 s)");

// A time already cut as shown.
QString secondsText(double seconds) {
    return measure::elapsedText(float(seconds)) + QStringLiteral(" s");
}

QString rateText(std::optional<double> rate) {
    return rate ? measure::decimalText(*rate, 'f', 2) + QStringLiteral(" MB/s") : kTooFast;
}

// A plain decimal in the C notation, trailing zeros dropped: what every spreadsheet reads.
QString plainNumber(double value, int decimals) {
    QString text = QString::number(value, 'f', decimals);
    if (text.contains(QLatin1Char('.'))) {
        while (text.endsWith(QLatin1Char('0'))) text.chop(1);
        if (text.endsWith(QLatin1Char('.'))) text.chop(1);
    }
    return text;
}

QByteArray csvLine(const QStringList& fields) {
    QStringList quoted;
    for (const QString& field : fields) {
        static const QString special = QStringLiteral(",\"\r\n");
        const bool needsQuotes =
            std::any_of(field.begin(), field.end(), [](QChar c) { return special.contains(c); });
        quoted << (needsQuotes
                       ? QLatin1Char('"') +
                             QString(field).replace(QLatin1String("\""), QLatin1String("\"\"")) +
                             QLatin1Char('"')
                       : field);
    }
    return quoted.join(QLatin1Char(',')).toUtf8() + "\r\n";
}

// A name from a stick's label or firmware that a spreadsheet would run as a formula is kept as
// text.
QString inert(const QString& name) {
    static const QString formulaStarts = QStringLiteral("=+-@\t\r");
    return !name.isEmpty() && formulaStarts.contains(name[0]) ? QLatin1Char('\'') + name : name;
}

QJsonValue numberOrNull(std::optional<double> value) {
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QJsonValue bytesOrNull(double bytes) {
    return bytes >= 0.0 ? QJsonValue(bytes) : QJsonValue(QJsonValue::Null);
}

QJsonObject driveObject(const driveinfo::DriveFacts& drive) {
    return QJsonObject{{"mount_point", drive.mountPoint},
                       {"volume_name", drive.volumeName},
                       {"type", drive.type},
                       {"file_system", drive.fileSystem},
                       {"total_bytes", bytesOrNull(drive.totalBytes)},
                       {"free_bytes", bytesOrNull(drive.freeBytes)},
                       {"vendor", drive.vendor},
                       {"model", drive.model}};
}

QJsonObject runObject(const RunRecord& run) {
    QJsonObject object{{"started_utc", run.startedUtc.toString(Qt::ISODate)},
                       {"notices", QJsonArray::fromStringList(run.notices)}};
    for (int phase = 0; phase < 3; ++phase) {
        const QString key = QLatin1String(kPhaseKeys[phase]);
        object.insert(key + "_seconds", run.seconds[phase]);
        object.insert(key + "_mb_per_s",
                      numberOrNull(megabytesPerSecond(run.bytes, run.seconds[phase])));
    }
    return object;
}

QJsonObject summaryObject(const QList<RunRecord>& runs) {
    QJsonObject summary{{"runs", int(runs.size())}};
    const QList<PhaseSpread> spreads = phaseSpreads(runs);
    for (int phase = 0; phase < 3; ++phase) {
        const PhaseSpread& spread = spreads[phase];
        summary.insert(QLatin1String(kPhaseKeys[phase]),
                       QJsonObject{{"median_seconds", spread.seconds.median},
                                   {"lowest_seconds", spread.seconds.lowest},
                                   {"highest_seconds", spread.seconds.highest},
                                   {"median_mb_per_s", numberOrNull(spread.medianRate)}});
    }
    return summary;
}

}  // namespace

std::optional<double> megabytesPerSecond(qint64 bytes, double seconds) {
    if (!(seconds > 0.0)) return std::nullopt;
    return double(bytes) / kBytesPerMegabyte / seconds;
}

QList<PhaseSpread> phaseSpreads(const QList<RunRecord>& runs, bool asShown) {
    QList<PhaseSpread> spreads;
    for (int phase = 0; phase < 3; ++phase) {
        QList<double> seconds;
        QList<double> rates;
        for (const RunRecord& run : runs) {
            const double measured = run.seconds[phase];
            seconds << (asShown ? double(measure::shownSeconds(measured)) : measured);
            if (const auto rate = megabytesPerSecond(run.bytes, seconds.last())) rates << *rate;
        }
        PhaseSpread spread{measure::summarize(seconds), std::nullopt};
        if (!rates.isEmpty()) spread.medianRate = measure::summarize(rates).median;
        spreads << spread;
    }
    return spreads;
}

QString spreadSummary(const QList<RunRecord>& runs, const QString& mountRoot) {
    if (runs.isEmpty()) return {};
    const double megabytes = double(runs.first().bytes) / kBytesPerMegabyte;
    QString text =
        QStringLiteral("Test file of %1 MB, drive %2, %3 runs\n%4  %5  %6  %7  %8\n")
            .arg(measure::decimalText(megabytes, 'g', 15), platform::displayPath(mountRoot),
                 QString::number(runs.size()), QString(11, QLatin1Char(' ')),
                 QStringLiteral("median").rightJustified(10),
                 QStringLiteral("lowest").rightJustified(10),
                 QStringLiteral("highest").rightJustified(10), QStringLiteral("median rate"));
    const QList<PhaseSpread> spreads = phaseSpreads(runs, true);
    for (int phase = 0; phase < 3; ++phase) {
        const PhaseSpread& spread = spreads[phase];
        text += QStringLiteral("%1  %2  %3  %4  %5\n")
                    .arg(measure::phaseNames(measure::kTimedPhases[phase]).label, -11)
                    .arg(secondsText(spread.seconds.median), 10)
                    .arg(secondsText(spread.seconds.lowest), 10)
                    .arg(secondsText(spread.seconds.highest), 10)
                    .arg(rateText(spread.medianRate));
    }
    return text;
}

QByteArray jsonDocument(const driveinfo::DriveFacts& drive, qint64 sizeBytes,
                        const QList<RunRecord>& runs) {
    QJsonArray runArray;
    for (const RunRecord& run : runs) runArray.append(runObject(run));
    const QJsonObject document{{"program", QStringLiteral("DOV Uruvivuz")},
                               {"version", QLatin1String(platform::version::kFullVersion)},
                               {"drive", driveObject(drive)},
                               {"size_bytes", double(sizeBytes)},
                               {"runs", runArray},
                               {"summary", summaryObject(runs)}};
    return QJsonDocument(document).toJson(QJsonDocument::Indented);
}

QByteArray csvHeader() {
    return csvLine({"started_utc", "mount_point", "volume_name", "type", "file_system", "vendor",
                    "model", "size_mb", "create_seconds", "write_seconds", "read_seconds",
                    "write_mb_per_s", "read_mb_per_s", "version"});
}

QByteArray csvRow(const RunRecord& run, const driveinfo::DriveFacts& drive) {
    QStringList fields{run.startedUtc.toString(Qt::ISODate),
                       drive.mountPoint,
                       inert(drive.volumeName),
                       drive.type,
                       drive.fileSystem,
                       inert(drive.vendor),
                       inert(drive.model),
                       plainNumber(double(run.bytes) / kBytesPerMegabyte, 6)};
    for (const double seconds : run.seconds) fields << plainNumber(seconds, 6);
    for (int phase = 1; phase < 3; ++phase) {
        const auto rate = megabytesPerSecond(run.bytes, run.seconds[phase]);
        fields << (rate ? plainNumber(*rate, 3) : QString());
    }
    fields << QLatin1String(platform::version::kFullVersion);
    return csvLine(fields);
}

}  // namespace console
