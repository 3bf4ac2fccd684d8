#include "network/SocketOwner.h"

#include <QDir>
#include <unistd.h>

namespace SocketOwner {

pid_t find(const QSet<quint64> &inodes, pid_t skip)
{
    if (inodes.isEmpty())
        return 0;
    const QDir proc(QStringLiteral("/proc"));
    for (const QString &entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const pid_t pid = entry.toInt(&numeric);
        if (!numeric || pid == skip)
            continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QString &name : fds.entryList(QDir::Files | QDir::System)) {
            // Qt would make the link's text a path; the kernel's own text names the socket.
            char link[64] = {};
            const QByteArray path = fds.filePath(name).toLocal8Bit();
            const ssize_t length = ::readlink(path.constData(), link, sizeof link - 1);
            const QByteArray target(link, length > 0 ? length : 0);
            if (target.startsWith("socket:[") && target.endsWith(']') &&
                inodes.contains(target.mid(8).chopped(1).toULongLong()))
                return pid;
        }
    }
    return 0;
}

} // namespace SocketOwner
