#include "report.h"

#include <unistd.h>
#include <cstdio>

#include "common.h"

namespace bench {

namespace {

double secondsOf(const CollectingReporter& figures, const std::string& name) {
    const auto found = figures.seconds.find(name);
    return found == figures.seconds.end() ? -1.0 : found->second;
}

void printRatio(const CollectingReporter& figures, const char* ours, const std::string& oursName,
                const char* reference, const std::string& referenceName, double goal) {
    const double a = secondsOf(figures, oursName);
    const double b = secondsOf(figures, referenceName);
    if (a < 0 || b < 0) return;
    const double ratio = a / b;
    std::printf("%-30s %8.3f s   %-26s %8.3f s   %5.2fx  (goal <= %.2fx) %s\n", ours, a, reference,
                b, ratio, goal, ratio <= goal ? "ok" : "MISSED");
}

void printPeakMemory(const CollectingReporter& figures) {
    const std::string large = "peak_memory/" + std::to_string(settings.peakMegabytes);
    const auto big = figures.peakMiB.find(large);
    const auto small = figures.peakMiB.find("peak_memory/10");
    if (big == figures.peakMiB.end() || small == figures.peakMiB.end()) return;
    const double difference = (big->second - small->second) * 1.048576;  // MiB -> MB
    std::printf("%-30s %8.1f MiB %-26s %8.1f MiB %+6.1f MB (goal within 10 MB) %s\n",
                ("peak memory, " + std::to_string(settings.peakMegabytes) + " MB run").c_str(),
                big->second, "peak memory, 10 MB run", small->second, difference,
                difference <= 10.0 ? "ok" : "MISSED");
}

}  // namespace

// Colour only on a terminal, so that a saved log stays readable.
CollectingReporter::CollectingReporter()
    : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

void CollectingReporter::ReportRuns(const std::vector<Run>& runs) {
    for (const Run& run : runs) {
        const bool single = run.repetitions <= 1 && run.run_type == Run::RT_Iteration;
        if (!single && run.aggregate_name != "median") continue;
        std::string name = run.run_name.function_name;
        if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
        seconds[name] = run.GetAdjustedRealTime() / 1000.0;  // reported in milliseconds
        const auto counter = run.counters.find("maxrss_MiB");
        if (counter != run.counters.end()) peakMiB[name] = counter->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
}

void printComparison(const CollectingReporter& figures, const WholeRunPlaces& places) {
    std::printf("\nComparison (%d MB test file in %s, medians of %d runs)\n", settings.megabytes,
                settings.folder.c_str(), settings.repetitions);
    if (places.onOtherDisk) {
        std::printf("(the whole runs keep their local test file in %s, on another disk)\n",
                    places.localFolder.c_str());
    }
    printRatio(figures, "create phase (writeLine)", "create_phase", "raw 1 MiB block writes",
               "raw_block_write", 1.30);
    printRatio(figures, "write copy (fsync + drop)", "write_copy", "dd bs=1M conv=fsync",
               "dd_write", 1.05);
    printRatio(figures, "read copy (pages dropped)", "read_copy", "dd bs=1M", "dd_read", 1.05);
    printRatio(figures, "read-back check (cached)", "read_back_check", "plain read, same blocks",
               "plain_read", 1.5);
    printRatio(figures, "command-line run, progress", "console_run/1", "the same without progress",
               "console_run/0", 1.05);
    printRatio(figures, "command-line run, --json", "console_run/2", "the same, plain line",
               "console_run/0", 1.05);
    printRatio(figures, "command-line run, --log", "console_run/3", "the same, plain line",
               "console_run/0", 1.05);
    printRatio(figures, "size text, 131,000 characters", "size_text/131000",
               "size text, 1,310 characters", "size_text/1310", 150.0);
    printPeakMemory(figures);
}

}  // namespace bench
