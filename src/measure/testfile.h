#pragma once

#include <QString>
#include <string_view>

namespace platform {
class FileService;
}

namespace measure {

// One line of the test file without its line end.
inline constexpr std::string_view kTestLine = "123456789012345678901234567890123456789012345678";
// The same line as it lies in the file: 50 bytes.
inline constexpr std::string_view kTestLineWithEnd =
    "123456789012345678901234567890123456789012345678\r\n";
static_assert(kTestLineWithEnd.size() == 50);

inline constexpr std::string_view kTestFileName = "TEST.TXT";

// folder + "/TEST.TXT", without doubling the separator when folder is the root "/".
QString testFilePath(const QString& folder);

// Writes lineCount test lines to the open file, one writeLine call per line; nothing when
// lineCount is 0 or negative.
void writeTestLines(platform::FileService& files, int fileNumber, int lineCount);

}  // namespace measure
