#include "network/SharingChecks.h"

#include "network/InterfaceName.h"
#include "network/SocketOwner.h"

#include <QDir>
#include <QFile>
#include <arpa/inet.h>
#include <functional>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace SharingChecks {

namespace {

std::function<System()> g_system;

const QString kExternalMenu = QStringLiteral("\"Share the Internet connection on\"");
const QString kInternalMenu = QStringLiteral("\"With the computers on\"");

int prefixOf(quint32 mask)
{
    int bits = 0;
    while (bits < 32 && (mask & (0x80000000u >> bits)))
        ++bits;
    return bits;
}

quint32 maskOf(int prefix)
{
    return prefix <= 0 ? 0 : 0xffffffffu << (32 - prefix);
}

QString format(quint32 address)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address >> 24)
        .arg((address >> 16) & 0xff)
        .arg((address >> 8) & 0xff)
        .arg(address & 0xff);
}

const Interface *find(const System &system, const QString &name)
{
    for (const Interface &interface : system.interfaces) {
        if (interface.name == name)
            return &interface;
    }
    return nullptr;
}

using Check = std::function<std::optional<QString>(const Choice &, const System &)>;

std::optional<QString> checkMask(const Choice &choice, const System &)
{
    const auto mask = parseAddress(choice.mask);
    if (mask && *mask != 0 && maskOf(prefixOf(*mask)) == *mask && prefixOf(*mask) <= 30)
        return std::nullopt;
    return QStringLiteral("The Subnet mask %1 is not a valid subnet mask. A subnet mask is a run "
                          "of ones followed by zeros, such as 255.255.255.0.")
        .arg(choice.mask);
}

std::optional<QString> checkRouter(const Choice &choice, const System &)
{
    const auto router = parseAddress(choice.router);
    const quint32 mask = maskOf(prefixOf(parseAddress(choice.mask).value_or(0)));
    const quint32 first = router ? *router >> 24 : 0;
    const bool unicast = router && first != 0 && first != 127 && first < 224 &&
                         (*router & ~mask) != 0 && (*router & ~mask) != ~mask;
    if (unicast)
        return std::nullopt;
    return QStringLiteral("The Router address %1 is not a valid address for this computer on the "
                          "local network. Type four numbers from 0 to 255, such as 192.168.2.1, "
                          "that are neither the network's first nor its last address.")
        .arg(choice.router);
}

std::optional<QString> checkPresent(const Choice &choice, const System &system)
{
    const Interface *external = find(system, choice.external);
    if (choice.external == QLatin1String("ppp0") && !(external && external->up))
        return QStringLiteral("The modem or PPPoE connection (ppp0) is not up. Connect it first, "
                              "or choose the interface that reaches the Internet in %1.")
            .arg(kExternalMenu);
    if (!external)
        return QStringLiteral("The interface %1 chosen in %2 is not on this computer now. Choose "
                              "another one there.")
            .arg(choice.external, kExternalMenu);
    if (!find(system, choice.internal))
        return QStringLiteral("The interface %1 chosen in %2 is not on this computer now. Choose "
                              "another one there.")
            .arg(choice.internal, kInternalMenu);
    return std::nullopt;
}

// Refused as the helper, the boot files and the tools would refuse it, in the same words.
std::optional<QString> checkNames(const Choice &choice, const System &)
{
    for (const QString &name : {choice.external, choice.internal}) {
        const std::string refusal = InterfaceName::refusal(name.toStdString());
        if (!refusal.empty())
            return QString::fromStdString(refusal);
    }
    return std::nullopt;
}

std::optional<QString> checkCutOff(const Choice &choice, const System &system)
{
    if (choice.internal == choice.external)
        return std::nullopt;
    const Interface *internal = find(system, choice.internal);
    const Interface *external = find(system, choice.external);
    bool carriesExternal = false;
    for (const Network &own : internal ? internal->addresses : QList<Network>()) {
        for (const Network &outside : external ? external->addresses : QList<Network>())
            carriesExternal = carriesExternal || own.address == outside.address;
    }
    if (!system.defaultRouteInterfaces.contains(choice.internal) && !carriesExternal)
        return std::nullopt;
    return QStringLiteral("Starting would cut this computer off its network: %1, chosen in %2, "
                          "carries %3. Choose the interface of the local network in %2, or "
                          "choose %1 in both menus to share over that one port.")
        .arg(choice.internal, kInternalMenu,
             carriesExternal ? QStringLiteral("the Internet connection's address")
                             : QStringLiteral("this computer's default route to the Internet"));
}

std::optional<QString> checkOverlap(const Choice &choice, const System &system)
{
    const quint32 router = parseAddress(choice.router).value_or(0);
    const int prefix = prefixOf(parseAddress(choice.mask).value_or(0));
    for (const Interface &interface : system.interfaces) {
        if (interface.name == choice.internal || interface.name == QLatin1String("lo"))
            continue;
        for (const Network &used : interface.addresses) {
            const quint32 common = maskOf(std::min(prefix, used.prefix));
            if ((router & common) != (used.address & common))
                continue;
            return QStringLiteral("The local network %1/%2 (Router address and Subnet mask) "
                                  "overlaps %3/%4, which this computer already uses on %5. "
                                  "Choose a Router address in another network.")
                .arg(format(router & maskOf(prefix)))
                .arg(prefix)
                .arg(format(used.address & maskOf(used.prefix)))
                .arg(used.prefix)
                .arg(interface.name);
        }
    }
    return std::nullopt;
}

// In the order a user would mend them; a check added here runs before any password is asked.
const Check kChecks[] = {checkMask,  checkRouter, checkPresent,
                         checkNames, checkCutOff, checkOverlap};

} // namespace

std::optional<quint32> parseAddress(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return std::nullopt;
    quint32 address = 0;
    for (const QString &part : parts) {
        bool number = false;
        const uint value = part.toUInt(&number, 10);
        if (!number || part.size() > 3 || !part.front().isDigit() || value > 255)
            return std::nullopt;
        address = (address << 8) | value;
    }
    return address;
}

std::optional<QString> problem(const Choice &choice, const System &system)
{
    for (const Check &check : kChecks) {
        if (auto alert = check(choice, system))
            return alert;
    }
    return std::nullopt;
}

System readSystem()
{
    System system;
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (const struct ifaddrs *entry = list; entry; entry = entry->ifa_next) {
            const QString name = QString::fromLocal8Bit(entry->ifa_name);
            Interface *interface = nullptr;
            for (Interface &known : system.interfaces) {
                if (known.name == name)
                    interface = &known;
            }
            if (!interface) {
                system.interfaces.append({name, false, {}});
                interface = &system.interfaces.last();
            }
            interface->up = interface->up || (entry->ifa_flags & IFF_UP);
            if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_netmask)
                continue;
            const auto *address = reinterpret_cast<const sockaddr_in *>(entry->ifa_addr);
            const auto *mask = reinterpret_cast<const sockaddr_in *>(entry->ifa_netmask);
            interface->addresses.append(
                {ntohl(address->sin_addr.s_addr), prefixOf(ntohl(mask->sin_addr.s_addr))});
        }
        freeifaddrs(list);
    }
    // Iface, Destination, Gateway, Flags, ... with the destination in hex; 00000000 is default.
    QFile routes(QStringLiteral("/proc/net/route"));
    if (routes.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : routes.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 7 && fields[1] == "00000000" && fields[7] == "00000000")
                system.defaultRouteInterfaces.append(QString::fromLocal8Bit(fields[0]));
        }
    }
    return system;
}

std::optional<QString> portHolder(quint32 address, quint16 port)
{
    // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode, in hex; the
    // address is the raw network-order word as this machine reads it.
    QSet<quint64> inodes;
    for (const char *table : {"/proc/net/udp", "/proc/net/tcp"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : file.readAll().split('\n').mid(1)) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            const QList<QByteArray> local = fields.value(1).split(':');
            if (fields.size() < 10 || local.size() != 2 || local[1].toUInt(nullptr, 16) != port)
                continue;
            const quint32 bound = ntohl(local[0].toUInt(nullptr, 16));
            const bool listens = table[10] == 'u' || fields[3] == "0A";
            if (listens && (bound == 0 || bound == address))
                inodes.insert(fields[9].toULongLong());
        }
    }
    if (inodes.isEmpty())
        return std::nullopt;
    const pid_t holder = SocketOwner::find(inodes);
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(holder));
    if (holder == 0 || !cmdline.open(QIODevice::ReadOnly))
        return QStringLiteral("another program");
    const QString command = QString::fromLocal8Bit(cmdline.readAll().replace('\0', ' ').trimmed());
    return QStringLiteral("%1 (pid %2)").arg(command).arg(holder);
}

void setSource(std::function<System()> system)
{
    g_system = std::move(system);
}

System currentSystem()
{
    return g_system ? g_system() : readSystem();
}

} // namespace SharingChecks
