#include "platform/localsockets.h"

#include <QString>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/failure.h"
#include "platform/uniquefd.h"

namespace platform {

namespace {

bool connects(int family, const void* address, socklen_t length) {
    const UniqueFd socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) raiseSystemFailure(QStringLiteral("Cannot make a socket to ask"), {}, errno);
    return ::connect(socket.get(), static_cast<const sockaddr*>(address), length) == 0;
}

}  // namespace

bool unixSocketAccepts(const QByteArray& path, bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // An abstract name starts with a zero byte; the kernel counts its length exactly.
    const std::size_t offset = abstract ? 1 : 0;
    if (offset + std::size_t(path.size()) >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path + offset, path.constData(), std::size_t(path.size()));
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + offset +
                                  std::size_t(path.size()) + (abstract ? 0 : 1));
    return connects(AF_UNIX, &address, length);
}

bool loopbackPortAccepts(quint16 port) {
    sockaddr_in tcp{};
    tcp.sin_family = AF_INET;
    tcp.sin_port = htons(port);
    tcp.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connects(AF_INET, &tcp, sizeof tcp);
}

}  // namespace platform
