#pragma once

// Settings of one benchmark session and the small helpers its figures share.

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

struct Settings {
    std::string folder = "/var/tmp";
    int megabytes = 100;
    int peakMegabytes = 1000;
    int repetitions = 5;
};
extern Settings settings;
extern std::string workFolder;  // a fresh folder inside settings.folder

// The phase figures' files: the program's copy, the drive's copy and the one read back.
std::string localPath();
std::string targetPath();
std::string readBackPath();

void removeQuietly(const std::string& path);
// Ends the benchmark with the message and the system's reason, when errno holds one.
[[noreturn]] void die(const std::string& what);

// Lets the kernel forget the file's cached pages, so the next read comes from the device.
void dropPages(const std::string& path);

// Runs a program found on the PATH and waits for it; a failure ends the benchmark.
void runChild(const std::vector<std::string>& arguments);

// The test lines a run of this many megabytes writes.
int lineCount(int megabytes);

// A fresh start for an iteration: nothing at the destination, no dirty pages of an earlier
// iteration still being written back.
void settle(const std::string& destination);

void finishTimed(benchmark::State& state, Clock::time_point start);

// Registers one figure timed by hand, once per repetition.
benchmark::internal::Benchmark* registerTimed(const char* name,
                                              void (*function)(benchmark::State&));

}  // namespace bench
