#pragma once

// An in-memory file service for tests: files are byte arrays keyed by path, every call is
// logged, and any operation can be made to fail or to wait. All members are guarded by
// one mutex so that a phase running on a worker thread and the test on the window thread may
// both use it.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <functional>
#include <mutex>
#include <string_view>

#include "platform/failure.h"
#include "platform/files.h"

namespace fakes {

class FakeFiles : public platform::FileService {
public:
    enum class Op { Open, WriteLine, Close, Delete, PathKind, Check, Copy };

    struct Node {
        platform::PathKind kind = platform::PathKind::RegularFile;
        QByteArray content;  // file bytes, or the target of a symbolic link
    };

    // --- set-up and inspection (thread-safe) ---

    void putNode(const QString& path, platform::PathKind kind, const QByteArray& content = {}) {
        std::lock_guard lock(mutex_);
        nodes_[path] = Node{kind, content};
    }
    bool exists(const QString& path) const {
        std::lock_guard lock(mutex_);
        return nodes_.contains(path);
    }
    QByteArray content(const QString& path) const {
        std::lock_guard lock(mutex_);
        return nodes_.value(path).content;
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
        return open_.size();
    }
    int writeLineCalls() const {
        std::lock_guard lock(mutex_);
        return writeLineCalls_;
    }

    // The next call of op whose path (the destination, for a copy) contains pathPart fails
    // with description; an empty pathPart matches any path. Each fault fires once.
    void failNext(Op op, const QString& description, const QString& pathPart = {}) {
        std::lock_guard lock(mutex_);
        faults_.append(Fault{op, pathPart, description});
    }
    // Runs before every operation, outside the lock; may sleep or throw.
    void setBeforeOperation(std::function<void(Op, const QString& path)> hook) {
        std::lock_guard lock(mutex_);
        before_ = std::move(hook);
    }

    // --- FileService ---

    void openForOutput(int fileNumber, const QString& path, platform::CreateMode mode) override {
        enter(Op::Open, path);
        std::lock_guard lock(mutex_);
        log_.append(QStringLiteral("open %1 %2").arg(path, modeName(mode)));
        fireFault(Op::Open, path);
        if (open_.contains(fileNumber))
            throw platform::Failure(
                QStringLiteral("File number %1 is already open").arg(fileNumber));
        const auto found = nodes_.find(path);
        if (found != nodes_.end()) {
            if (mode == platform::CreateMode::CreateNew)
                throw platform::Failure(QStringLiteral("Cannot create %1: File exists").arg(path));
            if (found->kind != platform::PathKind::RegularFile)
                throw platform::Failure(
                    QStringLiteral("Cannot open %1: Not a regular file").arg(path));
        }
        nodes_[path] = Node{};
        open_.insert(fileNumber, path);
    }

    void writeLine(int fileNumber, std::string_view text) override {
        // The per-line hook is skipped: a test file has hundreds of thousands of lines.
        std::lock_guard lock(mutex_);
        ++writeLineCalls_;
        const auto found = open_.constFind(fileNumber);
        if (found == open_.constEnd())
            throw platform::Failure(QStringLiteral("File number %1 is not open").arg(fileNumber));
        fireFault(Op::WriteLine, *found);
        QByteArray& bytes = nodes_[*found].content;
        bytes.append(text.data(), static_cast<qsizetype>(text.size()));
        bytes.append("\r\n");
    }

    void close(int fileNumber) override {
        const QString path = openPath(fileNumber);
        enter(Op::Close, path);
        std::lock_guard lock(mutex_);
        log_.append(QStringLiteral("close %1").arg(path));
        fireFault(Op::Close, path);
        if (!open_.remove(fileNumber))
            throw platform::Failure(QStringLiteral("File number %1 is not open").arg(fileNumber));
    }

    void closeAll() noexcept override {
        std::lock_guard lock(mutex_);
        log_.append(QStringLiteral("closeAll"));
        open_.clear();
    }

    void deleteFile(const QString& path) override {
        enter(Op::Delete, path);
        std::lock_guard lock(mutex_);
        log_.append(QStringLiteral("delete %1").arg(path));
        fireFault(Op::Delete, path);
        if (!nodes_.remove(path))
            throw platform::Failure(
                QStringLiteral("Cannot delete %1: No such file or directory").arg(path));
    }

    platform::PathKind pathKind(const QString& path) override {
        enter(Op::PathKind, path);
        std::lock_guard lock(mutex_);
        fireFault(Op::PathKind, path);
        const auto found = nodes_.constFind(path);
        return found == nodes_.constEnd() ? platform::PathKind::Missing : found->kind;
    }

    bool consistsOfRepeatedBlock(const QString& path, std::string_view block) override {
        enter(Op::Check, path);
        std::lock_guard lock(mutex_);
        fireFault(Op::Check, path);
        const auto found = nodes_.constFind(path);
        if (found == nodes_.constEnd() || found->kind != platform::PathKind::RegularFile)
            return false;
        const QByteArrayView unit(block.data(), static_cast<qsizetype>(block.size()));
        const QByteArray& bytes = found->content;
        if (unit.isEmpty() || bytes.size() % unit.size() != 0) return false;
        for (qsizetype at = 0; at < bytes.size(); at += unit.size()) {
            if (QByteArrayView(bytes).sliced(at, unit.size()) != unit) return false;
        }
        return true;
    }

    void copyFile(const QString& source, const QString& destination,
                  const platform::CopyOptions& options) override {
        enter(Op::Copy, source + QStringLiteral(" -> ") + destination);
        std::lock_guard lock(mutex_);
        log_.append(QStringLiteral("copy %1 %2 %3%4%5")
                        .arg(source, destination, modeName(options.destination),
                             options.flushToDevice ? QStringLiteral(" flush") : QString(),
                             options.dropCachedPages ? QStringLiteral(" drop") : QString()));
        fireFault(Op::Copy, destination);
        const auto from = nodes_.constFind(source);
        if (from == nodes_.constEnd() || from->kind != platform::PathKind::RegularFile)
            throw platform::Failure(
                QStringLiteral("Cannot copy %1 to %2: No such file or directory")
                    .arg(source, destination));
        const auto to = nodes_.constFind(destination);
        if (to != nodes_.constEnd()) {
            if (options.destination == platform::CreateMode::CreateNew)
                throw platform::Failure(
                    QStringLiteral("Cannot copy %1 to %2: File exists").arg(source, destination));
            if (to->kind != platform::PathKind::RegularFile)
                throw platform::Failure(QStringLiteral("Cannot copy %1 to %2: Not a regular file")
                                            .arg(source, destination));
        }
        nodes_[destination] = Node{platform::PathKind::RegularFile, from->content};
    }

    static QString modeName(platform::CreateMode mode) {
        return mode == platform::CreateMode::CreateNew ? QStringLiteral("new")
                                                       : QStringLiteral("replace");
    }

private:
    struct Fault {
        Op op;
        QString pathPart;
        QString description;
    };

    void enter(Op op, const QString& path) {
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

    QString openPath(int fileNumber) const {
        std::lock_guard lock(mutex_);
        return open_.value(fileNumber);
    }

    mutable std::mutex mutex_;
    QMap<QString, Node> nodes_;
    QHash<int, QString> open_;
    QStringList log_;
    QList<Fault> faults_;
    std::function<void(Op, const QString&)> before_;
    int writeLineCalls_ = 0;
};

}  // namespace fakes
