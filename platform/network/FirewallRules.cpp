#include "network/FirewallRules.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <arpa/inet.h>
#include <optional>

namespace FirewallRules {

namespace {

enum class Match { No, Yes, Unknown };

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

// A LAN client's new connection out and its reply, its DHCP discover and its DNS queries.
QList<Probe> probes(const QString &lan, const QString &wan)
{
    return {
        {Traffic::Forward, false, {lan, wan, "tcp", 40000, 443, false, {}, {}, "UNICAST"}},
        {Traffic::Forward, false, {wan, lan, "tcp", 443, 40000, true, {}, {}, "UNICAST"}},
        {Traffic::Dhcp, true, {lan, {}, "udp", 68, 67, false, 0u, 0xffffffffu, "BROADCAST"}},
        {Traffic::Dns, true, {lan, {}, "udp", 40000, 53, false, {}, {}, "LOCAL"}},
        {Traffic::Dns, true, {lan, {}, "tcp", 40000, 53, false, {}, {}, "LOCAL"}},
    };
}

// "eth+" (iptables) and "eth*" (nftables) name every interface that starts "eth".
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

// "53", "67:68" or multiport's "53,67:68".
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

// ---- iptables-save ----

QStringList splitWords(const QString &line)
{
    QStringList words;
    QString word;
    bool quoted = false, pending = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (quoted && c == '\\' && i + 1 < line.size())
            word += line[++i];
        else if (c == '"')
            quoted = !quoted, pending = true;
        else if (c == ' ' && !quoted) {
            if (pending || !word.isEmpty())
                words << word;
            word.clear(), pending = false;
        } else
            word += c;
    }
    if (pending || !word.isEmpty())
        words << word;
    return words;
}

struct IptRule {
    QString chain;
    QStringList words;
};

struct IptTable {
    QMap<QString, QString> chains; // name to policy, "-" for a chain of the user's
    QList<IptRule> rules;
};

// Whether a rule's conditions hold for `packet`, and its target.
Match iptMatch(const QStringList &words, const Packet &packet, QString &target, bool &jumpsByGoto)
{
    Match result = Match::Yes;
    bool negate = false;
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QString &option = words[i];
        if (option == "!") {
            negate = true;
            continue;
        }
        QStringList values;
        while (i + 1 < words.size() && !words[i + 1].startsWith('-') && words[i + 1] != "!")
            values << words[++i];
        const QString value = values.value(0);
        if (option == "-j" || option == "--jump" || option == "-g" || option == "--goto") {
            target = value, jumpsByGoto = option.startsWith("-g") || option == "--goto";
            break; // what follows belongs to the target
        }
        Match m = Match::Unknown;
        if (option == "-i" || option == "--in-interface")
            m = interfaceIs(value, packet.in);
        else if (option == "-o" || option == "--out-interface")
            m = interfaceIs(value, packet.out);
        else if (option == "-p" || option == "--protocol")
            m = protocolIs(value, packet.protocol);
        else if (option == "-s" || option == "--source")
            m = cidrIn(value, packet.source);
        else if (option == "-d" || option == "--destination")
            m = cidrIn(value, packet.destination);
        else if (option == "--dport" || option == "--dports" || option == "--destination-port")
            m = portIn(value, packet.dport);
        else if (option == "--sport" || option == "--sports" || option == "--source-port")
            m = portIn(value, packet.sport);
        else if (option == "--ctstate" || option == "--state")
            m = is(value.toLower().split(',').contains(stateOf(packet)));
        else if (option == "--dst-type")
            m = is(value.split(',').contains(packet.destinationType));
        else if (option == "-m" || option == "--match" || option == "--comment" ||
                 option == "--limit" || option == "--limit-burst")
            m = Match::Yes; // a module's name, a remark, a rate: no condition on the packet
        result = both(result, negated(m, negate));
        negate = false;
    }
    return result;
}

enum class End { Accept, Drop, Return };

End iptWalk(const IptTable &table, const QString &chain, const Packet &packet, int depth,
            QString &dropChain)
{
    if (depth > 16)
        return End::Return;
    for (const IptRule &rule : table.rules) {
        QString target;
        bool byGoto = false;
        if (rule.chain != chain || iptMatch(rule.words, packet, target, byGoto) != Match::Yes)
            continue;
        if (target == "ACCEPT")
            return End::Accept;
        if (target == "DROP" || target == "REJECT")
            return dropChain = chain, End::Drop;
        if (target == "RETURN")
            return End::Return;
        if (table.chains.value(target) == "-") {
            const End end = iptWalk(table, target, packet, depth + 1, dropChain);
            if (end != End::Return || byGoto)
                return end;
        }
    }
    return End::Return;
}

void addOnce(QList<Block> &blocks, const Block &block)
{
    for (const Block &known : blocks)
        if (known.opening == block.opening && known.drops == block.drops)
            return;
    blocks.append(block);
}

// ---- nftables ----

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

QList<Block> fromIptablesSave(const QByteArray &text, const QString &lan, const QString &wan,
                              bool legacy)
{
    IptTable table;
    bool inFilter = false;
    for (const QByteArray &raw : text.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith('*'))
            inFilter = line == "*filter";
        else if (inFilter && line.startsWith(':'))
            table.chains.insert(line.mid(1).section(' ', 0, 0), line.section(' ', 1, 1));
        else if (inFilter && line.startsWith("-A ")) {
            const QStringList words = splitWords(line);
            table.rules.append({words.value(1), words.mid(2)});
        }
    }
    const QString tool = legacy ? "iptables-legacy" : "iptables-nft";
    QList<Block> blocks;
    for (const Probe &probe : probes(lan, wan)) {
        const QString base = probe.input ? "INPUT" : "FORWARD";
        const QString policy = table.chains.value(base);
        QString dropChain;
        const End end = policy.isEmpty() || policy == "-"
                            ? End::Accept
                            : iptWalk(table, base, probe.packet, 0, dropChain);
        if (end == End::Accept || (end == End::Return && policy != "DROP"))
            continue;
        const QString where = end == End::Return  ? QString("chain %1 (policy DROP)").arg(base)
                              : dropChain == base ? QString("chain %1").arg(base)
                                                  : QString("chain %1, in %2").arg(base, dropChain);
        Block block{legacy ? "iptables-legacy" : "iptables", where, probe.traffic,
                    tool + ' ' + base};
        const QString ufwChain = probe.input ? "ufw-user-input" : "ufw-user-forward";
        if (!probe.input && table.chains.contains("DOCKER-USER"))
            block.firewall = "Docker", block.opening = tool + " DOCKER-USER";
        else if (table.chains.contains(ufwChain))
            block.firewall = "ufw", block.opening = tool + ' ' + ufwChain;
        addOnce(blocks, block);
    }
    return blocks;
}

QStringList iptablesTables(const QByteArray &text)
{
    QStringList tables;
    for (const QByteArray &line : text.split('\n'))
        if (line.startsWith('*'))
            tables << QString::fromUtf8(line.mid(1).trimmed());
    return tables;
}

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
