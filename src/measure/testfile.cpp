#include "measure/testfile.h"

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

}  // namespace measure
