#pragma once

namespace platform {

// True when the descriptor is a terminal.
bool isTerminal(int fd);
// True while the process is in the foreground process group of the terminal on fd: only then
// may it write there without being stopped (SIGTTOU under `stty tostop`). False for a
// descriptor that is no terminal.
bool inTerminalForeground(int fd);

}  // namespace platform
