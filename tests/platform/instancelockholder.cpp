// Helper process for the single-instance and end-of-program tests.
//   instancelockholder lock <folder>  takes the instance lock in <folder>; prints "holding" and
//                                     keeps it until stdin closes, or prints "already running"
//   instancelockholder end            leaves text in the stdio buffer and ends the program

#include <unistd.h>
#include <cstdio>
#include <cstring>

#include "platform/linuxprocess.h"

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "lock") == 0) {
        platform::LinuxProcessService process(QString::fromLocal8Bit(argv[2]));
        if (process.previousInstanceRunning()) {
            std::puts("already running");
            return 0;
        }
        std::puts("holding");
        std::fflush(stdout);
        char byte;
        while (::read(STDIN_FILENO, &byte, 1) > 0) {
        }
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "end") == 0) {
        platform::LinuxProcessService process;
        std::fputs("buffered text", stdout);
        process.endProgram();
    }
    return 2;
}
