#include "ownership/journal.h"

#include <QByteArray>
#include <QList>
#include <cerrno>

#include "ownership/folders.h"
#include "platform/failure.h"
#include "platform/paths.h"
#include "platform/systemfiles.h"
#include "platform/userfolders.h"

namespace ownership {

namespace {

const QString kJournalName = QStringLiteral("test-files");

// One record a line: folder and name as hex of their bytes, then device, inode, whether a
// birth time is known, its seconds and nanoseconds; "-" for an identity not yet known.
QByteArray lineOf(const QString& folder, const QString& name,
                  const std::optional<platform::FileIdentity>& identity) {
    QByteArray line =
        platform::pathToBytes(folder).toHex() + ' ' + platform::pathToBytes(name).toHex();
    if (!identity) return line + " -\n";
    return line + ' ' + QByteArray::number(identity->device) + ' ' +
           QByteArray::number(identity->inode) + ' ' + (identity->hasBirth ? "1 " : "0 ") +
           QByteArray::number(identity->birthSeconds) + ' ' +
           QByteArray::number(identity->birthNanoseconds) + '\n';
}

}  // namespace

Journal::Journal(QString stateFolder) : stateFolder_(std::move(stateFolder)) {}

bool Journal::locate() {
    if (!folderFound_) {
        folderFound_ = true;
        try {
            if (stateFolder_.isEmpty()) stateFolder_ = userStateFolder();
            file_ = platform::joinPath(stateFolder_, kJournalName);
        } catch (const platform::Failure& failure) {
            problem_ = failure.description();
        }
    }
    return !file_.isEmpty();
}

void Journal::load() {
    // Read again each time: another copy of the program (the command line beside the window)
    // may have recorded its files since.
    records_.clear();
    readFailed_ = true;
    if (!locate()) return;
    try {
        QByteArray bytes;
        int error = 0;
        if (!platform::systemfiles::readWholeFile({}, file_, bytes, error) && error != ENOENT)
            platform::raiseSystemFailure(QStringLiteral("Cannot read"), file_, error);
        for (const QByteArray& line : bytes.split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.size() != 3 && fields.size() != 7) continue;
            Record record{platform::pathFromBytes(QByteArray::fromHex(fields[0])),
                          platform::pathFromBytes(QByteArray::fromHex(fields[1])), std::nullopt};
            if (fields.size() == 7) {
                record.identity = platform::FileIdentity{
                    fields[2].toULongLong(), fields[3].toULongLong(), fields[4] == "1",
                    fields[5].toLongLong(), fields[6].toUInt()};
            }
            // A later line of the same file (its identity, appended) stands for the earlier.
            records_.removeIf([&](const Record& r) {
                return r.folder == record.folder && r.name == record.name;
            });
            records_.append(record);
        }
        readFailed_ = false;
    } catch (const platform::Failure& failure) {
        problem_ = failure.description();
    }
}

void Journal::save(bool sync) {
    // Records that could not be read are not written over.
    if (file_.isEmpty() || readFailed_) return;
    QByteArray bytes;
    for (const Record& record : records_)
        bytes += lineOf(record.folder, record.name, record.identity);
    try {
        platform::replaceFile(file_, bytes, sync);
        problem_.clear();
    } catch (const platform::Failure& failure) {
        problem_ = failure.description();
    }
}

Journal::Record* Journal::find(const QString& folder, const QString& name) {
    for (Record& record : records_) {
        if (record.folder == folder && record.name == name) return &record;
    }
    return nullptr;
}

void Journal::expect(const QString& folder, const QString& name) noexcept {
    std::lock_guard lock(mutex_);
    load();
    if (Record* record = find(folder, name); record && !record->identity) return;
    records_.removeIf([&](const Record& r) { return r.folder == folder && r.name == name; });
    records_.append(Record{folder, name, std::nullopt});
    save(true);
}

bool Journal::vouchesFor(const QString& folder, const QString& name,
                         const platform::FileIdentity& identity) {
    std::lock_guard lock(mutex_);
    load();
    const Record* record = find(folder, name);
    return record && record->identity && *record->identity == identity;
}

void Journal::forget(const QString& folder, const QString& name) noexcept {
    std::lock_guard lock(mutex_);
    load();
    if (!find(folder, name)) return;
    records_.removeIf([&](const Record& r) { return r.folder == folder && r.name == name; });
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
    // A record made by expect() is already on disk.
    expect(folder, name);
}

void Journal::created(const QString& folder, const QString& name,
                      const platform::FileIdentity& identity) noexcept {
    std::lock_guard lock(mutex_);
    if (!locate()) return;
    // One appended line: this runs inside a timed phase. Not synced: a kill keeps it as written.
    try {
        platform::appendToFile(file_, lineOf(folder, name, identity));
    } catch (const platform::Failure& failure) {
        problem_ = failure.description();
    }
}

void Journal::gone(const QString& folder, const QString& name) noexcept {
    forget(folder, name);
}

}  // namespace ownership
