#include "network/FirewallRules.h"

#include "network/FirewallPackets.h"

#include <QMap>

namespace FirewallRules {

namespace {

using namespace FirewallPackets;

// A line of iptables-save's, its double-quoted words (comments, log prefixes) whole.
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

} // namespace FirewallRules
