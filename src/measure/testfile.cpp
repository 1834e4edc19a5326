#include "measure/testfile.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/files.h"

namespace measure {

QString testFileName() {
    return QString::fromLatin1(kTestFileName.data(), kTestFileName.size());
}

void writeTestLines(platform::FileService& files, int lineCount, const std::atomic<bool>* stop,
                    std::atomic<qint64>* bytesDone) {
    // The create time is meant to reflect the machine: a plain loop of buffered line writes,
    // with a look at the stop request only between blocks of lines.
    for (int done = 0; done < lineCount;) {
        if (stop && stop->load(std::memory_order_relaxed)) throw platform::Stopped();
        const int end =
            lineCount - done > kLinesPerStopCheck ? done + kLinesPerStopCheck : lineCount;
        for (int line = done; line < end; ++line) files.writeLine(kTestLineWithEnd);
        done = end;
        if (bytesDone)
            bytesDone->store(qint64(done) * qint64(kTestLineWithEnd.size()),
                             std::memory_order_relaxed);
    }
}

std::optional<qint64> firstDifference(const platform::ByteReader& read, qint64 size,
                                      std::string_view line) {
    if (line.empty()) return size > 0 ? std::optional<qint64>(0) : std::nullopt;
    const qint64 lineSize = qint64(line.size());
    // A multiple of both the line and the page, so reads are whole pages and a chunk starts at
    // the start of a line; small enough that the compare finds both buffers in the cache. One
    // line more of expected bytes lets a read that stopped short go on inside a line.
    const std::size_t chunk = std::size_t(4096) * line.size();
    std::vector<char> expected(chunk + line.size());
    for (std::size_t at = 0; at < expected.size(); at += line.size())
        std::memcpy(expected.data() + at, line.data(), std::min(line.size(), expected.size() - at));
    std::vector<char> actual(chunk + 1);  // one more, to see a file longer than size
    qint64 offset = 0;
    for (;;) {
        const std::size_t wanted =
            std::size_t(std::min<qint64>(qint64(chunk), std::max<qint64>(size - offset, 0)));
        const bool last = offset + qint64(wanted) >= size;
        const qint64 got = read(offset, actual.data(), qint64(wanted + (last ? 1 : 0)));
        const std::size_t same = std::min(std::size_t(got), wanted);
        const char* want = expected.data() + offset % lineSize;
        if (std::memcmp(actual.data(), want, same) != 0) {
            const auto at = std::mismatch(actual.data(), actual.data() + same, want);
            return offset + (at.first - actual.data());
        }
        if (std::size_t(got) > wanted) return offset + qint64(wanted);  // longer than size
        if (got == 0) return wanted == 0 ? std::nullopt : std::optional(offset);
        offset += got;
    }
}

}  // namespace measure
