#pragma once

#include "network/FirewallRules.h"

#include <QList>
#include <QString>
#include <optional>

// The packets sharing needs and the conditions both rule syntaxes test them with; for
// FirewallRules' readers of iptables and nftables.
namespace FirewallPackets {

using FirewallRules::Block;
using FirewallRules::Traffic;

// Whether a condition holds; Unknown where the packet or the condition can't tell.
enum class Match { No, Yes, Unknown };
Match is(bool yes);
Match both(Match a, Match b);
Match negated(Match m, bool negate);

struct Packet {
    QString in, out; // out empty: to this computer
    QString protocol;
    int sport = 0, dport = 0;
    bool established = false;
    std::optional<quint32> source, destination;
    QString destinationType; // as the addrtype match names it
};

struct Probe {
    Traffic traffic;
    bool input;
    Packet packet;
};

// A LAN client's new connection out and its reply, its DHCP discover (over two interfaces) and
// its DNS queries.
QList<Probe> probes(const QString &lan, const QString &wan);

// "eth+" (iptables) and "eth*" (nftables) name every interface that starts "eth".
Match interfaceIs(const QString &pattern, const QString &name);
Match protocolIs(QString protocol, const QString &have);
Match addressIn(const QString &address, int prefix, std::optional<quint32> have);
Match cidrIn(const QString &cidr, std::optional<quint32> have);
// "53", "67:68" or multiport's "53,67:68".
Match portIn(const QString &list, int port);
QString stateOf(const Packet &packet);

// How a walk through a chain ends: a verdict, or back to where it was called from.
enum class End { Accept, Drop, Return };

// Adds `block` unless one with its opening and traffic is there.
void addOnce(QList<Block> &blocks, const Block &block);

} // namespace FirewallPackets
