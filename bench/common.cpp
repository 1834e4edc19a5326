#include "common.h"

#include <QLocale>
#include <QString>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "measure/sizerule.h"

extern char** environ;

namespace bench {

Settings settings;
std::string workFolder;

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

void die(const std::string& what) {
    if (errno == 0)
        std::fprintf(stderr, "dov_bench: %s\n", what.c_str());
    else
        std::fprintf(stderr, "dov_bench: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

void dropPages(const std::string& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) die("cannot open " + path);
    ::fdatasync(descriptor);
    ::posix_fadvise(descriptor, 0, 0, POSIX_FADV_DONTNEED);
    ::close(descriptor);
}

void runChild(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    if (::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        die("cannot start " + arguments.front());
    int status = 0;
    if (::waitpid(child, &status, 0) < 0) die("cannot wait for " + arguments.front());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        errno = 0;
        die(arguments.front() + " failed");
    }
}

int lineCount(int megabytes) {
    return measure::testLineCount(QString::number(megabytes), QLocale::c());
}

void settle(const std::string& destination) {
    removeQuietly(destination);
    ::sync();
}

void finishTimed(benchmark::State& state, Clock::time_point start) {
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
}

benchmark::internal::Benchmark* registerTimed(const char* name,
                                              void (*function)(benchmark::State&)) {
    return benchmark::RegisterBenchmark(name, function)
        ->Iterations(1)
        ->Repetitions(settings.repetitions)
        ->DisplayAggregatesOnly(true)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

}  // namespace bench
