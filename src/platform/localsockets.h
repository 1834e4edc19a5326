#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace platform {

// Whether something on this machine takes a stream connection: a Unix socket at path (in the
// abstract namespace when abstract), or TCP port on the loopback address. Throws Failure when
// no socket can be made to ask.
bool unixSocketAccepts(const QByteArray& path, bool abstract);
bool loopbackPortAccepts(quint16 port);

}  // namespace platform
