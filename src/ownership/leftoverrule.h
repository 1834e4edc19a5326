#pragma once

// Which file at a test file's name is the program's own, from what it is and what it holds: the
// one place that decides which TEST.TXT may be deleted. The file service below only hands out
// the facts and deletes what this rule chose, while the name still names it unchanged; the keys
// the program trusts are listed in identity.h.

#include <QString>
#include <QtGlobal>
#include <string_view>
#include <vector>

#include "platform/files.h"

namespace ownership {

// What a file's bytes are, read against the repeated test line.
enum class Content {
    Empty,
    // One whole test line or more, then only test lines (the last maybe cut short), then maybe
    // NUL bytes to the end: what a run cut short by a kill or a power cut leaves.
    TestLines,
    // Test lines cut anywhere and NUL bytes where a crash lost data, but too little to tell
    // without a record (shorter than one line, or lines after lost ones).
    TestLinesOrLost,
    Other,
};

// Reads the bytes in order, chunk by chunk.
class ContentScan {
public:
    explicit ContentScan(std::string_view line);
    void feed(const char* data, qint64 size);
    Content result() const;
    bool settled() const { return other_; }  // nothing read later changes the result

private:
    std::string_view line_;
    std::vector<char> expected_;
    qint64 offset_ = 0;
    qint64 exact_ = 0;  // leading bytes that are test lines
    bool sawNul_ = false;
    bool linesAfterNul_ = false;
    bool other_ = false;
};

// Reads the file through read until its content is known.
Content scanContent(const platform::ByteReader& read, std::string_view line);

// The answer for a leftover: the program's own, or the user's and why.
enum class Verdict { Ours, InUse, NotAFile, Shared, OtherUser, Empty, TooShort, NotTestLines };

struct Standing {
    bool recorded = false;       // a record of the program's own names this very file
    bool privateFolder = false;  // it lies in the program's own private folder
    uint user = 0;               // who runs the program
};

// The rule, on the facts of the file and, where they matter, its bytes.
Verdict judgeLeftover(const platform::FoundFile& file, const Standing& standing,
                      const platform::ByteReader& read, std::string_view line);

}  // namespace ownership
