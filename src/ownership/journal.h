#pragma once

#include <QList>
#include <QString>
#include <mutex>
#include <optional>

#include "platform/files.h"

namespace ownership {

// The program's own record of the test files it makes, kept in the user's state folder. A
// record is on disk before its file exists and names the folder and the name; once the file
// exists, also its identity, which a later file at the name cannot inherit. A record goes with
// its file. Where no record can be kept (a read-only or full home), the run goes on and
// notice() says that leftovers are then judged by their content alone.
class Journal : public platform::CreationRecorder {
public:
    // stateFolder empty: the user's state folder for the program, found and made at first use.
    explicit Journal(QString stateFolder = {});

    // Records that folder/name is about to be made, synced to disk; done before a timed phase so
    // that the phase's own creation finds the record there.
    void expect(const QString& folder, const QString& name) noexcept;
    // True when a record names this very file at folder/name.
    bool vouchesFor(const QString& folder, const QString& name,
                    const platform::FileIdentity& identity);
    // The record of folder/name goes (its file is gone, or is another file by now).
    void forget(const QString& folder, const QString& name) noexcept;
    // Empty while every record could be kept.
    QString notice() const;

    void willCreate(const QString& folder, const QString& name) noexcept override;
    void created(const QString& folder, const QString& name,
                 const platform::FileIdentity& identity) noexcept override;
    void gone(const QString& folder, const QString& name) noexcept override;

private:
    struct Record {
        QString folder;
        QString name;
        std::optional<platform::FileIdentity> identity;
    };
    // All with mutex_ held. locate finds the state folder once; false without one.
    bool locate();
    void load();
    void save(bool sync);
    Record* find(const QString& folder, const QString& name);

    mutable std::mutex mutex_;
    QString stateFolder_;
    QString file_;
    bool folderFound_ = false;
    bool readFailed_ = false;
    QList<Record> records_;
    QString problem_;
};

}  // namespace ownership
