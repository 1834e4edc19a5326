#pragma once

#include <QString>
#include <QtGlobal>
#include <atomic>
#include <string_view>

#include <optional>

#include "platform/files.h"

namespace measure {

// One line of the test file without its line end.
inline constexpr std::string_view kTestLine = "123456789012345678901234567890123456789012345678";
// The same line as it lies in the file: 50 bytes.
inline constexpr std::string_view kTestLineWithEnd =
    "123456789012345678901234567890123456789012345678\r\n";
static_assert(kTestLineWithEnd.size() == 50);

inline constexpr std::string_view kTestFileName = "TEST.TXT";

QString testFileName();

// Lines between two looks at the stop request: about one output buffer (1 MiB).
inline constexpr int kLinesPerStopCheck = 20000;

// Writes lineCount test lines, each with its CR LF, to the output file, one writeLine call per
// line; nothing when lineCount is 0 or negative. Every kLinesPerStopCheck lines it stores the
// bytes written so far in bytesDone and, when stop is set, throws platform::Stopped.
void writeTestLines(platform::FileService& files, int lineCount,
                    const std::atomic<bool>* stop = nullptr,
                    std::atomic<qint64>* bytesDone = nullptr);

// Offset of the first byte at which the bytes read through read differ from `size` bytes of
// repeated line (a missing or an extra byte counts); nothing when they are exactly that. Reads
// once, in chunks that stay in the processor's cache.
std::optional<qint64> firstDifference(const platform::ByteReader& read, qint64 size,
                                      std::string_view line = kTestLineWithEnd);

}  // namespace measure
