#include "network/FirewallPackets.h"

#include <arpa/inet.h>

namespace FirewallPackets {

Match is(bool yes)
{
    return yes ? Match::Yes : Match::No;
}

Match both(Match a, Match b)
{
    if (a == Match::No || b == Match::No)
        return Match::No;
    return a == Match::Unknown || b == Match::Unknown ? Match::Unknown : Match::Yes;
}

Match negated(Match m, bool negate)
{
    return !negate || m == Match::Unknown ? m : is(m == Match::No);
}

QList<Probe> probes(const QString &lan, const QString &wan)
{
    QList<Probe> all{
        {Traffic::Forward, false, {lan, wan, "tcp", 40000, 443, false, {}, {}, "UNICAST"}},
        {Traffic::Forward, false, {wan, lan, "tcp", 443, 40000, true, {}, {}, "UNICAST"}},
        {Traffic::Dns, true, {lan, {}, "udp", 40000, 53, false, {}, {}, "LOCAL"}},
        {Traffic::Dns, true, {lan, {}, "tcp", 40000, 53, false, {}, {}, "LOCAL"}},
    };
    // Over one port Velloran serves no DHCP, and the Internet's side is never opened for it.
    if (lan != wan)
        all.insert(
            2,
            {Traffic::Dhcp, true, {lan, {}, "udp", 68, 67, false, 0u, 0xffffffffu, "BROADCAST"}});
    return all;
}

Match interfaceIs(const QString &pattern, const QString &name)
{
    if (pattern.endsWith('+') || pattern.endsWith('*'))
        return is(name.startsWith(pattern.chopped(1)));
    return is(pattern == name);
}

Match protocolIs(QString protocol, const QString &have)
{
    protocol = protocol.toLower();
    if (protocol == "all" || protocol == "0")
        return Match::Yes;
    return is(protocol == have || (protocol == "6" && have == "tcp") ||
              (protocol == "17" && have == "udp"));
}

Match addressIn(const QString &address, int prefix, std::optional<quint32> have)
{
    in_addr parsed{};
    if (prefix < 0 || prefix > 32 ||
        inet_pton(AF_INET, address.toLatin1().constData(), &parsed) != 1)
        return Match::Unknown;
    if (prefix == 0)
        return Match::Yes;
    if (!have)
        return Match::Unknown;
    const quint32 mask = 0xffffffffu << (32 - prefix);
    return is((*have & mask) == (ntohl(parsed.s_addr) & mask));
}

Match cidrIn(const QString &cidr, std::optional<quint32> have)
{
    bool number = true;
    const int prefix = cidr.contains('/') ? cidr.section('/', 1).toInt(&number) : 32;
    return number ? addressIn(cidr.section('/', 0, 0), prefix, have) : Match::Unknown;
}

Match portIn(const QString &list, int port)
{
    for (const QString &part : list.split(',')) {
        bool low = false, high = true;
        const int first = part.section(':', 0, 0).toInt(&low);
        const int last = part.contains(':') ? part.section(':', 1).toInt(&high) : first;
        if (!low || !high)
            return Match::Unknown;
        if (port >= first && port <= last)
            return Match::Yes;
    }
    return Match::No;
}

QString stateOf(const Packet &packet)
{
    return packet.established ? QStringLiteral("established") : QStringLiteral("new");
}

void addOnce(QList<Block> &blocks, const Block &block)
{
    for (const Block &known : blocks)
        if (known.opening == block.opening && known.drops == block.drops)
            return;
    blocks.append(block);
}

} // namespace FirewallPackets
