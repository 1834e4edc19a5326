#include "console/runlog.h"

#include "platform/appendfile.h"
#include "platform/failure.h"
#include "platform/paths.h"

namespace console {

namespace {

using Kind = platform::AppendFile::Kind;

QString whatItIs(Kind kind) {
    switch (kind) {
        case Kind::Folder:
            return QStringLiteral("it is a folder");
        case Kind::Fifo:
            return QStringLiteral("it is a FIFO");
        case Kind::Device:
            return QStringLiteral("it is a device");
        case Kind::Socket:
            return QStringLiteral("it is a socket");
        case Kind::Link:
            return QStringLiteral("it is a symbolic link (name the log file itself)");
        case Kind::Regular:
            break;
    }
    return QStringLiteral("its first line is not the header of this program's log");
}

[[noreturn]] void refuse(const QString& path, Kind kind) {
    throw platform::Failure(
        QStringLiteral("Cannot log the runs to %1: %2. It was left as it is and nothing was "
                       "measured; name a new file or a log this program wrote")
            .arg(platform::displayPath(path), whatItIs(kind)));
}

}  // namespace

RunLog::RunLog(const QString& path) {
    try {
        file_ = std::make_unique<platform::AppendFile>(path, csvHeader());
    } catch (const platform::Failure& failure) {
        throw platform::Failure(
            failure.description() + QStringLiteral(". Nothing was measured; name a log file you "
                                                   "may write to"),
            failure.error());
    }
    if (file_->kind() != Kind::Regular) refuse(path, file_->kind());
    const platform::AppendFile::Lock lock(*file_);
    const QByteArray header = csvHeader();
    const QByteArray start = file_->readStart(header.size());
    // A new log is created with its header (AppendFile), so an empty file is someone else's.
    if (start != header) refuse(path, Kind::Regular);
}

RunLog::~RunLog() = default;

void RunLog::append(const RunRecord& run, const driveinfo::DriveFacts& drive) {
    const platform::AppendFile::Lock lock(*file_);
    QByteArray bytes = csvRow(run, drive);
    file_->append(bytes);
}

}  // namespace console
