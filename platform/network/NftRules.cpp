#include "network/FirewallRules.h"

#include "network/FirewallPackets.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

namespace FirewallRules {

namespace {

using namespace FirewallPackets;

struct NftChain {
    QString family, table, name, hook, policy;
};

struct Nft {
    QMap<QString, NftChain> chains;         // by "family table name"
    QMap<QString, QList<QJsonArray>> rules; // each rule's statements, in order, by chain
};

QString keyOf(const QJsonObject &object, const char *nameField)
{
    return object.value("family").toString() + ' ' + object.value("table").toString() + ' ' +
           object.value(QLatin1String(nameField)).toString();
}

// The packet's value that a match's left side reads, and how to compare it; kind "" when this
// can't tell. A protocol header of another protocol makes the match fail outright.
struct Operand {
    QString kind; // "iface", "proto", "port", "state", "addr"
    QString text;
    int number = 0;
    std::optional<quint32> address;
    bool otherProtocol = false;
};

Operand operandOf(const QJsonObject &left, const Packet &packet)
{
    Operand o;
    const QJsonObject meta = left.value("meta").toObject();
    const QJsonObject payload = left.value("payload").toObject();
    const QString key = meta.value("key").toString(), field = payload.value("field").toString();
    const QString header = payload.value("protocol").toString();
    if (key == "iifname" || key == "oifname") {
        o.kind = "iface", o.text = key == "iifname" ? packet.in : packet.out;
    } else if (key == "l4proto" || (header == "ip" && field == "protocol")) {
        o.kind = "proto", o.text = packet.protocol;
    } else if (left.value("ct").toObject().value("key").toString() == "state") {
        o.kind = "state", o.text = stateOf(packet);
    } else if (header == "ip" && (field == "saddr" || field == "daddr")) {
        o.kind = "addr", o.address = field == "saddr" ? packet.source : packet.destination;
    } else if ((header == "tcp" || header == "udp" || header == "th") &&
               (field == "dport" || field == "sport")) {
        o.kind = "port", o.number = field == "dport" ? packet.dport : packet.sport;
        o.otherProtocol = header != "th" && header != packet.protocol;
    }
    return o;
}

Match equals(const Operand &have, const QJsonValue &right)
{
    if (right.isObject()) {
        const QJsonObject object = right.toObject();
        if (object.contains("set"))
            return equals(have, object.value("set"));
        const QJsonArray range = object.value("range").toArray();
        if (range.size() == 2 && have.kind == "port")
            return is(have.number >= range[0].toInt() && have.number <= range[1].toInt());
        const QJsonObject prefix = object.value("prefix").toObject();
        if (!prefix.isEmpty() && have.kind == "addr")
            return addressIn(prefix.value("addr").toString(), prefix.value("len").toInt(-1),
                             have.address);
        return Match::Unknown;
    }
    if (right.isArray()) {
        Match any = Match::No;
        for (const QJsonValue &one : right.toArray()) {
            const Match m = equals(have, one);
            any = m == Match::Yes || any == Match::Yes ? Match::Yes
                  : m == Match::Unknown                ? Match::Unknown
                                                       : any;
        }
        return any;
    }
    if (right.isString() && right.toString().startsWith('@'))
        return Match::Unknown; // a named set: not looked into
    if (have.kind == "iface")
        return interfaceIs(right.toString(), have.text);
    if (have.kind == "proto")
        return protocolIs(right.isDouble() ? QString::number(right.toInt()) : right.toString(),
                          have.text);
    if (have.kind == "port")
        return right.isDouble() ? is(right.toInt() == have.number) : Match::Unknown;
    if (have.kind == "state")
        return is(right.toString() == have.text);
    if (have.kind == "addr")
        return cidrIn(right.toString(), have.address);
    return Match::Unknown;
}

Match nftMatch(const QJsonObject &match, const Packet &packet)
{
    const Operand have = operandOf(match.value("left").toObject(), packet);
    if (have.otherProtocol)
        return Match::No;
    if (have.kind.isEmpty())
        return Match::Unknown;
    const QString op = match.value("op").toString();
    const Match m = equals(have, match.value("right"));
    if (op == "==" || op == "in")
        return m;
    return op == "!=" ? negated(m, true) : Match::Unknown;
}

End nftWalk(const Nft &nft, const QString &chain, const Packet &packet, int depth,
            QString &dropChain);

// What a verdict statement does to the walk; none for a statement that isn't a verdict.
std::optional<End> nftVerdict(const Nft &nft, const QString &chain, const QJsonObject &verdict,
                              const Packet &packet, int depth, QString &dropChain)
{
    const QString family = chain.section(' ', 0, 1);
    if (verdict.contains("accept"))
        return End::Accept;
    if (verdict.contains("drop") || verdict.contains("reject"))
        return dropChain = chain, End::Drop;
    if (verdict.contains("return"))
        return End::Return;
    for (const char *jump : {"jump", "goto"}) {
        const QString target = verdict.value(jump).toObject().value("target").toString();
        if (target.isEmpty())
            continue;
        const End end = nftWalk(nft, family + ' ' + target, packet, depth + 1, dropChain);
        if (end != End::Return || jump[0] == 'g')
            return end;
        return std::nullopt;
    }
    return std::nullopt;
}

End nftWalk(const Nft &nft, const QString &chain, const Packet &packet, int depth,
            QString &dropChain)
{
    if (depth > 16)
        return End::Return;
    for (const QJsonArray &statements : nft.rules.value(chain)) {
        bool applies = true;
        for (const QJsonValue &value : statements) {
            const QJsonObject statement = value.toObject();
            if (statement.contains("match")) {
                applies = nftMatch(statement.value("match").toObject(), packet) == Match::Yes;
            } else if (statement.contains("vmap")) {
                const QJsonObject vmap = statement.value("vmap").toObject();
                const Operand have = operandOf(vmap.value("key").toObject(), packet);
                applies = !have.kind.isEmpty() && !have.otherProtocol;
                for (const QJsonValue &entry :
                     vmap.value("data").toObject().value("set").toArray()) {
                    const QJsonArray pair = entry.toArray();
                    const Match m = applies ? equals(have, pair.at(0)) : Match::No;
                    applies = applies && m != Match::Unknown;
                    if (m == Match::Yes)
                        if (const auto end = nftVerdict(nft, chain, pair.at(1).toObject(), packet,
                                                        depth, dropChain))
                            return *end;
                }
            } else if (statement.contains("xt") || statement.contains("masquerade") ||
                       statement.contains("snat") || statement.contains("dnat") ||
                       statement.contains("redirect") || statement.contains("queue")) {
                applies = false; // nothing this can judge
            } else if (const auto end =
                           nftVerdict(nft, chain, statement, packet, depth, dropChain)) {
                return *end;
            }
            if (!applies)
                break;
        }
    }
    return End::Return;
}

} // namespace

QList<Block> fromNftables(const QByteArray &json, const QString &lan, const QString &wan,
                          const QStringList &skip)
{
    Nft nft;
    const QJsonArray items = QJsonDocument::fromJson(json).object().value("nftables").toArray();
    for (const QJsonValue &item : items) {
        const QJsonObject chain = item.toObject().value("chain").toObject();
        const QJsonObject rule = item.toObject().value("rule").toObject();
        if (!chain.isEmpty())
            nft.chains.insert(keyOf(chain, "name"),
                              {chain.value("family").toString(), chain.value("table").toString(),
                               chain.value("name").toString(), chain.value("hook").toString(),
                               chain.value("policy").toString()});
        else if (!rule.isEmpty())
            nft.rules[keyOf(rule, "chain")].append(rule.value("expr").toArray());
    }
    QList<Block> blocks;
    for (const NftChain &chain : std::as_const(nft.chains)) {
        const bool ours = chain.table.startsWith("velloran_") || chain.table == "firewalld";
        if (ours || (chain.family != "ip" && chain.family != "inet") ||
            (chain.family == "ip" && skip.contains(chain.table)) ||
            (chain.hook != "forward" && chain.hook != "input"))
            continue;
        const QString key = chain.family + ' ' + chain.table + ' ' + chain.name;
        for (const Probe &probe : probes(lan, wan)) {
            if (probe.input != (chain.hook == "input"))
                continue;
            QString dropChain;
            const End end = nftWalk(nft, key, probe.packet, 0, dropChain);
            if (end == End::Accept || (end == End::Return && chain.policy != "drop"))
                continue;
            const QString inner = dropChain.section(' ', 2);
            const QString where =
                QString("table %1 %2, chain %3").arg(chain.family, chain.table, chain.name) +
                (end == End::Return    ? QString(" (policy drop)")
                 : inner == chain.name ? QString()
                                       : QString(", in %1").arg(inner));
            addOnce(blocks, {"nftables", where, probe.traffic, "nft " + key});
        }
    }
    return blocks;
}

} // namespace FirewallRules
