// How much of each timed phase is the program's own overhead: the create phase against plain
// 1 MiB block writes of the same bytes, the write and read copies against dd, the read-back
// check against a plain read; and, from whole runs of the command-line program built beside
// this one, the peak memory of a large run against a small one and the cost of the progress
// line. Prints the comparison as ratios at the end.
//
//   dov_bench [--dir=FOLDER] [--mb=N] [--peak-mb=N] [--repetitions=N] [benchmark options]

#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "figures.h"
#include "report.h"

namespace {

bool takeOption(const char* argument, const char* name, std::string& value) {
    const std::size_t length = std::strlen(name);
    if (std::strncmp(argument, name, length) != 0 || argument[length] != '=') return false;
    value = argument + length + 1;
    return true;
}

// Takes this program's own options out; the rest are the benchmark library's.
std::vector<char*> readOptions(int argc, char** argv) {
    bench::Settings& settings = bench::settings;
    std::vector<char*> remaining{argv[0]};
    for (int i = 1; i < argc; ++i) {
        std::string value;
        if (takeOption(argv[i], "--dir", value)) {
            settings.folder = value;
        } else if (takeOption(argv[i], "--mb", value)) {
            settings.megabytes = std::stoi(value);
        } else if (takeOption(argv[i], "--peak-mb", value)) {
            settings.peakMegabytes = std::stoi(value);
        } else if (takeOption(argv[i], "--repetitions", value)) {
            settings.repetitions = std::stoi(value);
        } else {
            remaining.push_back(argv[i]);
        }
    }
    return remaining;
}

void makeWorkFolder() {
    std::string pattern = bench::settings.folder + "/dov-bench-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        bench::die("cannot create a folder in " + bench::settings.folder);
    bench::workFolder = pattern;
    if (::mkdir((pattern + "/program").c_str(), 0755) != 0 ||
        ::mkdir((pattern + "/drive").c_str(), 0755) != 0)
        bench::die("cannot create folders in " + pattern);
}

void removeWorkFolder() {
    for (const std::string& path : {bench::localPath(), bench::targetPath(), bench::readBackPath()})
        bench::removeQuietly(path);
    ::rmdir((bench::workFolder + "/program").c_str());
    ::rmdir((bench::workFolder + "/drive").c_str());
    ::rmdir(bench::workFolder.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> remaining = readOptions(argc, argv);
    int remainingCount = int(remaining.size());
    benchmark::Initialize(&remainingCount, remaining.data());
    if (benchmark::ReportUnrecognizedArguments(remainingCount, remaining.data())) return 1;

    makeWorkFolder();
    std::atexit(removeWorkFolder);  // also when a failure ends the benchmark
    bench::registerPhaseFigures();
    bench::registerWholeRunFigures();
    bench::registerRecordFigures();

    bench::CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    bench::printComparison(reporter, bench::wholeRunPlaces());
    return 0;
}
