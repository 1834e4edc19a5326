#pragma once

namespace platform {

// True when the descriptor is a terminal.
bool isTerminal(int fd);
// True while the process is in the foreground process group of the terminal on fd: only then
// may it write there without being stopped (SIGTTOU under `stty tostop`). False for a
// descriptor that is no terminal.
bool inTerminalForeground(int fd);
// From now on the process may write to its terminal from the background too: SIGTTOU is
// ignored, so `stty tostop` no longer stops it at a write.
void writeFromBackground();

}  // namespace platform
