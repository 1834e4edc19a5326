// Helper process for the single-instance and end-of-program tests.
//   instancelockholder lock <name>  takes the instance name; prints "holding" and keeps it until
//                                   stdin closes (a line "release" gives it up first and prints
//                                   "released"), or prints "already running"
//   instancelockholder end          leaves text in the stdio buffer and ends the program

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
        char line[64];
        while (std::fgets(line, sizeof line, stdin) != nullptr) {
            if (std::strcmp(line, "release\n") != 0) continue;
            process.releaseInstance();
            std::puts("released");
            std::fflush(stdout);
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
