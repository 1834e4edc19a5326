// Helper process for the single-instance and end-of-program tests.
//   instancelockholder lock <name> [<runtime folder>]
//                                   takes the instance name; prints "holding" and keeps it until
//                                   stdin closes (a line "release" gives it up first and prints
//                                   "released"), or prints "already running"
//   instancelockholder squat <name> binds the abstract name as another program could, with a
//                                   full queue, prints "holding" and keeps it until stdin closes
//   instancelockholder end          leaves text in the stdio buffer and ends the program

#include <sys/socket.h>
#include <sys/un.h>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "platform/linuxprocess.h"

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "squat") == 0) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path + 1, argv[2], sizeof address.sun_path - 2);
        const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + std::strlen(argv[2]));
        const auto* generic = reinterpret_cast<const sockaddr*>(&address);
        const int squatter = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const int filler = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        // A queue of none holds one connection; a second start finds it full.
        if (::bind(squatter, generic, length) != 0 || ::listen(squatter, 0) != 0 ||
            ::connect(filler, generic, length) != 0)
            return 2;
        std::puts("holding");
        std::fflush(stdout);
        char line[64];
        while (std::fgets(line, sizeof line, stdin) != nullptr) {
        }
        return 0;
    }
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "lock") == 0) {
        platform::LinuxProcessService process(QString::fromLocal8Bit(argv[2]),
                                              QStringLiteral("/proc"),
                                              argc == 4 ? QString::fromLocal8Bit(argv[3]) : "");
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
