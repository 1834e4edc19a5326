#pragma once

#include <QObject>
#include <QString>

#include "platform/uniquefd.h"

class QSocketNotifier;

namespace driveinfo {

// Emits mountsChanged() after every mount or unmount on the running system (or below
// systemRoot). The kernel flags its mountinfo file as exceptional (POLLPRI) after each change.
// When the table cannot be watched it stays silent and says why.
class MountTableWatcher : public QObject {
    Q_OBJECT
public:
    explicit MountTableWatcher(const QString& systemRoot = {}, QObject* parent = nullptr);
    ~MountTableWatcher() override;
    MountTableWatcher(const MountTableWatcher&) = delete;
    MountTableWatcher& operator=(const MountTableWatcher&) = delete;

    bool isWatching() const { return notifier_ != nullptr; }
    // Why the table is not watched, e.g. "Cannot open /proc/self/mountinfo: ..."; else empty.
    const QString& whyNotWatching() const { return whyNot_; }

Q_SIGNALS:
    void mountsChanged();

private:
    platform::UniqueFd fd_;
    QSocketNotifier* notifier_ = nullptr;
    QString whyNot_;
};

}  // namespace driveinfo
