// Whole runs of the command-line program as it is installed, built in the same tree and found
// next to this binary: `dov-uruvivuz --drive DIR --size N`. The peak memory of a large run
// against a small one, a run with its progress line against one without, and runs that also
// print a JSON document or append a log row against a plain one. The program
// chooses its own places: the test file on the drive goes to the root of the drive holding
// DIR, the local one next to the program (in the build tree's bin folder).

#include <pty.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>

#include "common.h"
#include "figures.h"

extern char** environ;

namespace bench {

namespace {

std::string ownFolder() {
    std::string path(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (length <= 0) die("cannot find this program");
    path.resize(std::size_t(length));
    return path.substr(0, path.rfind('/'));
}

std::string programPath() {
    const std::string path = ownFolder() + "/dov-uruvivuz";
    if (::access(path.c_str(), X_OK) != 0) die("cannot run " + path);
    return path;
}

// The user's cache, where the program keeps its test file when it may not write next to itself.
std::string cacheFolder() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache && cache[0] == '/') return std::string(cache) + "/dov-uruvivuz";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.cache/dov-uruvivuz";
}

// A pseudo-terminal for the program's error stream, so that it draws its progress line.
struct Terminal {
    int master = -1;
    int slave = -1;
};

Terminal openTerminal() {
    Terminal terminal;
    if (::openpty(&terminal.master, &terminal.slave, nullptr, nullptr, nullptr) != 0)
        die("cannot open a pseudo-terminal");
    ::fcntl(terminal.master, F_SETFD, FD_CLOEXEC);
    ::fcntl(terminal.slave, F_SETFD, FD_CLOEXEC);  // the program gets it as its stream 2 only
    return terminal;
}

// Reads what the program draws, so that it never waits for a full terminal, until no process
// holds the other side any more.
void drain(int master) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(master, buffer, sizeof buffer);
        if (got > 0 || (got < 0 && errno == EINTR)) continue;
        return;  // EIO: the program has ended
    }
}

std::vector<std::string> runArguments(int megabytes) {
    return {programPath(), "--drive", settings.folder, "--size", std::to_string(megabytes)};
}

// What a whole run hands out besides its line: nothing more, one JSON document, a log row.
enum Output { kPlain = 0, kProgressLine = 1, kJson = 2, kLog = 3 };

// Starts the program with its output discarded and its error stream on the given descriptor,
// or discarded too when there is none.
pid_t startProgram(const std::vector<std::string>& arguments, int errorStream) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (errorStream < 0)
        ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    else
        ::posix_spawn_file_actions_adddup2(&actions, errorStream, STDERR_FILENO);
    pid_t child = 0;
    const int failed = ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        errno = failed;
        die("cannot start " + arguments.front());
    }
    return child;
}

// One whole run, its progress line drawn on a terminal or not drawn at all; its resource usage.
rusage runProgram(int megabytes, bool withProgressLine, Output output = kPlain) {
    std::vector<std::string> arguments = runArguments(megabytes);
    if (output == kJson) arguments.push_back("--json");
    // The log grows by a row a run, as a real history does.
    if (output == kLog) arguments.insert(arguments.end(), {"--log", workFolder + "/runs.csv"});
    Terminal terminal;
    if (withProgressLine) terminal = openTerminal();
    const pid_t child = startProgram(arguments, terminal.slave);
    if (withProgressLine) {
        ::close(terminal.slave);
        drain(terminal.master);
        ::close(terminal.master);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(child, &status, 0, &usage) < 0) die("cannot wait for " + arguments.front());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        errno = 0;
        const std::string how = WIFEXITED(status)
                                    ? "exit status " + std::to_string(WEXITSTATUS(status))
                                    : "signal " + std::to_string(WTERMSIG(status));
        die(arguments.front() + " --drive " + settings.folder + " --size " +
            std::to_string(megabytes) + " failed (" + how + "); run it by hand to see why");
    }
    return usage;
}

// The peak resident size of a whole run of the given size.
void peakMemory(benchmark::State& state) {
    double peakMiB = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        const rusage usage = runProgram(int(state.range(0)), false);
        finishTimed(state, start);
        peakMiB = double(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
    }
    state.counters["maxrss_MiB"] = peakMiB;
}

// A whole run with its progress line (argument 1) or without (0): the line is drawn by a timer
// on the main thread, so both should take the same time. With --json (2) or --log (3), what
// handing out the result costs a run beside a plain one (0).
void consoleRun(benchmark::State& state) {
    const auto output = Output(state.range(0));
    for (auto _ : state) {
        ::sync();
        const auto start = Clock::now();
        runProgram(settings.megabytes, output == kProgressLine, output);
        finishTimed(state, start);
    }
}

}  // namespace

void registerWholeRunFigures() {
    registerTimed("console_run", consoleRun)
        ->Arg(kPlain)
        ->Arg(kProgressLine)
        ->Arg(kJson)
        ->Arg(kLog);
    benchmark::RegisterBenchmark("peak_memory", peakMemory)
        ->Arg(10)
        ->Arg(settings.peakMegabytes)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

WholeRunPlaces wholeRunPlaces() {
    WholeRunPlaces places;
    places.localFolder = ownFolder();
    if (::access(places.localFolder.c_str(), W_OK | X_OK) != 0) places.localFolder = cacheFolder();
    struct stat local {};
    struct stat measured {};
    places.onOtherDisk = ::stat(places.localFolder.c_str(), &local) == 0 &&
                         ::stat(settings.folder.c_str(), &measured) == 0 &&
                         local.st_dev != measured.st_dev;
    return places;
}

}  // namespace bench
