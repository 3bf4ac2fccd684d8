#include "network/DhcpServer.h"

#include "network/InterfaceName.h"
#include "network/SocketOwner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace DhcpServer {

namespace {

constexpr quint32 kSkippedOnLargeNetworks = 9;
constexpr quint16 kServerPort = 67;

std::optional<quint32> parse(const QString &address)
{
    in_addr parsed{};
    if (inet_pton(AF_INET, address.toLatin1().constData(), &parsed) != 1)
        return std::nullopt;
    return ntohl(parsed.s_addr);
}

QString format(quint32 address)
{
    in_addr raw{htonl(address)};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &raw, text, sizeof text);
    return QString::fromLatin1(text);
}

QString noRoom(const QString &mask)
{
    return QStringLiteral("The subnet mask %1 leaves no addresses for the local computers. Choose "
                          "a larger network (such as 255.255.255.0) or turn off DHCP.")
        .arg(mask);
}

QStringList nameServersIn(const QString &path)
{
    QFile file(path);
    QStringList servers;
    if (!file.open(QIODevice::ReadOnly))
        return servers;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() < 2 || words[0] != "nameserver")
            continue;
        const auto address = parse(QString::fromLatin1(words[1]));
        if (address && !servers.contains(format(*address)))
            servers << format(*address);
    }
    return servers;
}

} // namespace

Plan arguments(const QString &interface, const QString &router, const QString &mask,
               const QStringList &nameServers)
{
    const auto address = parse(router);
    const auto bits = parse(mask);
    if (!address)
        return {{}, QStringLiteral("The router address %1 is not an address.").arg(router)};
    // Only a mask of leading ones describes a network; /31 and /32 leave no host to serve.
    if (!bits || ((~*bits + 1) & ~*bits) != 0 || (~*bits) < 3)
        return {{}, noRoom(mask)};
    const quint32 network = *address & *bits;
    const quint32 broadcast = network | ~*bits;
    if (*address == network || *address == broadcast)
        return {{},
                QStringLiteral("The router address %1 is not a host address of its network.")
                    .arg(router)};

    // The first addresses stay free for computers numbered by hand.
    const quint32 hosts = broadcast - network - 1;
    quint32 first = network + 1 + (hosts >= 64 ? kSkippedOnLargeNetworks : hosts / 4);
    quint32 last = broadcast - 1;
    if (*address >= first && *address <= last) {
        if (*address - first > last - *address)
            last = *address - 1;
        else
            first = *address + 1;
    }
    if (first > last)
        return {{}, noRoom(mask)};

    QStringList args{
        QStringLiteral("--conf-file=/dev/null"), QStringLiteral("--port=0"),
        QStringLiteral("--interface=") + interface, QStringLiteral("--except-interface=lo"),
        QStringLiteral("--bind-interfaces"), QStringLiteral("--dhcp-authoritative"),
        // The addresses below the range are the ones kept for hand numbering; the ping check
        // would hold every new client's first lease for three seconds.
        QStringLiteral("--no-ping"),
        QStringLiteral("--dhcp-range=%1,%2,%3,12h").arg(format(first), format(last), format(*bits)),
        QStringLiteral("--dhcp-option=option:router,") + format(*address)};
    if (!nameServers.isEmpty())
        args << QStringLiteral("--dhcp-option=option:dns-server,") + nameServers.join(',');
    args << QStringLiteral("--dhcp-leasefile=") + kLeaseFile
         << QStringLiteral("--pid-file=") + kPidFile;
    return {args, {}};
}

QStringList folderArguments()
{
    return {QStringLiteral("-d"), QStringLiteral("-m"), QStringLiteral("0755"),
            QFileInfo(kLeaseFile).path(), QFileInfo(kPidFile).path()};
}

std::optional<QString> startupLine(const QStringList &arguments)
{
    const QStringList words = QStringList{kInstall} + folderArguments() + QStringList{"&&"} +
                              QStringList{kProgram} + arguments;
    // Root's shell reads this line at boot: only words it takes literally, the interface's by
    // the rule every interface name follows.
    const QString interface = QStringLiteral("--interface=");
    for (const QString &word : words.mid(words.indexOf(kProgram))) {
        if (word.startsWith(interface)) {
            if (!InterfaceName::isValid(word.mid(interface.size()).toStdString()))
                return std::nullopt;
            continue;
        }
        for (const QChar c : word) {
            const char16_t u = c.unicode();
            const bool plain = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                               (u >= '0' && u <= '9') || QStringLiteral("._:/=,-").contains(c);
            if (!plain)
                return std::nullopt;
        }
    }
    return words.join(' ');
}

QStringList upstreamNameServers(const QString &resolvConf, const QString &resolvedConf)
{
    QStringList servers = nameServersIn(resolvConf);
    if (servers.contains(QStringLiteral("127.0.0.53")))
        servers = nameServersIn(resolvedConf);
    // A resolver on this computer's loopback answers nobody on the LAN.
    servers.removeIf([](const QString &server) { return server.startsWith("127."); });
    return servers;
}

bool isVelloranServer(const QStringList &line)
{
    // What arguments() builds: "*" ends a word whose value varies, "?" marks the optional one.
    static const QStringList shape{QStringLiteral("--conf-file=/dev/null"),
                                   QStringLiteral("--port=0"),
                                   QStringLiteral("--interface=*"),
                                   QStringLiteral("--except-interface=lo"),
                                   QStringLiteral("--bind-interfaces"),
                                   QStringLiteral("--dhcp-authoritative"),
                                   QStringLiteral("--no-ping"),
                                   QStringLiteral("--dhcp-range=*"),
                                   QStringLiteral("--dhcp-option=option:router,*"),
                                   QStringLiteral("--dhcp-option=option:dns-server,*?"),
                                   QStringLiteral("--dhcp-leasefile=") + kLeaseFile,
                                   QStringLiteral("--pid-file=") + kPidFile};
    if (line.isEmpty() || line.first() != kProgram)
        return false;
    qsizetype at = 1;
    for (QString word : shape) {
        const bool optional = word.endsWith('?');
        if (optional)
            word.chop(1);
        const bool varies = word.endsWith('*');
        if (varies)
            word.chop(1);
        const bool matches =
            at < line.size() && (varies ? line[at].startsWith(word) && line[at].size() > word.size()
                                        : line[at] == word);
        if (matches)
            ++at;
        else if (!optional)
            return false;
    }
    return at == line.size();
}

pid_t runningPid()
{
    QFile file(kPidFile);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    bool numeric = false;
    const int pid = file.readAll().trimmed().toInt(&numeric);
    if (!numeric || pid <= 0)
        return 0;
    QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!commandLine.open(QIODevice::ReadOnly))
        return 0;
    QStringList words;
    for (const QByteArray &word : commandLine.readAll().split('\0'))
        words << QString::fromLocal8Bit(word);
    if (!words.isEmpty() && words.last().isEmpty())
        words.removeLast();
    return isVelloranServer(words) ? pid : 0;
}

std::optional<QString> portHolder(const QString &interface)
{
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return std::nullopt;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    query.request.sdiag_family = AF_INET;
    query.request.sdiag_protocol = IPPROTO_UDP;
    query.request.idiag_states = ~0U;
    const unsigned lanIndex = if_nametoindex(interface.toLocal8Bit().constData());

    // The kernel names the interface a socket is bound to; 0 means every interface.
    QSet<quint64> inodes;
    bool done = ::send(fd, &query, sizeof query, 0) != sizeof query;
    alignas(nlmsghdr) char buffer[16384];
    while (!done) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        int left = int(got);
        for (auto *h = reinterpret_cast<nlmsghdr *>(buffer); NLMSG_OK(h, left);
             h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            const auto *socket = static_cast<const inet_diag_msg *>(NLMSG_DATA(h));
            if (ntohs(socket->id.idiag_sport) == kServerPort &&
                (socket->id.idiag_if == 0 || socket->id.idiag_if == lanIndex))
                inodes << socket->idiag_inode;
        }
    }
    ::close(fd);
    if (inodes.isEmpty())
        return std::nullopt;

    const pid_t ours = runningPid();
    if (const pid_t holder = SocketOwner::find(inodes, ours)) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(holder));
        if (comm.open(QIODevice::ReadOnly))
            return QString::fromLocal8Bit(comm.readAll().trimmed());
        return QStringLiteral("another program");
    }
    // Another user's program, whose descriptors only root may read.
    if (ours == 0)
        return QStringLiteral("another program");
    return std::nullopt;
}

} // namespace DhcpServer
