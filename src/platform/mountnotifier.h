#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

namespace platform {

// Signals changed() whenever the mount table below systemRoot changes. The kernel flags its
// mountinfo file as exceptional (POLLPRI) after every mount and unmount.
class MountTableNotifier : public QObject {
    Q_OBJECT
public:
    explicit MountTableNotifier(const QString& systemRoot = {}, QObject* parent = nullptr);
    ~MountTableNotifier() override;
    MountTableNotifier(const MountTableNotifier&) = delete;
    MountTableNotifier& operator=(const MountTableNotifier&) = delete;

    bool isWatching() const { return notifier_ != nullptr; }
    // Why the table is not watched, e.g. "Cannot open /proc/self/mountinfo: ..."; else empty.
    const QString& whyNotWatching() const { return whyNot_; }

Q_SIGNALS:
    void changed();

private:
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    QString whyNot_;
};

}  // namespace platform
