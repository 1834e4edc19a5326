#pragma once

#include <QObject>
#include <vector>

class QSocketNotifier;

namespace platform {

// Turns every signal that would end the process and can be caught without a fault behind it
// (SIGTERM, SIGHUP at logout, SIGINT, SIGQUIT, SIGALRM, SIGUSR1, SIGXCPU, the real-time ones
// ...) into a Qt signal on the thread that made this object, so that the program ends through
// its own clean-up. The handler only writes the signal's number to a pipe (async-signal-safe);
// a socket notifier reads it in the event loop. The handler is taken off after the first
// signal, so a second one ends the process at once, as it would without this, when the first
// cannot end it (a thread stuck in a frozen file system). SIGPIPE and SIGXFSZ are ignored
// instead: a write to a closed pipe or past the file-size limit then fails with EPIPE or EFBIG,
// and the caller treats it as the failure it is. A signal the parent left ignored stays ignored.
// One instance per process.
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
    std::vector<int> handled_;  // the signals this instance took over
};

// How many times SIGCONT has resumed the process since the first call, which sets up the
// counting handler. The stop signals themselves cannot all be caught (SIGSTOP), but every stop
// ends with a SIGCONT; only the counting handler runs for it.
unsigned long continuesSoFar();

}  // namespace platform
