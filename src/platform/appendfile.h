#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include "platform/uniquefd.h"

namespace platform {

// A file that records are appended to, one whole record at a time, by several processes at once.
// Failures throw Failure ("<action> <path>: <reason>").
class AppendFile {
public:
    // What was found at the path, looked at without opening it (opening a device can act).
    enum class Kind { Regular, Folder, Fifo, Device, Socket, Link };

    // Opens the file at path for reading and appending, never through a link, and never waiting
    // for a FIFO's other end; a missing file is created holding firstBytes from the moment its
    // name appears. Anything but a regular file is left unopened and kind() says what it is.
    AppendFile(const QString& path, const QByteArray& firstBytes);

    Kind kind() const { return kind_; }
    bool created() const { return created_; }
    const QString& path() const { return path_; }

    // Holds the file's exclusive lock (flock) while it lives, waiting for another holder.
    class Lock {
    public:
        explicit Lock(AppendFile& file);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        int descriptor_;
    };

    qint64 size() const;
    // Up to maxBytes from the start of the file.
    QByteArray readStart(qsizetype maxBytes) const;
    // Appends all of bytes; after a failure the part that got in is cut off again, so the file
    // ends where it ended before. Call it under a Lock.
    void append(const QByteArray& bytes);

private:
    bool createWith(const QByteArray& firstBytes);

    QString path_;
    Kind kind_ = Kind::Regular;
    bool created_ = false;
    UniqueFd file_;
};

}  // namespace platform
