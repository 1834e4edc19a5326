#pragma once

#include <QString>

#include "driveinfo/drivecatalogue.h"
#include "platform/mountnotifier.h"

namespace driveinfo {

// Emits mountsChanged() after every mount or unmount on the running system (or below
// systemRoot). When the table cannot be watched it stays silent and says why.
class MountTableWatcher : public MountWatcher {
    Q_OBJECT
public:
    explicit MountTableWatcher(const QString& systemRoot = {}, QObject* parent = nullptr);

    bool isWatching() const { return notifier_.isWatching(); }
    const QString& whyNotWatching() const { return notifier_.whyNotWatching(); }

private:
    platform::MountTableNotifier notifier_;
};

}  // namespace driveinfo
