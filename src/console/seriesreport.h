#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

#include "driveinfo/drivefacts.h"
#include "measure/samplesummary.h"

// What a series of runs measured, and the ways the command line hands it out: the human
// summary, one JSON document, and the rows of the CSV log.
namespace console {

// One completed run.
struct RunRecord {
    QDateTime startedUtc;
    double seconds[3] = {0.0, 0.0, 0.0};  // create, write, read, as measured
    qint64 bytes = 0;
    QStringList notices;  // what the run told besides its times
};

// The times of one phase over the series, and the median rate of the runs that took time.
struct PhaseSpread {
    measure::SampleSummary seconds;
    std::optional<double> medianRate;  // MB/s; none when every run was too fast to time
};

// MB/s for bytes in seconds; none for 0 s, which is too fast to time.
std::optional<double> megabytesPerSecond(qint64 bytes, double seconds);
// Per phase: create, write, read; of the times as measured, or as the boxes show them.
QList<PhaseSpread> phaseSpreads(const QList<RunRecord>& runs, bool asShown = false);

// The summary --human prints after several runs: per phase the median, lowest and highest time
// and the median rate, from the times as shown, as one run's summary has them.
QString spreadSummary(const QList<RunRecord>& runs, const QString& mountRoot);

// The one document of --json; every string escaped by the JSON writer.
QByteArray jsonDocument(const driveinfo::DriveFacts& drive, qint64 sizeBytes,
                        const QList<RunRecord>& runs);

// The log's header and one run's row, RFC 4180 with CR LF line ends and "." as the decimal
// separator whatever the locale.
QByteArray csvHeader();
QByteArray csvRow(const RunRecord& run, const driveinfo::DriveFacts& drive);

}  // namespace console
