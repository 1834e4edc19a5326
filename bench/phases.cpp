// The run's timed phases against plain references: the create phase against raw 1 MiB block
// writes of the same bytes, the write and read copies against dd, and the read-back check
// against a plain read of the same cached file. The phases use the run's own folder API.

#include <QLocale>
#include <QString>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <optional>

#include "common.h"
#include "figures.h"
#include "measure/sizerule.h"
#include "measure/testfile.h"
#include "platform/linuxfiles.h"

namespace bench {

namespace {

// The file the other phases copy: made once, the way the create phase makes it. The service
// lets go of it when it ends, so the file stays for the other benchmarks.
void ensureLocalFile() {
    struct stat info {};
    const long long bytes = 50LL * lineCount(settings.megabytes);
    if (::stat(localPath().c_str(), &info) == 0 && info.st_size == bytes) return;
    removeQuietly(localPath());
    platform::LinuxFileService files;
    files.createForOutput(files.openFolder(QString::fromStdString(workFolder + "/program")),
                          QStringLiteral("TEST.TXT"), {});
    measure::writeTestLines(files, lineCount(settings.megabytes));
    files.closeOutput();
}

// The run's phases go between the folders it opened, by name relative to them.
struct RunFolders {
    platform::LinuxFileService files;
    int program = files.openFolder(QString::fromStdString(workFolder + "/program"));
    int drive = files.openFolder(QString::fromStdString(workFolder + "/drive"));
    const QString name = QStringLiteral("TEST.TXT");
    const QString readBack = QStringLiteral("READBACK.TXT");
    // A file made before, as the run holds the one it made: known by device and inode.
    platform::HeldFile held(int folder, const std::string& path) const {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) die("cannot stat " + path);
        return {folder, name, {quint64(info.st_dev), quint64(info.st_ino)}, {}};
    }
};

// The run's own create path: a new file in the opened folder, the test lines, the close.
void createPhase(benchmark::State& state) {
    RunFolders run;
    const int lines = lineCount(settings.megabytes);
    for (auto _ : state) {
        settle(localPath());
        const auto start = Clock::now();
        platform::HeldFile made = run.files.createForOutput(run.program, run.name, {});
        measure::writeTestLines(run.files, lines);
        run.files.closeOutput();
        finishTimed(state, start);
        run.files.removeHeld(made);
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

void writeCopy(benchmark::State& state) {
    ensureLocalFile();
    RunFolders run;
    platform::CopyOptions options;
    options.flushToDevice = true;
    options.dropCachedPages = true;
    const platform::HeldFile source = run.held(run.program, localPath());
    for (auto _ : state) {
        settle(targetPath());
        const auto start = Clock::now();
        platform::HeldFile copy = run.files.copyFile(source, run.drive, run.name, options, {});
        finishTimed(state, start);
        run.files.removeHeld(copy);
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
    const platform::HeldFile source = run.held(run.drive, targetPath());
    for (auto _ : state) {
        settle(readBackPath());
        dropPages(targetPath());
        const auto start = Clock::now();
        platform::HeldFile copy =
            run.files.copyFile(source, run.program, run.readBack, options, {});
        finishTimed(state, start);
        run.files.removeHeld(copy);
    }
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
        const std::optional<qint64> difference = measure::firstDifference(
            [descriptor](qint64 offset, char* data, qint64 wanted) {
                const ssize_t got = ::pread(descriptor, data, std::size_t(wanted), offset);
                if (got < 0) die("cannot read " + localPath());
                return qint64(got);
            },
            size);
        finishTimed(state, start);
        if (difference) die("the test file differs from the test lines");
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

// Reading a size text that is not a number, as long as a pasted page: its time grows with the
// text's length, so a hundred times the text takes about a hundred times as long.
void sizeText(benchmark::State& state) {
    const QString text = QString(qsizetype(state.range(0)), QLatin1Char('7')) + QLatin1Char('x');
    const QLocale arabic(QStringLiteral("ar_EG"));
    for (auto _ : state) {
        const auto start = Clock::now();
        try {
            measure::testLineCount(text, arabic);
            die("a size text that is not a number was accepted");
        } catch (const std::exception&) {
        }
        finishTimed(state, start);
    }
}

}  // namespace

void registerPhaseFigures() {
    registerTimed("size_text", sizeText)->Arg(1310)->Arg(131000);
    registerTimed("create_phase", createPhase);
    registerTimed("raw_block_write", rawBlockWrite);
    registerTimed("write_copy", writeCopy);
    registerTimed("dd_write", ddWrite);
    registerTimed("read_copy", readCopy);
    registerTimed("dd_read", ddRead);
    registerTimed("read_back_check", readBackCheck);
    registerTimed("plain_read", plainRead);
}

}  // namespace bench
