#pragma once

// An in-memory file service for tests: files are byte arrays keyed by path (a folder handle
// stands for its path), every call is logged, and any operation can be made to fail or to
// wait. Each file has a serial number for its identity, so a file the test swaps in under a
// name is not the run's own. All members are guarded by one mutex so that a phase running on a
// worker thread and the test on the window thread may both use it.

#include <QByteArray>
#include <QCoreApplication>
#include <QHash>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/failure.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/userfolders.h"

namespace fakes {

// What a test puts at a path.
enum class PathKind { RegularFile, SymbolicLink, Other };

class FakeFiles : public platform::FileService {
public:
    enum class Op { Open, WriteLine, Close, Delete, Claim, Check, Copy, OpenFolder };

    struct Node {
        PathKind kind = PathKind::RegularFile;
        QByteArray content;  // file bytes, or the target of a symbolic link
        int links = 1;
        bool lockedByOther = false;
        quint64 serial = 0;
        uint owner = platform::effectiveUser();
    };

    // --- set-up and inspection (thread-safe) ---

    void putNode(const QString& path, PathKind kind, const QByteArray& content = {}, int links = 1,
                 bool lockedByOther = false) {
        std::lock_guard lock(mutex_);
        nodes_[path] = Node{kind, content, links, lockedByOther, ++serial_};
    }
    bool exists(const QString& path) const {
        std::lock_guard lock(mutex_);
        return nodes_.contains(path);
    }
    QByteArray content(const QString& path) const {
        std::lock_guard lock(mutex_);
        return nodes_.value(path).content;
    }
    void setContent(const QString& path, const QByteArray& content) {
        std::lock_guard lock(mutex_);
        nodes_[path].content = content;
    }
    QStringList paths() const {
        std::lock_guard lock(mutex_);
        return nodes_.keys();
    }
    QStringList log() const {
        std::lock_guard lock(mutex_);
        return log_;
    }
    int openFileCount() const {
        std::lock_guard lock(mutex_);
        return output_.isEmpty() ? 0 : 1;
    }
    int writeLineCalls() const {
        std::lock_guard lock(mutex_);
        return writeLineCalls_;
    }
    int openFolderCount() const {
        std::lock_guard lock(mutex_);
        return folders_.size();
    }
    // From now on the folder's path no longer names the folder the run opened.
    void replaceFolder(const QString& path) {
        std::lock_guard lock(mutex_);
        replaced_.insert(path);
    }
    // Why dropDeviceCache fails for files in the folder.
    void setCacheDrop(const QString& folder, const QString& why) {
        std::lock_guard lock(mutex_);
        cacheDrops_[folder] = why;
    }

    // The next call of op whose path (the destination, for a copy) contains pathPart fails
    // with description; an empty pathPart matches any path. Each fault fires once.
    void failNext(Op op, const QString& description, const QString& pathPart = {}) {
        std::lock_guard lock(mutex_);
        faults_.append(Fault{op, pathPart, description});
    }
    // Once armed, a call that may wait on a drive fails the test when it comes on the
    // application's (the window's) thread, where a stalled drive would freeze the window.
    void failCallsOnWindowThread() { windowThreadCheck_ = true; }

    // Runs before every operation, outside the lock; may sleep or throw.
    void setBeforeOperation(std::function<void(Op, const QString& path)> hook) {
        std::lock_guard lock(mutex_);
        before_ = std::move(hook);
    }

    // --- FileService ---

    int openFolder(const QString& path) override {
        enter(Op::OpenFolder, path);
        std::lock_guard lock(mutex_);
        fireFault(Op::OpenFolder, path);
        folders_.insert(++lastFolder_, path);
        return lastFolder_;
    }
    void closeFolder(int folder) noexcept override {
        offWindowThread(QStringLiteral("close folder"));
        std::lock_guard lock(mutex_);
        folders_.remove(folder);
    }
    QString folderPath(int folder) const override {
        std::lock_guard lock(mutex_);
        return folders_.value(folder);
    }
    bool folderStillAt(int folder) override {
        offWindowThread(QStringLiteral("folder still at"));
        std::lock_guard lock(mutex_);
        return !replaced_.contains(folders_.value(folder));
    }
    bool sameFolder(int folder, int other) override {
        offWindowThread(QStringLiteral("same folder"));
        std::lock_guard lock(mutex_);
        return folders_.value(folder) == folders_.value(other);
    }

    // What is there is judged by the caller's decision, the rule of the room above.
    platform::LeftoverLook takeLeftover(int folder, const QString& name,
                                        const platform::LeftoverDecision& decide) override {
        const QString path = pathIn(folder, name);
        enter(Op::Claim, path);
        std::unique_lock lock(mutex_);
        fireFault(Op::Claim, path);
        platform::LeftoverLook look;
        const auto found = nodes_.constFind(path);
        if (found == nodes_.constEnd()) return look;
        look.present = true;
        const Node node = *found;
        look.file = platform::FoundFile{node.kind == PathKind::RegularFile,
                                        quint64(node.links),
                                        node.owner,
                                        node.content.size(),
                                        identityOf(node),
                                        node.lockedByOther,
                                        {}};
        if (!look.file.regular) return look;
        lock.unlock();
        const platform::ByteReader read = [&](qint64 offset, char* data, qint64 size) {
            const QByteArray part = node.content.mid(offset, size);
            std::copy(part.cbegin(), part.cend(), data);
            return qint64(part.size());
        };
        if (!decide(look.file, read) || node.lockedByOther || node.links != 1) return look;
        lock.lock();
        log_.append(QStringLiteral("reclaim %1").arg(path));
        nodes_.remove(path);
        look.removed = true;
        return look;
    }

    platform::HeldFile createForOutput(int folder, const QString& name,
                                       const platform::CreatedHook& created) override {
        const QString path = pathIn(folder, name);
        enter(Op::Open, path);
        std::lock_guard lock(mutex_);
        log_.append(QStringLiteral("open %1 new").arg(path));
        fireFault(Op::Open, path);
        if (!output_.isEmpty())
            throw platform::Failure(QStringLiteral("%1 is still open").arg(output_));
        if (nodes_.contains(path))
            throw platform::Failure(QStringLiteral("Cannot create %1: File exists").arg(path));
        output_ = path;
        return makeNew(folder, name, {}, created);
    }

    void writeLine(std::string_view text) override {
        // The per-line hook is skipped: a test file has hundreds of thousands of lines.
        std::lock_guard lock(mutex_);
        ++writeLineCalls_;
        if (output_.isEmpty()) throw platform::Failure(QStringLiteral("No file is open"));
        fireFault(Op::WriteLine, output_);
        QByteArray& bytes = nodes_[output_].content;
        bytes.append(text.data(), static_cast<qsizetype>(text.size()));
    }

    void closeOutput() override {
        const QString path = openPath();
        if (path.isEmpty()) return;
        enter(Op::Close, path);
        std::lock_guard lock(mutex_);
        log_.append(QStringLiteral("close %1").arg(path));
        fireFault(Op::Close, path);
        output_.clear();
    }

    void abandonOutput() noexcept override {
        offWindowThread(QStringLiteral("abandon output"));
        std::lock_guard lock(mutex_);
        log_.append(QStringLiteral("closeAll"));
        output_.clear();
    }

    platform::HeldFile copyFile(const platform::HeldFile& from, int toFolder, const QString& toName,
                                const platform::CopyOptions& options,
                                const platform::CreatedHook& created) override {
        const QString source = pathIn(from.folder, from.name);
        const QString destination = pathIn(toFolder, toName);
        enter(Op::Copy, source + QStringLiteral(" -> ") + destination);
        std::lock_guard lock(mutex_);
        log_.append(QStringLiteral("copy %1 %2 new%3%4")
                        .arg(source, destination,
                             options.flushToDevice ? QStringLiteral(" flush") : QString(),
                             options.dropCachedPages ? QStringLiteral(" drop") : QString()));
        fireFault(Op::Copy, destination);
        const auto found = nodes_.constFind(source);
        if (found == nodes_.constEnd() || found->kind != PathKind::RegularFile)
            throw platform::Failure(
                QStringLiteral("Cannot copy %1 to %2: No such file or directory")
                    .arg(source, destination));
        if (found->serial != from.identity.inode)
            throw platform::Failure(
                QStringLiteral("Cannot copy %1 to %2: It was replaced since it was written")
                    .arg(source, destination));
        if (nodes_.contains(destination))
            throw platform::Failure(
                QStringLiteral("Cannot copy %1 to %2: File exists").arg(source, destination));
        return makeNew(toFolder, toName, found->content, created);
    }

    void dropDeviceCache(const platform::HeldFile& file) override {
        offWindowThread(QStringLiteral("drop device cache"));
        std::lock_guard lock(mutex_);
        const QString why = cacheDrops_.value(folders_.value(file.folder));
        if (!why.isEmpty()) throw platform::Failure(why);
    }

    platform::ByteReader readHeld(const platform::HeldFile& file) override {
        const QString path = pathIn(file.folder, file.name);
        enter(Op::Check, path);
        std::lock_guard lock(mutex_);
        fireFault(Op::Check, path);
        const QByteArray bytes = nodes_.value(path).content;
        return [bytes](qint64 offset, char* data, qint64 size) {
            const QByteArray part = bytes.mid(offset, size);
            std::copy(part.cbegin(), part.cend(), data);
            return qint64(part.size());
        };
    }

    bool removeHeld(platform::HeldFile& file) override {
        const QString path = pathIn(file.folder, file.name);
        enter(Op::Delete, path);
        std::lock_guard lock(mutex_);
        log_.append(QStringLiteral("delete %1").arg(path));
        fireFault(Op::Delete, path);
        const auto found = nodes_.constFind(path);
        if (found == nodes_.constEnd() || found->serial != file.identity.inode) return false;
        nodes_.remove(path);
        return true;
    }

private:
    struct Fault {
        Op op;
        QString pathPart;
        QString description;
    };

    static platform::FileIdentity identityOf(const Node& node) {
        return platform::FileIdentity{1, node.serial, true, qint64(node.serial), 0};
    }
    QString pathIn(int folder, const QString& name) const {
        std::lock_guard lock(mutex_);
        return platform::joinPath(folders_.value(folder), name);
    }

    // Called with the mutex held.
    platform::HeldFile makeNew(int folder, const QString& name, const QByteArray& content,
                               const platform::CreatedHook& created) {
        Node& node = nodes_[platform::joinPath(folders_.value(folder), name)];
        node = Node{PathKind::RegularFile, content, 1, false, ++serial_};
        if (created) created(identityOf(node));
        return platform::HeldFile{folder, name, identityOf(node), {}};
    }

    void offWindowThread(const QString& what) const noexcept {
        const QCoreApplication* application = QCoreApplication::instance();
        if (!windowThreadCheck_ || !application ||
            QThread::currentThread() != application->thread())
            return;
        const QByteArray message = "on the window thread: " + what.toUtf8();
        QTest::qFail(message.constData(), __FILE__, __LINE__);
    }

    void enter(Op op, const QString& path) {
        offWindowThread(path);
        std::function<void(Op, const QString&)> hook;
        {
            std::lock_guard lock(mutex_);
            hook = before_;
        }
        if (hook) hook(op, path);
    }

    // Called with the mutex held.
    void fireFault(Op op, const QString& path) {
        for (qsizetype i = 0; i < faults_.size(); ++i) {
            const Fault& fault = faults_.at(i);
            if (fault.op != op) continue;
            if (!fault.pathPart.isEmpty() && !path.contains(fault.pathPart)) continue;
            const QString description = fault.description;
            faults_.removeAt(i);
            throw platform::Failure(description);
        }
    }

    QString openPath() const {
        std::lock_guard lock(mutex_);
        return output_;
    }

    mutable std::mutex mutex_;
    QMap<QString, Node> nodes_;
    QString output_;  // the one file open for output
    QHash<int, QString> folders_;
    QSet<QString> replaced_;
    QHash<QString, QString> cacheDrops_;
    QStringList log_;
    QList<Fault> faults_;
    std::function<void(Op, const QString&)> before_;
    int writeLineCalls_ = 0;
    int lastFolder_ = 0;
    quint64 serial_ = 0;
    std::atomic<bool> windowThreadCheck_{false};
};

}  // namespace fakes
