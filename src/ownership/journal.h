#pragma once

#include <QHash>
#include <QPair>
#include <QString>
#include <mutex>
#include <optional>

#include "ownership/retry.h"
#include "platform/files.h"

namespace ownership {

// The program's own record of the test files it makes, kept in the user's state folder. A
// record is on disk before its file exists and names the folder and the name; the file's
// identity, learned as it is made inside a timed phase, is kept in memory and written by the
// next call made outside one (expect, forget, flush). A record vouches for a file only by an
// identity that a later file at the same name cannot take (birth time or generation). Records
// go with their file (a look at the place that finds it gone forgets it); one written more than
// kKeepDays ago, of a place not looked at since (a stick in a drawer), goes at the next load,
// and its file, should it come back, is judged by its content. Where no record can be kept (a
// read-only or full home, a record file that is not a regular file), the run goes on and notice()
// says that leftovers are then judged by their content alone.
class Journal {
public:
    static constexpr qint64 kKeepDays = 90;

    // stateFolder empty: the user's state folder for the program, found and made at first use;
    // retry is the way to try again that the notice names when it cannot be had.
    explicit Journal(QString stateFolder = {}, Retry retry = Retry::PressStart);

    // Records that folder/name is about to be made, synced to disk; done before a timed phase so
    // that the phase's own creation finds the record there.
    void expect(const QString& folder, const QString& name) noexcept;
    // True when a record names this very file at folder/name by a lasting identity.
    bool vouchesFor(const QString& folder, const QString& name,
                    const platform::FileIdentity& identity);
    // The record of folder/name goes (its file is gone, or is another file by now).
    void forget(const QString& folder, const QString& name) noexcept;
    // Writes the identities learned since the last write.
    void flush() noexcept;
    // Empty while every record could be kept.
    QString notice() const;

    // Told of every test file the run makes: before it exists, once it exists and once it is
    // gone. willCreate and created touch no disk when expect came first.
    void willCreate(const QString& folder, const QString& name) noexcept;
    void created(const QString& folder, const QString& name,
                 const platform::FileIdentity& identity) noexcept;
    void gone(const QString& folder, const QString& name) noexcept;

private:
    using Key = QPair<QString, QString>;  // folder, name
    struct Record {
        qint64 seen = 0;  // seconds since the epoch when it was written
        std::optional<platform::FileIdentity> identity;
    };
    // All with mutex_ held. locate finds the state folder once; false without one.
    bool locate();
    void load();
    void save(bool sync);

    mutable std::mutex mutex_;
    QString stateFolder_;
    Retry retry_;
    QString file_;
    bool folderFound_ = false;
    bool readFailed_ = false;
    QHash<Key, Record> records_;
    QHash<Key, Record> unsaved_;  // identities learned inside a timed phase
    QString problem_;
};

}  // namespace ownership
