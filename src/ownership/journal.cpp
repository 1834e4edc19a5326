#include "ownership/journal.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <algorithm>
#include <array>
#include <cctype>

#include "ownership/folders.h"
#include "platform/failure.h"
#include "platform/paths.h"
#include "platform/userfolders.h"

namespace ownership {

namespace {

const QString kJournalName = QStringLiteral("test-files");

qint64 now() {
    return QDateTime::currentSecsSinceEpoch();
}

// One record a line: folder and name as hex of their bytes, the time it was written, then "-"
// for an identity not yet known, or device, inode, birth time known (0/1), its seconds and
// nanoseconds, generation known (0/1) and its value. Lines of 3 and 7 fields are records of
// earlier versions, without time or generation.
QByteArray lineOf(const QString& folder, const QString& name, qint64 seen,
                  const std::optional<platform::FileIdentity>& identity) {
    QByteArray line = platform::pathToBytes(folder).toHex() + ' ' +
                      platform::pathToBytes(name).toHex() + ' ' + QByteArray::number(seen);
    if (!identity) return line + " -\n";
    return line + ' ' + QByteArray::number(identity->device) + ' ' +
           QByteArray::number(identity->inode) + ' ' + (identity->hasBirth ? "1 " : "0 ") +
           QByteArray::number(identity->birthSeconds) + ' ' +
           QByteArray::number(identity->birthNanoseconds) + ' ' +
           (identity->hasGeneration ? "1 " : "0 ") + QByteArray::number(identity->generation) +
           '\n';
}

// A line of ours: 3 to 10 fields as lineOf writes them (or earlier versions did), the names
// in hex, numbers after them, "-" last for a file not yet made.
bool isRecordLine(const QList<QByteArray>& fields) {
    static constexpr std::array<qsizetype, 4> shapes{3, 4, 7, 10};
    if (std::find(shapes.begin(), shapes.end(), fields.size()) == shapes.end()) return false;
    const auto isHex = [](const QByteArray& field) {
        return !field.isEmpty() && field.size() % 2 == 0 &&
               std::all_of(field.begin(), field.end(),
                           [](char c) { return std::isxdigit(uchar(c)); });
    };
    if (!isHex(fields[0]) || !isHex(fields[1])) return false;
    for (qsizetype at = 2; at < fields.size(); ++at) {
        bool number = false;
        fields[at].toULongLong(&number);
        if (!number) fields[at].toLongLong(&number);
        if (!number && !(fields[at] == "-" && at == fields.size() - 1)) return false;
    }
    return true;
}

std::optional<platform::FileIdentity> identityFrom(const QList<QByteArray>& fields, int at) {
    if (fields.size() - at < 5) return std::nullopt;
    platform::FileIdentity identity{fields[at].toULongLong(), fields[at + 1].toULongLong(),
                                    fields[at + 2] == "1", fields[at + 3].toLongLong(),
                                    fields[at + 4].toUInt()};
    if (fields.size() - at == 7) {
        identity.hasGeneration = fields[at + 5] == "1";
        identity.generation = fields[at + 6].toUInt();
    }
    return identity;
}

}  // namespace

Journal::Journal(QString stateFolder, Retry retry)
    : stateFolder_(std::move(stateFolder)), retry_(retry) {}

bool Journal::locate() {
    if (!folderFound_) {
        folderFound_ = true;
        try {
            if (stateFolder_.isEmpty()) stateFolder_ = userStateFolder(retry_);
            file_ = platform::joinPath(stateFolder_, kJournalName);
        } catch (const platform::Failure& failure) {
            problem_ = failure.description();
        }
    }
    return !file_.isEmpty();
}

void Journal::load() {
    // Read again each time: another copy of the program (the command line beside the window)
    // may have recorded its files since. One pass; a later line of a place stands for earlier.
    records_.clear();
    readFailed_ = true;
    if (!locate()) return;
    try {
        const QByteArray bytes = platform::readRegularFile(file_).value_or(QByteArray());
        const qint64 oldest = now() - kKeepDays * 24 * 3600;
        QList<QByteArray> lines = bytes.split('\n');
        // A line cut short by a crash while an earlier version appended it is no record.
        if (lines.size() > 1 && !isRecordLine(lines.last().split(' '))) lines.removeLast();
        for (const QByteArray& line : lines) {
            if (line.isEmpty()) continue;
            const QList<QByteArray> fields = line.split(' ');
            const bool timed = fields.size() == 4 || fields.size() == 10;
            if (!isRecordLine(fields)) {
                // Not a record of ours: a file of the user's is never written over.
                throw platform::Failure(QStringLiteral("%1 is not a record file of this program")
                                            .arg(platform::displayPath(file_)));
            }
            const Record record{timed ? fields[2].toLongLong() : now(),
                                identityFrom(fields, timed ? 3 : 2)};
            const Key key{platform::pathFromBytes(QByteArray::fromHex(fields[0])),
                          platform::pathFromBytes(QByteArray::fromHex(fields[1]))};
            if (record.seen >= oldest)
                records_.insert(key, record);
            else
                records_.remove(key);
        }
        readFailed_ = false;
    } catch (const platform::Failure& failure) {
        problem_ = failure.description();
    }
    records_.insert(unsaved_);
}

void Journal::save(bool sync) {
    // Records that could not be read are not written over.
    if (file_.isEmpty() || readFailed_) return;
    QByteArray bytes;
    for (auto record = records_.cbegin(); record != records_.cend(); ++record)
        bytes += lineOf(record.key().first, record.key().second, record->seen, record->identity);
    try {
        platform::replaceFile(file_, bytes, sync);
        problem_.clear();
        unsaved_.clear();
    } catch (const platform::Failure& failure) {
        problem_ = failure.description();
    }
}

void Journal::expect(const QString& folder, const QString& name) noexcept {
    std::lock_guard lock(mutex_);
    load();
    const Key key{folder, name};
    unsaved_.remove(key);
    records_.insert(key, Record{now(), std::nullopt});
    save(true);
}

bool Journal::vouchesFor(const QString& folder, const QString& name,
                         const platform::FileIdentity& identity) {
    std::lock_guard lock(mutex_);
    load();
    const auto record = records_.constFind(Key{folder, name});
    // Device and inode alone do not vouch: a later file may get the same inode number.
    return record != records_.cend() && record->identity && *record->identity == identity &&
           identity.lasting();
}

void Journal::forget(const QString& folder, const QString& name) noexcept {
    std::lock_guard lock(mutex_);
    load();
    const Key key{folder, name};
    unsaved_.remove(key);
    if (records_.remove(key) == 0 && unsaved_.isEmpty()) return;
    save(false);
}

void Journal::flush() noexcept {
    std::lock_guard lock(mutex_);
    if (unsaved_.isEmpty()) return;
    load();
    save(false);
}

QString Journal::notice() const {
    std::lock_guard lock(mutex_);
    if (problem_.isEmpty()) return {};
    return QStringLiteral(
               "This program cannot keep the records of its test files (%1). Until it "
               "can, a test file that an interrupted run left behind is known only by "
               "its content.")
        .arg(problem_);
}

void Journal::willCreate(const QString& folder, const QString& name) noexcept {
    {
        // A record made by expect() is on disk already: nothing to read or write in the phase.
        std::lock_guard lock(mutex_);
        const auto record = records_.constFind(Key{folder, name});
        if (record != records_.cend() && !record->identity) return;
    }
    expect(folder, name);
}

void Journal::created(const QString& folder, const QString& name,
                      const platform::FileIdentity& identity) noexcept {
    // Inside a timed phase: kept in memory only. A kill before the next write leaves the record
    // without identity, and the file is then judged by its content.
    std::lock_guard lock(mutex_);
    const Key key{folder, name};
    const Record record{now(), identity};
    records_.insert(key, record);
    unsaved_.insert(key, record);
}

void Journal::gone(const QString& folder, const QString& name) noexcept {
    forget(folder, name);
}

}  // namespace ownership
