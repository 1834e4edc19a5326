#include "platform/terminal.h"

#include <unistd.h>
#include <csignal>

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

}  // namespace platform
