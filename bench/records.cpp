// The load of the test files' records: 20,000 records of other places, as years of interrupted
// runs on sticks since gone could leave, read and judged once per look at a leftover. The load
// is one pass over the file; this figure shows what that costs outside the timed phases.

#include <QByteArray>
#include <QFile>
#include <QString>

#include "common.h"
#include "figures.h"
#include "ownership/journal.h"

namespace bench {

namespace {

void recordsLoad(benchmark::State& state) {
    const QString folder = QString::fromStdString(workFolder);
    const QString file = folder + QStringLiteral("/test-files");
    const QByteArray name = QByteArray("TEST.TXT").toHex();
    QByteArray records;
    for (int record = 0; record < int(state.range(0)); ++record) {
        records += QByteArray("/media/stick-").append(QByteArray::number(record)).toHex() + ' ' +
                   name + " 4000000000 8 " + QByteArray::number(record) + " 1 1700000000 0 0 0\n";
    }
    for (auto _ : state) {
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly) || out.write(records) != records.size())
            die("cannot write " + file.toStdString());
        out.close();
        ownership::Journal journal(folder);
        const auto start = Clock::now();
        const bool vouches =
            journal.vouchesFor(QStringLiteral("/media/stick-1"), QStringLiteral("TEST.TXT"),
                               platform::FileIdentity{8, 1, true, 1700000000, 0});
        finishTimed(state, start);
        benchmark::DoNotOptimize(vouches);
    }
    removeQuietly(file.toStdString());
}

}  // namespace

void registerRecordFigures() {
    registerTimed("records_load", recordsLoad)->Arg(20000);
}

}  // namespace bench
