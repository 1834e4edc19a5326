#pragma once

#include <QObject>

class QSocketNotifier;

namespace platform {

// Turns SIGTERM, SIGHUP (logout) and SIGINT into a Qt signal on the thread that made it. The
// handler only writes the signal's number to a pipe (async-signal-safe); a socket notifier
// reads it in the event loop. The handler is taken off after the first signal, so a second one
// ends the process at once, as it would without this, when the first cannot end it (a thread
// stuck in a frozen file system). One instance per process.
class EndSignals : public QObject {
    Q_OBJECT
public:
    explicit EndSignals(QObject* parent = nullptr);
    ~EndSignals() override;
    EndSignals(const EndSignals&) = delete;
    EndSignals& operator=(const EndSignals&) = delete;

    bool isWatching() const { return notifier_ != nullptr; }

Q_SIGNALS:
    void received(int signalNumber);

private:
    void readPipe();

    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace platform
