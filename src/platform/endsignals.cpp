#include "platform/endsignals.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <vector>

namespace platform {

namespace {

// Faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS) stay as they are: after
// one the program cannot go on to clean up.
std::vector<int> endSignals() {
    std::vector<int> signals = {SIGTERM, SIGHUP,  SIGINT,    SIGQUIT, SIGALRM, SIGUSR1,
                                SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO};
#ifdef SIGPWR
    signals.push_back(SIGPWR);
#endif
#ifdef SIGSTKFLT
    signals.push_back(SIGSTKFLT);
#endif
    for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) signals.push_back(number);
    return signals;
}
// The pipe's write end for the handler; -1 when no instance is watching.
std::atomic<int> pipeWriteEnd{-1};
int pipeReadEnd = -1;

std::atomic<unsigned long> continues{0};
static_assert(std::atomic<unsigned long>::is_always_lock_free);

extern "C" void countContinue(int) {
    continues.fetch_add(1, std::memory_order_relaxed);
}

extern "C" void writeSignalToPipe(int signalNumber) {
    const int savedErrno = errno;
    const int fd = pipeWriteEnd.load();
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    if (fd >= 0) {
        // A full pipe already holds a signal to handle; losing this one changes nothing.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

}  // namespace

EndSignals::EndSignals(QObject* parent) : QObject(parent) {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning("SIGTERM, SIGHUP, SIGINT and the like will end the program without cleaning up");
        return;
    }
    pipeReadEnd = fds[0];
    pipeWriteEnd = fds[1];
    notifier_ = new QSocketNotifier(fds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &EndSignals::readPipe);

    struct sigaction action {};
    action.sa_handler = writeSignalToPipe;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (const int signalNumber : endSignals()) {
        // What the parent chose to ignore (SIGHUP under nohup, SIGINT for a background job)
        // stays ignored, as it does for the shells and coreutils.
        struct sigaction inherited {};
        if (::sigaction(signalNumber, nullptr, &inherited) == 0 &&
            inherited.sa_handler == SIG_IGN) {
            continue;
        }
        if (::sigaction(signalNumber, &action, nullptr) == 0) handled_.push_back(signalNumber);
    }
}

EndSignals::~EndSignals() {
    if (!notifier_) return;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : handled_) ::sigaction(signalNumber, &action, nullptr);
    delete notifier_;
    const int writeEnd = pipeWriteEnd.exchange(-1);
    ::close(writeEnd);
    ::close(pipeReadEnd);
    pipeReadEnd = -1;
}

void EndSignals::readPipe() {
    unsigned char byte = 0;
    while (::read(pipeReadEnd, &byte, 1) == 1) Q_EMIT received(byte);
}

unsigned long continuesSoFar() {
    static const bool counting = [] {
        struct sigaction action {};
        action.sa_handler = countContinue;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        return ::sigaction(SIGCONT, &action, nullptr) == 0;
    }();
    (void)counting;
    return continues.load(std::memory_order_relaxed);
}

}  // namespace platform
