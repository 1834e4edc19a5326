#pragma once

#include <QList>

namespace measure {

// The spread of a series of samples (the times or rates of repeated runs).
struct SampleSummary {
    int count = 0;  // 0: no samples, and the figures below mean nothing
    double median = 0.0;
    double lowest = 0.0;
    double highest = 0.0;
};

// The median (the mean of the two middle samples for an even count), the lowest and the highest
// of the samples, in any order.
SampleSummary summarize(QList<double> samples);

}  // namespace measure
