#include "platform/terminal.h"

#include <unistd.h>

namespace platform {

bool isTerminal(int fd) {
    return ::isatty(fd) == 1;
}

bool inTerminalForeground(int fd) {
    const pid_t foreground = ::tcgetpgrp(fd);
    return foreground != -1 && foreground == ::getpgrp();
}

}  // namespace platform
