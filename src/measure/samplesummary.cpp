#include "measure/samplesummary.h"

#include <algorithm>

namespace measure {

SampleSummary summarize(QList<double> samples) {
    SampleSummary summary;
    if (samples.isEmpty()) return summary;
    std::sort(samples.begin(), samples.end());
    const qsizetype count = samples.size();
    summary.count = int(count);
    summary.lowest = samples.first();
    summary.highest = samples.last();
    summary.median =
        count % 2 == 1 ? samples[count / 2] : (samples[count / 2 - 1] + samples[count / 2]) / 2.0;
    return summary;
}

}  // namespace measure
