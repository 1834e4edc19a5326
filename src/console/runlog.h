#pragma once

#include <QString>
#include <memory>

#include "console/seriesreport.h"

namespace platform {
class AppendFile;
}

namespace console {

// The CSV file --log names: one row per completed run, appended whole under the file's lock,
// so that runs at the same time never mix their rows. Nothing but this program's own log is
// ever written to, and nothing in it is rewritten.
class RunLog {
public:
    // Opens the log, or creates it. Throws platform::Failure, saying why and what to do, when
    // the path is anything but a regular file that is empty or starts with the log's header.
    explicit RunLog(const QString& path);
    ~RunLog();
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    // Appends the run's row, and the header first to an empty file. Throws platform::Failure
    // when the row could not be written; the file then ends as it did before.
    void append(const RunRecord& run, const driveinfo::DriveFacts& drive);

private:
    std::unique_ptr<platform::AppendFile> file_;
};

}  // namespace console
