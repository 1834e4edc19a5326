#pragma once

// Collects the medians as the figures finish and prints them side by side at the end.

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include "figures.h"

namespace bench {

class CollectingReporter : public benchmark::ConsoleReporter {
public:
    CollectingReporter();
    void ReportRuns(const std::vector<Run>& runs) override;

    std::map<std::string, double> seconds;
    std::map<std::string, double> peakMiB;
};

// Each figure against its reference, as a ratio with its goal.
void printComparison(const CollectingReporter& figures, const WholeRunPlaces& places);

}  // namespace bench
