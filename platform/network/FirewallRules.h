#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Whether another firewall's rules would drop what sharing needs: the LAN's traffic forwarded to
// the external interface and its replies, and the LAN's DHCP and DNS to this computer. Each
// packet is walked through the rules as the kernel would; a condition this cannot judge makes
// its rule count as not matching. Pure functions of what was read (iptables in
// FirewallRules.cpp, nftables in NftRules.cpp), for root and for tests.
namespace FirewallRules {

enum class Traffic { Forward, Dhcp, Dns };

struct Block {
    QString firewall; // "nftables", "iptables", "iptables-legacy", "ufw", "Docker", "firewalld"
    QString where;    // the chain or zone, as its firewall names it
    Traffic drops = Traffic::Forward;
    // Where an accept rule would let it through: "ip filter FORWARD", "legacy ufw-user-input"...
    QString opening;
};

// Base chains hooked on forward and input in `nft -j list ruleset`, but those of Velloran's
// tables, firewalld's, and the ip tables named in `skip` (iptables-nft's, judged apart).
QList<Block> fromNftables(const QByteArray &json, const QString &lan, const QString &wan,
                          const QStringList &skip = {});

// The filter table of `iptables-save` output; `legacy` for iptables-legacy's.
QList<Block> fromIptablesSave(const QByteArray &text, const QString &lan, const QString &wan,
                              bool legacy = false);

// The tables `iptables-save` output holds ("filter", "nat"...).
QStringList iptablesTables(const QByteArray &text);

} // namespace FirewallRules
