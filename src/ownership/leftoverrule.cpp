#include "ownership/leftoverrule.h"

#include <algorithm>
#include <cstring>

namespace ownership {

namespace {

// Lines per chunk read; a chunk starts at the start of a line.
constexpr qint64 linesPerChunk = 20000;

}  // namespace

ContentScan::ContentScan(std::string_view line) : line_(line) {
    expected_.resize(std::size_t(linesPerChunk + 1) * line.size());
    for (std::size_t at = 0; at < expected_.size(); at += line.size())
        std::memcpy(expected_.data() + at, line.data(), line.size());
}

void ContentScan::feed(const char* data, qint64 size) {
    const qint64 lineSize = qint64(line_.size());
    while (size > 0 && !other_) {
        const qint64 part = std::min<qint64>(size, linesPerChunk * lineSize);
        const char* want = expected_.data() + offset_ % lineSize;
        if (!sawNul_ && std::memcmp(data, want, std::size_t(part)) == 0) {
            exact_ += part;
        } else {
            for (qint64 at = 0; at < part && !other_; ++at) {
                if (data[at] == want[at]) {
                    if (sawNul_)
                        linesAfterNul_ = true;
                    else
                        ++exact_;
                } else if (data[at] == '\0') {
                    sawNul_ = true;
                } else {
                    other_ = true;
                }
            }
        }
        offset_ += part;
        data += part;
        size -= part;
    }
}

Content ContentScan::result() const {
    if (other_) return Content::Other;
    if (offset_ == 0) return Content::Empty;
    if (exact_ >= qint64(line_.size()) && !linesAfterNul_) return Content::TestLines;
    return Content::TestLinesOrLost;
}

Content scanContent(const platform::ByteReader& read, std::string_view line) {
    ContentScan scan(line);
    std::vector<char> buffer(std::size_t(linesPerChunk) * line.size());
    for (qint64 offset = 0;;) {
        const qint64 got = read(offset, buffer.data(), qint64(buffer.size()));
        if (got <= 0) break;
        scan.feed(buffer.data(), got);
        if (scan.settled()) break;
        offset += got;
    }
    return scan.result();
}

Verdict judgeLeftover(const platform::FoundFile& file, const Standing& standing,
                      const platform::ByteReader& read, std::string_view line) {
    if (!file.regular) return Verdict::NotAFile;
    // Another user's is never ours, not even to root; one with another name elsewhere is shared
    // with whatever that name is.
    if (file.owner != standing.user) return Verdict::OtherUser;
    if (file.links != 1) return Verdict::Shared;
    if (file.lockedByOther) return Verdict::InUse;
    // Nobody else makes a file in the program's own private folder.
    if (standing.privateFolder) return Verdict::Ours;
    const Content content = file.size == 0 ? Content::Empty : scanContent(read, line);
    switch (content) {
        case Content::TestLines:
            return Verdict::Ours;
        case Content::Empty:
            return standing.recorded ? Verdict::Ours : Verdict::Empty;
        case Content::TestLinesOrLost:
            return standing.recorded ? Verdict::Ours : Verdict::TooShort;
        case Content::Other:
            break;
    }
    return Verdict::NotTestLines;
}

}  // namespace ownership
