#pragma once

// Fakes of the drive services, of the window's side of the drive panel, and of a system tree
// that holds nothing but a mount table.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <atomic>
#include <memory>
#include <mutex>

#include "driveinfo/drives.h"
#include "driveinfo/driveview.h"
#include "platform/drives.h"
#include "platform/failure.h"

namespace fakes {

// Once armed, a query that comes on the application's (the window's) thread fails the test:
// there a drive that stalls would freeze the window.
inline void failOnWindowThread(const std::atomic<bool>& armed, const QString& what) {
    const QCoreApplication* application = QCoreApplication::instance();
    if (!armed || !application || QThread::currentThread() != application->thread()) return;
    QTest::qFail(("on the window thread: " + what.toUtf8()).constData(), __FILE__, __LINE__);
}

// Records every call in order, e.g. "clear", "selected", "Text5=DATA".
class FakeDriveView : public driveinfo::DriveView {
public:
    QString selectedMountRoot() override {
        calls.append(QStringLiteral("selected"));
        return selectedRoot;
    }
    void clearResults() override {
        calls.append(QStringLiteral("clear"));
        text1.clear();
        text2.clear();
        text3.clear();
    }
    void setDriveTypeText(const QString& text) override { set(text4, 4, text); }
    void setVolumeNameText(const QString& text) override { set(text5, 5, text); }
    void setTotalSizeText(const QString& text) override { set(text6, 6, text); }
    void setFreeSpaceText(const QString& text) override { set(text7, 7, text); }

    QString selectedRoot;
    QString text1 = QStringLiteral("1.5"), text2 = QStringLiteral("2.25"),
            text3 = QStringLiteral("3");
    QString text4 = QStringLiteral("old type"), text5 = QStringLiteral("old name"),
            text6 = QStringLiteral("111"), text7 = QStringLiteral("222");
    QStringList calls;

private:
    void set(QString& box, int number, const QString& text) {
        calls.append(QStringLiteral("Text%1=%2").arg(number).arg(text));
        box = text;
    }
};

// What one fake drive reports; a non-empty failure text makes that property throw.
struct FakeDriveData {
    FakeDriveData() = default;
    FakeDriveData(driveinfo::DriveType driveType, QString name, double total, double free)
        : type(driveType), volumeName(std::move(name)), totalBytes(total), freeBytes(free) {}

    driveinfo::DriveType type = driveinfo::DriveType::Fixed;
    QString volumeName;
    double totalBytes = 0;
    double freeBytes = 0;
    QString volumeNameFailure, totalSizeFailure, freeSpaceFailure, driveTypeFailure;
};

class FakeDrive : public driveinfo::Drive {
public:
    explicit FakeDrive(FakeDriveData data) : data_(std::move(data)) {}
    driveinfo::DriveType driveType() override { return failOr(data_.driveTypeFailure, data_.type); }
    QString volumeName() override { return failOr(data_.volumeNameFailure, data_.volumeName); }
    double totalSize() override { return failOr(data_.totalSizeFailure, data_.totalBytes); }
    double freeSpace() override { return failOr(data_.freeSpaceFailure, data_.freeBytes); }

private:
    template <typename T>
    T failOr(const QString& failure, T value) {
        if (!failure.isEmpty()) throw platform::Failure(failure);
        return value;
    }
    FakeDriveData data_;
};

// Knows the drives put into it; any other mount root is not ready.
class FakeDriveService : public driveinfo::DriveService {
public:
    std::unique_ptr<driveinfo::Drive> getDrive(const QString& mountRoot) override {
        failOnWindowThread(checkThread, mountRoot);
        {
            // Queries of two drives may run on two threads at once.
            const std::lock_guard lock(requestedMutex);
            requested.append(mountRoot);
        }
        if (!drives.contains(mountRoot)) throw driveinfo::NotMounted(mountRoot);
        return std::make_unique<FakeDrive>(drives.value(mountRoot));
    }
    QHash<QString, FakeDriveData> drives;
    QStringList requested;
    std::mutex requestedMutex;
    std::atomic<bool> checkThread{false};
};

// Sizes and labels by mount root; remembers which roots were asked for a label.
class FakeVolumeQueries : public platform::VolumeQueries {
public:
    platform::VolumeSpace space(const QString& mountRoot) override {
        failOnWindowThread(checkThread, mountRoot);
        if (!spaces.contains(mountRoot)) {
            throw platform::Failure(
                QStringLiteral("Cannot read the size of drive %1: Input/output error")
                    .arg(mountRoot));
        }
        return spaces.value(mountRoot);
    }
    QString fileSystemLabel(const QString& mountRoot) override {
        labelQueries.append(mountRoot);
        return labels.value(mountRoot);
    }
    // The kernel's answer: the id given for the folder or its nearest folder above.
    int mountIdOf(const QString& folder) override {
        for (QString at = folder; !at.isEmpty(); at = at.section(QLatin1Char('/'), 0, -2)) {
            if (mountIds.contains(at)) return mountIds.value(at);
        }
        if (mountIds.contains(QStringLiteral("/"))) return mountIds.value(QStringLiteral("/"));
        throw platform::Failure(
            QStringLiteral("Cannot open %1: No such file or directory").arg(folder));
    }
    QHash<QString, platform::VolumeSpace> spaces;
    QHash<QString, QString> labels;
    QHash<QString, int> mountIds;
    QStringList labelQueries;
    std::atomic<bool> checkThread{false};
};

// The recorded /proc and /sys tree of another machine.
inline QString recordedSystem(const QString& machine) {
    return QStringLiteral(DOV_FIXTURES_DIR "/") + machine;
}

// A system root whose only file is proc/self/mountinfo; without a table, not even that.
class SystemRoot {
public:
    explicit SystemRoot(const QByteArray& table = {}) {
        if (!table.isNull()) setTable(table);
    }
    bool setTable(const QByteArray& table) {
        QFile file(dir_.path() + QStringLiteral("/proc/self/mountinfo"));
        return QDir(dir_.path()).mkpath(QStringLiteral("proc/self")) &&
               file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               file.write(table) == table.size();
    }
    QString path() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
};

}  // namespace fakes
