#pragma once

#include <QSet>
#include <sys/types.h>

// Which program holds a socket: the pre-flight checks name whoever already answers on a port
// Velloran needs.
namespace SocketOwner {

// The first process other than `skip` with one of the sockets `inodes` open, or 0 when none can
// be seen (another user's descriptors are root's to read).
pid_t find(const QSet<quint64> &inodes, pid_t skip = 0);

} // namespace SocketOwner
