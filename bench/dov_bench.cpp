// How much of each timed phase is the program's own overhead: the create phase against plain
// 1 MiB block writes of the same bytes, the write and read copies against dd, and the peak
// memory of a large run against a small one. Prints the comparison as ratios at the end.
//
//   dov_bench [--dir=FOLDER] [--mb=N] [--peak-mb=N] [--repetitions=N] [benchmark options]

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QString>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "measure/clockrules.h"
#include "measure/consolerun.h"
#include "measure/runview.h"
#include "measure/sizerule.h"
#include "measure/speedtest.h"
#include "measure/testfile.h"
#include "measure/threadedsteprunner.h"
#include "platform/desktop.h"
#include "platform/fileprimitives.h"
#include "platform/linuxclock.h"
#include "platform/linuxfiles.h"
#include "platform/process.h"
#include "platform/qteventpump.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Settings {
    std::string folder = "/var/tmp";
    int megabytes = 100;
    int peakMegabytes = 1000;
    int repetitions = 5;
};
Settings settings;
std::string workFolder;  // a fresh folder inside settings.folder

std::string localPath() {
    return workFolder + "/program/TEST.TXT";
}
std::string targetPath() {
    return workFolder + "/drive/TEST.TXT";
}
std::string readBackPath() {
    return workFolder + "/program/READBACK.TXT";
}

void removeQuietly(const std::string& path) {
    ::unlink(path.c_str());
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "dov_bench: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

// Lets the kernel forget the file's cached pages, so the next read comes from the device.
void dropPages(const std::string& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) die("cannot open " + path);
    ::fdatasync(descriptor);
    ::posix_fadvise(descriptor, 0, 0, POSIX_FADV_DONTNEED);
    ::close(descriptor);
}

// Runs a program and waits for it; returns its resource usage.
rusage runChild(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    if (::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        die("cannot start " + arguments.front());
    int status = 0;
    rusage usage{};
    if (::wait4(child, &status, 0, &usage) < 0) die("cannot wait for " + arguments.front());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        errno = 0;
        die(arguments.front() + " failed");
    }
    return usage;
}

int lineCount(int megabytes) {
    return measure::testLineCount(QString::number(megabytes), QLocale::c());
}

// The file the other phases copy: made once, the way the create phase makes it.
void ensureLocalFile() {
    struct stat info {};
    const long long bytes = 50LL * lineCount(settings.megabytes);
    if (::stat(localPath().c_str(), &info) == 0 && info.st_size == bytes) return;
    removeQuietly(localPath());
    platform::LinuxFileService files;
    files.openForOutput(1, QString::fromStdString(localPath()), platform::CreateMode::CreateNew);
    measure::writeTestLines(files, 1, lineCount(settings.megabytes));
    files.close(1);
}

// Each iteration starts from a clean slate: no file at the destination, no dirty pages of an
// earlier iteration still being written back.
void settle(const std::string& destination) {
    removeQuietly(destination);
    ::sync();
}

void finishTimed(benchmark::State& state, Clock::time_point start) {
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
}

void createPhase(benchmark::State& state) {
    platform::LinuxFileService files;
    const QString path = QString::fromStdString(localPath());
    const int lines = lineCount(settings.megabytes);
    for (auto _ : state) {
        settle(localPath());
        const auto start = Clock::now();
        files.openForOutput(1, path, platform::CreateMode::CreateNew);
        measure::writeTestLines(files, 1, lines);
        files.close(1);
        finishTimed(state, start);
    }
    state.SetBytesProcessed(state.iterations() * 50LL * lines);
}

void rawBlockWrite(benchmark::State& state) {
    const long long total = 50LL * lineCount(settings.megabytes);
    constexpr std::size_t block = std::size_t(1) << 20;
    // A block plus one line of slack, so any offset in the file can be served by one slice.
    std::string pattern;
    while (pattern.size() < block + measure::kTestLineWithEnd.size())
        pattern.append(measure::kTestLineWithEnd);
    for (auto _ : state) {
        settle(localPath());
        const auto start = Clock::now();
        const int descriptor =
            ::open(localPath().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor < 0) die("cannot create " + localPath());
        for (long long done = 0; done < total;) {
            const std::size_t size = std::size_t(std::min<long long>(block, total - done));
            const char* from = pattern.data() + done % long(measure::kTestLineWithEnd.size());
            const ssize_t written = ::write(descriptor, from, size);
            if (written <= 0) die("cannot write " + localPath());
            done += written;
        }
        if (::close(descriptor) != 0) die("cannot close " + localPath());
        finishTimed(state, start);
    }
    state.SetBytesProcessed(state.iterations() * total);
}

// The run's copies go between the folders it opened, by name relative to them.
struct RunFolders {
    platform::LinuxFileService files;
    int program = files.openFolder(QString::fromStdString(workFolder + "/program"));
    int drive = files.openFolder(QString::fromStdString(workFolder + "/drive"));
    const QString name = QStringLiteral("TEST.TXT");
    const QString readBack = QStringLiteral("READBACK.TXT");
};

void writeCopy(benchmark::State& state) {
    ensureLocalFile();
    RunFolders run;
    platform::CopyOptions options;
    options.flushToDevice = true;
    options.dropCachedPages = true;
    for (auto _ : state) {
        settle(targetPath());
        const auto start = Clock::now();
        run.files.copyFile(run.program, run.name, run.drive, run.name, options);
        finishTimed(state, start);
        run.files.removeOwnFile(run.drive, run.name);
    }
}

void ddWrite(benchmark::State& state) {
    ensureLocalFile();
    for (auto _ : state) {
        settle(targetPath());
        const auto start = Clock::now();
        runChild({"dd", "if=" + localPath(), "of=" + targetPath(), "bs=1M", "conv=fsync",
                  "status=none"});
        finishTimed(state, start);
    }
}

void ensureTargetFile() {
    ensureLocalFile();
    struct stat local {};
    struct stat target {};
    if (::stat(targetPath().c_str(), &target) == 0 && ::stat(localPath().c_str(), &local) == 0 &&
        target.st_size == local.st_size)
        return;
    removeQuietly(targetPath());
    runChild(
        {"dd", "if=" + localPath(), "of=" + targetPath(), "bs=1M", "conv=fsync", "status=none"});
}

void readCopy(benchmark::State& state) {
    ensureTargetFile();
    RunFolders run;
    const platform::CopyOptions options;  // the read copy neither flushes nor drops
    for (auto _ : state) {
        settle(readBackPath());
        dropPages(targetPath());
        const auto start = Clock::now();
        run.files.copyFile(run.drive, run.name, run.program, run.readBack, options);
        finishTimed(state, start);
        run.files.removeOwnFile(run.program, run.readBack);
    }
}

// The file the read copy gave back, read once so that it lies in the page cache, as after the
// read copy.
int cachedLocalFile(long long& size) {
    ensureLocalFile();
    const int descriptor = ::open(localPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) die("cannot open " + localPath());
    std::vector<char> buffer(std::size_t(1) << 20);
    size = 0;
    for (ssize_t got; (got = ::read(descriptor, buffer.data(), buffer.size())) > 0;) size += got;
    return descriptor;
}

// The check of what came back, against the known test lines.
void readBackCheck(benchmark::State& state) {
    long long size = 0;
    const int descriptor = cachedLocalFile(size);
    for (auto _ : state) {
        const auto start = Clock::now();
        const qint64 difference = platform::fileprimitives::firstDifferenceFrom(
            descriptor, measure::kTestLineWithEnd, size);
        finishTimed(state, start);
        if (difference != -1) die("the test file differs from the test lines");
    }
    ::close(descriptor);
}

// One plain read of the same cached file, in blocks of the size the check reads.
void plainRead(benchmark::State& state) {
    long long size = 0;
    const int descriptor = cachedLocalFile(size);
    std::vector<char> buffer(4096 * measure::kTestLineWithEnd.size());
    for (auto _ : state) {
        const auto start = Clock::now();
        long long total = 0;
        for (ssize_t got; (got = ::pread(descriptor, buffer.data(), buffer.size(), total)) > 0;)
            total += got;
        finishTimed(state, start);
        benchmark::DoNotOptimize(total);
    }
    ::close(descriptor);
}

void ddRead(benchmark::State& state) {
    ensureTargetFile();
    for (auto _ : state) {
        settle(readBackPath());
        dropPages(targetPath());
        const auto start = Clock::now();
        runChild({"dd", "if=" + targetPath(), "of=" + readBackPath(), "bs=1M", "status=none"});
        finishTimed(state, start);
    }
}

std::string ownPath() {
    std::string path(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (length <= 0) die("cannot find this program");
    path.resize(std::size_t(length));
    return path;
}

// A whole START run of the given size in a child process, whose peak resident size is the
// figure of interest.
void peakMemory(benchmark::State& state) {
    const std::string megabytes = std::to_string(state.range(0));
    double peakMiB = 0;
    for (auto _ : state) {
        removeQuietly(localPath());
        removeQuietly(targetPath());
        const auto start = Clock::now();
        const rusage usage = runChild(
            {ownPath(), "--whole-run", megabytes, workFolder + "/program", workFolder + "/drive"});
        finishTimed(state, start);
        peakMiB = double(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
    }
    state.counters["maxrss_MiB"] = peakMiB;
}

// --- a complete run for peakMemory, with the real services and no window ---

class SilentDesktop : public platform::ClipboardService,
                      public platform::PointerService,
                      public platform::MessageBoxService {
public:
    void clear() override {}
    void setText(const QString&) override {}
    void setBusy(bool) override {}
    void showMessage(const QString& text) override {
        std::fprintf(stderr, "dov_bench: the run failed: %s\n", qPrintable(text));
        failed = true;
    }
    bool failed = false;
};

class FixedFolder : public platform::ProcessService {
public:
    explicit FixedFolder(QString folder) : folder_(std::move(folder)) {}
    bool previousInstanceRunning() override { return false; }
    void releaseInstance() override {}
    QString programFolder() override { return folder_; }
    QString testFileFolder() override { return folder_; }
    void endProgram() override { std::exit(0); }

private:
    QString folder_;
};

class HeadlessView : public measure::RunView {
public:
    HeadlessView(QString size, QString drive) : size_(std::move(size)), drive_(std::move(drive)) {}
    QString sizeText() override { return size_; }
    QString selectedMountRoot() override { return drive_; }
    void clearResults() override {}
    void setTimeText(int, const QString&) override {}
    QString timeText(int) override { return {}; }
    void setStartEnabled(bool) override {}
    void pause(double seconds) override { measure::Pause(clock_, pump_, seconds); }
    bool programEnded() override { return false; }

private:
    QString size_;
    QString drive_;
    platform::LinuxClock clock_;
    platform::QtEventPump pump_;
};

int wholeRun(int argc, char** argv) {
    if (argc < 5) return 2;
    QCoreApplication application(argc, argv);
    HeadlessView view(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[4]));
    platform::LinuxClock clock;
    platform::LinuxFileService files;
    FixedFolder process(QString::fromLocal8Bit(argv[3]));
    SilentDesktop desktop;
    measure::ThreadedStepRunner phases;
    measure::SpeedTest speedTest(
        view, measure::RunServices{clock, files, process, desktop, desktop, desktop, phases});
    speedTest.run();
    return desktop.failed ? 1 : 0;
}

// A command-line run in a child, with or without its progress line (drawn into /dev/null): the
// line is drawn by a timer on the main thread, so both should take the same time.
void consoleRun(benchmark::State& state) {
    const std::string progress = std::to_string(state.range(0));
    for (auto _ : state) {
        removeQuietly(localPath());
        removeQuietly(targetPath());
        ::sync();
        const auto start = Clock::now();
        runChild({ownPath(), "--console-run", std::to_string(settings.megabytes),
                  workFolder + "/program", workFolder + "/drive", progress});
        finishTimed(state, start);
    }
}

int consoleChild(int argc, char** argv) {
    if (argc < 6) return 2;
    QCoreApplication application(argc, argv);
    platform::LinuxClock clock;
    platform::QtEventPump pump;
    platform::LinuxFileService files;
    FixedFolder process(QString::fromLocal8Bit(argv[3]));
    measure::ThreadedStepRunner phases;
    measure::ConsoleRunSettings runSettings;
    runSettings.sizeText = QString::fromLocal8Bit(argv[2]);
    runSettings.mountRoot = QString::fromLocal8Bit(argv[4]);
    runSettings.showProgress = std::strcmp(argv[5], "1") == 0;
    std::FILE* sink = std::fopen("/dev/null", "w");
    if (!sink) die("cannot open /dev/null");
    measure::ConsoleRun run(
        runSettings, measure::ConsoleServices{clock, pump, files, process, phases}, sink, sink);
    const int status = run.exec();
    std::fclose(sink);
    return status;
}

// --- collecting the figures and printing them side by side ---

class CollectingReporter : public benchmark::ConsoleReporter {
public:
    // Colour only on a terminal, so that a saved log stays readable.
    CollectingReporter()
        : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
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
    std::map<std::string, double> seconds;
    std::map<std::string, double> peakMiB;
};

void printComparison(const CollectingReporter& figures) {
    const auto time = [&](const std::string& name) {
        const auto found = figures.seconds.find(name);
        return found == figures.seconds.end() ? -1.0 : found->second;
    };
    const auto line = [&](const char* ours, const std::string& oursName, const char* reference,
                          const std::string& referenceName, double goal) {
        const double a = time(oursName);
        const double b = time(referenceName);
        if (a < 0 || b < 0) return;
        const double ratio = a / b;
        std::printf("%-30s %8.3f s   %-26s %8.3f s   %5.2fx  (goal <= %.2fx) %s\n", ours, a,
                    reference, b, ratio, goal, ratio <= goal ? "ok" : "MISSED");
    };
    std::printf("\nComparison (%d MB test file in %s, medians of %d runs)\n", settings.megabytes,
                settings.folder.c_str(), settings.repetitions);
    line("create phase (writeLine)", "create_phase", "raw 1 MiB block writes", "raw_block_write",
         1.30);
    line("write copy (fsync + drop)", "write_copy", "dd bs=1M conv=fsync", "dd_write", 1.05);
    line("read copy (pages dropped)", "read_copy", "dd bs=1M", "dd_read", 1.05);
    line("read-back check (cached)", "read_back_check", "plain read, same blocks", "plain_read",
         1.5);
    line("command-line run, progress", "console_run/1", "the same without progress",
         "console_run/0", 1.05);

    const std::string large = "peak_memory/" + std::to_string(settings.peakMegabytes);
    const auto big = figures.peakMiB.find(large);
    const auto small = figures.peakMiB.find("peak_memory/10");
    if (big != figures.peakMiB.end() && small != figures.peakMiB.end()) {
        const double difference = (big->second - small->second) * 1.048576;  // MiB -> MB
        std::printf("%-30s %8.1f MiB %-26s %8.1f MiB %+6.1f MB (goal within 10 MB) %s\n",
                    ("peak memory, " + std::to_string(settings.peakMegabytes) + " MB run").c_str(),
                    big->second, "peak memory, 10 MB run", small->second, difference,
                    difference <= 10.0 ? "ok" : "MISSED");
    }
}

bool takeOption(const char* argument, const char* name, std::string& value) {
    const std::size_t length = std::strlen(name);
    if (std::strncmp(argument, name, length) != 0 || argument[length] != '=') return false;
    value = argument + length + 1;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--whole-run") == 0) return wholeRun(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--console-run") == 0) return consoleChild(argc, argv);

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
    int remainingCount = int(remaining.size());
    benchmark::Initialize(&remainingCount, remaining.data());
    if (benchmark::ReportUnrecognizedArguments(remainingCount, remaining.data())) return 1;

    std::string pattern = settings.folder + "/dov-bench-XXXXXX";
    if (!::mkdtemp(pattern.data())) die("cannot create a folder in " + settings.folder);
    workFolder = pattern;
    if (::mkdir((workFolder + "/program").c_str(), 0755) != 0 ||
        ::mkdir((workFolder + "/drive").c_str(), 0755) != 0)
        die("cannot create folders in " + workFolder);

    const auto timed = [](const char* name, void (*function)(benchmark::State&)) {
        benchmark::RegisterBenchmark(name, function)
            ->Iterations(1)
            ->Repetitions(settings.repetitions)
            ->DisplayAggregatesOnly(true)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    };
    timed("create_phase", createPhase);
    timed("raw_block_write", rawBlockWrite);
    timed("write_copy", writeCopy);
    timed("dd_write", ddWrite);
    timed("read_copy", readCopy);
    timed("dd_read", ddRead);
    timed("read_back_check", readBackCheck);
    timed("plain_read", plainRead);
    benchmark::RegisterBenchmark("console_run", consoleRun)
        ->Arg(0)
        ->Arg(1)
        ->Iterations(1)
        ->Repetitions(settings.repetitions)
        ->DisplayAggregatesOnly(true)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("peak_memory", peakMemory)
        ->Arg(10)
        ->Arg(settings.peakMegabytes)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);

    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    printComparison(reporter);

    for (const std::string& path : {localPath(), targetPath(), readBackPath()}) removeQuietly(path);
    ::rmdir((workFolder + "/program").c_str());
    ::rmdir((workFolder + "/drive").c_str());
    ::rmdir(workFolder.c_str());
    return 0;
}
