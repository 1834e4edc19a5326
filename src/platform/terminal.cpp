#include "platform/terminal.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

#include "platform/uniquefd.h"

namespace platform {

bool isTerminal(int fd) {
    return ::isatty(fd) == 1;
}

bool inTerminalForeground(int fd) {
    const pid_t foreground = ::tcgetpgrp(fd);
    return foreground != -1 && foreground == ::getpgrp();
}

void writeFromBackground() {
    std::signal(SIGTTOU, SIG_IGN);
}

ClosedAtStart fillClosedStandardDescriptors() {
    bool closed[3] = {false, false, false};
    for (int fd = 0; fd < 3; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        closed[fd] = true;
        // The lowest free number is fd itself, as those below it are open by now.
        UniqueFd opened(::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY));
        if (!opened) opened = UniqueFd(::open("/", O_PATH | O_DIRECTORY));
        if (opened.get() == fd) {
            opened.release();
        } else if (opened) {
            ::dup2(opened.get(), fd);
        }
    }
    return {closed[0], closed[1], closed[2]};
}

}  // namespace platform
