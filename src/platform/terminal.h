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

// Which of the standard descriptors the process was started without.
struct ClosedAtStart {
    bool input = false;
    bool output = false;
    bool error = false;
};
// Opens each closed one of descriptors 0-2 on /dev/null (or, without /dev, on a descriptor that
// takes no data), so that no file or pipe opened later gets its number and takes text meant for
// it. Called first thing in main, before any other descriptor is opened.
ClosedAtStart fillClosedStandardDescriptors();

}  // namespace platform
