#include "ownership/ownfiles.h"

#include <atomic>
#include <cstdlib>
#include <exception>
#include <optional>

#include "ownership/journal.h"
#include "platform/failure.h"
#include "platform/paths.h"

namespace ownership {

namespace {

std::atomic<OwnFiles*> filesAtExit{nullptr};

QString notOurs() {
    return QStringLiteral("Not a file made by this process");
}

extern "C" void removeOwnFilesAtExit() {
    if (OwnFiles* files = filesAtExit.exchange(nullptr)) files->removeOwnFiles();
}

}  // namespace

OwnFiles::OwnFiles(platform::FileService& files, std::shared_ptr<Journal> journal)
    : files_(files), journal_(std::move(journal)) {}

void OwnFiles::make(int folder, const QString& name,
                    const std::function<platform::HeldFile(const platform::CreatedHook&)>& make) {
    const QString folderPath = files_.folderPath(folder);
    // The record comes first, so that a crash at any moment from here leaves a file known.
    journal_->willCreate(folderPath, name);
    std::optional<platform::FileIdentity> listed;
    // Listed before a byte is written, so that every way out, and a removal from another
    // thread, finds it by its identity.
    const auto created = [&](const platform::FileIdentity& identity) {
        journal_->created(folderPath, name, identity);
        std::lock_guard lock(mutex_);
        own_.push_back(Own{platform::HeldFile{folder, name, identity, {}}, folderPath});
        listed = identity;
    };
    const auto isNew = [&](const Own& own) {
        return own.file.folder == folder && own.file.name == name && own.file.identity == listed;
    };
    try {
        platform::HeldFile made = make(created);
        std::lock_guard lock(mutex_);
        for (Own& own : own_) {
            if (isNew(own)) own.file.lock = std::move(made.lock);
        }
    } catch (...) {
        if (!listed) journal_->gone(folderPath, name);
        for (Own& own : take(isNew)) {
            try {
                remove(own);
            } catch (const std::exception&) {
            }
        }
        throw;
    }
}

void OwnFiles::createForOutput(int folder, const QString& name) {
    make(folder, name, [&](const platform::CreatedHook& created) {
        return files_.createForOutput(folder, name, created);
    });
}

void OwnFiles::copyFile(int fromFolder, const QString& fromName, int toFolder,
                        const QString& toName, const platform::CopyOptions& options) {
    const std::optional<platform::HeldFile> source = held(fromFolder, fromName);
    if (!source) {
        const QString from = platform::joinPath(files_.folderPath(fromFolder), fromName);
        throw platform::Failure(
            QStringLiteral("Cannot copy %1 to").arg(platform::displayPath(from)),
            platform::joinPath(files_.folderPath(toFolder), toName), 0, notOurs());
    }
    make(toFolder, toName, [&](const platform::CreatedHook& created) {
        return files_.copyFile(*source, toFolder, toName, options, created);
    });
}

void OwnFiles::dropDeviceCache(int folder, const QString& name) {
    if (const std::optional<platform::HeldFile> file = held(folder, name))
        files_.dropDeviceCache(*file);
}

platform::ByteReader OwnFiles::readOwn(int folder, const QString& name) {
    const std::optional<platform::HeldFile> file = held(folder, name);
    if (!file) {
        throw platform::Failure(QStringLiteral("Cannot read"),
                                platform::joinPath(files_.folderPath(folder), name), 0, notOurs());
    }
    return files_.readHeld(*file);
}

void OwnFiles::removeOwnFile(int folder, const QString& name) {
    const QString path = platform::joinPath(files_.folderPath(folder), name);
    std::vector<Own> taken =
        take([&](const Own& own) { return own.file.folder == folder && own.file.name == name; });
    if (taken.empty()) {
        throw platform::Failure(QStringLiteral("Cannot delete"), path, 0, notOurs());
    }
    if (remove(taken.front())) return;
    throw platform::Failure(
        QStringLiteral("Cannot delete"), path, 0,
        QStringLiteral("It was replaced since it was written; what is there now was left "
                       "untouched"));
}

void OwnFiles::removeOwnFiles() noexcept {
    for (Own& own : take([](const Own&) { return true; })) {
        try {
            remove(own);
        } catch (const std::exception&) {
            // Left where it is, with its record: nothing more can be done for it from here.
        }
    }
}

void OwnFiles::closeFolder(int folder) noexcept {
    // The locks close here, outside the list's lock: closing may wait on the volume.
    take([&](const Own& own) { return own.file.folder == folder; });
    files_.closeFolder(folder);
}

std::vector<OwnFiles::Own> OwnFiles::take(const std::function<bool(const Own&)>& which) {
    std::vector<Own> taken;
    std::lock_guard lock(mutex_);
    for (auto own = own_.begin(); own != own_.end();) {
        if (which(*own)) {
            taken.push_back(std::move(*own));
            own = own_.erase(own);
        } else {
            ++own;
        }
    }
    return taken;
}

std::optional<platform::HeldFile> OwnFiles::held(int folder, const QString& name) const {
    std::lock_guard lock(mutex_);
    for (const Own& own : own_) {
        if (own.file.folder == folder && own.file.name == name) return own.file;
    }
    return std::nullopt;
}

bool OwnFiles::remove(Own& own) {
    // Gone already or another file at the name: either way the record must not vouch for what
    // is there now.
    const bool removed = files_.removeHeld(own.file);
    journal_->gone(own.folderPath, own.file.name);
    return removed;
}

RemoveOwnFilesAtExit::RemoveOwnFilesAtExit(OwnFiles& files) : files_(&files) {
    static const bool registered = std::atexit(removeOwnFilesAtExit) == 0;
    OwnFiles* none = nullptr;
    if (registered) filesAtExit.compare_exchange_strong(none, files_);
}

RemoveOwnFilesAtExit::~RemoveOwnFilesAtExit() {
    OwnFiles* mine = files_;
    filesAtExit.compare_exchange_strong(mine, nullptr);
}

}  // namespace ownership
