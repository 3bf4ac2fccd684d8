#include "network/Firewalls.h"

#include "network/FirewallD.h"
#include "network/InterfaceName.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <cstdio>
#include <sys/stat.h>

namespace Firewalls {

namespace {

using FirewallRules::Traffic;

QString g_noteFolder = QStringLiteral("/run/velloran");

const QString kNft = QStringLiteral("/usr/sbin/nft");
const QStringList kFirewalls{"nftables", "iptables", "iptables-legacy",
                             "ufw",      "Docker",   "firewalld"};
const QStringList kTraffic{"forward", "dhcp", "dns"};
constexpr qsizetype kMaxWhere = 160;

QString notePath(const QString &lan)
{
    return g_noteFolder + "/firewall-" + lan;
}

QString tag(const QString &lan)
{
    return "velloran-shared-" + lan;
}

// A program of the system's by its path with exactly `arguments`, a bare environment and a
// deadline; its output, none when it failed.
std::optional<QByteArray> run(const QString &program, const QStringList &arguments,
                              bool complain = true)
{
    QProcess process;
    QProcessEnvironment environment;
    environment.insert("PATH", "/usr/sbin:/usr/bin:/sbin:/bin");
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(1000);
        return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        if (complain)
            std::fprintf(stderr, "velloran-firewall: %s %s: %s", qPrintable(program),
                         qPrintable(arguments.join(' ')),
                         process.readAllStandardError().constData());
        return std::nullopt;
    }
    return process.readAllStandardOutput();
}

bool isChainName(const QString &name)
{
    static const QRegularExpression kName(QStringLiteral("^[A-Za-z_][A-Za-z0-9_.-]{0,63}$"));
    return kName.match(name).hasMatch();
}

// Which accept rules let a kind of traffic through: a LAN client's connections out and their
// replies, its DHCP, its DNS.
QStringList templatesFor(Traffic traffic)
{
    switch (traffic) {
    case Traffic::Forward:
        return {"out", "back"};
    case Traffic::Dhcp:
        return {"dhcp"};
    case Traffic::Dns:
        return {"dns-udp", "dns-tcp"};
    }
    return {};
}

// An iptables rule of a template, without the command and chain.
QStringList iptablesRule(const QString &shape, const QString &lan, const QString &wan)
{
    // iptables reads a name ending in '+' as every name that starts so: never opened that wide.
    if (lan.endsWith('+') || wan.endsWith('+'))
        return {};
    QStringList rule;
    if (shape == "out")
        rule = {"-i", lan, "-o", wan};
    else if (shape == "back")
        rule = {"-i", wan, "-o", lan, "-m", "conntrack", "--ctstate", "RELATED,ESTABLISHED"};
    else if (shape == "dhcp" || shape == "dns-udp")
        rule = {"-i", lan, "-p", "udp", "-m", "udp", "--dport", shape == "dhcp" ? "67" : "53"};
    else if (shape == "dns-tcp")
        rule = {"-i", lan, "-p", "tcp", "-m", "tcp", "--dport", "53"};
    else
        return {};
    return rule + QStringList{"-m", "comment", "--comment", tag(lan), "-j", "ACCEPT"};
}

// The same as an nftables rule, word by word as nft reads them.
QStringList nftRule(const QString &shape, const QString &lan, const QString &wan)
{
    const QString in = '"' + lan + '"', out = '"' + wan + '"';
    QStringList rule;
    if (shape == "out")
        rule = {"iifname", in, "oifname", out};
    else if (shape == "back")
        rule = {"iifname", out, "oifname", in, "ct", "state", "established,related"};
    else if (shape == "dhcp" || shape == "dns-udp")
        rule = {"iifname", in, "udp", "dport", shape == "dhcp" ? "67" : "53"};
    else if (shape == "dns-tcp")
        rule = {"iifname", in, "tcp", "dport", "53"};
    else
        return {};
    return rule + QStringList{"accept", "comment", '"' + tag(lan) + '"'};
}

QString iptablesProgram(const QString &tool)
{
    return tool == "iptables-legacy" ? QStringLiteral("/usr/sbin/iptables-legacy")
                                     : QStringLiteral("/usr/sbin/iptables-nft");
}

// One note line, after adding what it names; none when the firewall refused.
std::optional<QString> add(const QStringList &opening, const QString &shape, const QString &lan,
                           const QString &wan)
{
    const QStringList rule = iptablesRule(shape, lan, wan);
    if (opening.value(0).startsWith("iptables-") && opening.size() == 2 &&
        isChainName(opening[1]) && !rule.isEmpty()) {
        if (!run(iptablesProgram(opening[0]),
                 QStringList{"-w", "-t", "filter", "-I", opening[1], "1"} + rule))
            return std::nullopt;
        return QStringList{opening[0], opening[1], shape, lan, wan}.join(' ');
    }
    if (opening.value(0) == "nft" && opening.size() == 4 && isChainName(opening[2]) &&
        isChainName(opening[3]) && (opening[1] == "ip" || opening[1] == "inet")) {
        const auto echo = run(kNft, QStringList{"--echo", "--handle", "insert", "rule"} +
                                        opening.mid(1) + nftRule(shape, lan, wan));
        const auto handle =
            QRegularExpression("# handle (\\d+)").match(QString::fromUtf8(echo.value_or("")));
        if (!handle.hasMatch())
            return std::nullopt;
        return (opening + QStringList{handle.captured(1), lan}).join(' ');
    }
    return std::nullopt;
}

// Undoes one note line; true when what it names is gone.
bool remove(const QStringList &words)
{
    if (words.value(0) == "firewalld")
        return FirewallD::close(words);
    if (words.value(0).startsWith("iptables-") && words.size() == 5 && isChainName(words[1]) &&
        InterfaceName::isValid(words[3].toStdString()) &&
        InterfaceName::isValid(words[4].toStdString())) {
        const QStringList rule = iptablesRule(words[2], words[3], words[4]);
        const QString program = iptablesProgram(words[0]);
        const QStringList chain{"-w", "-t", "filter"};
        // Gone already (a reload of that firewall) counts as removed.
        if (rule.isEmpty() || !run(program, chain + QStringList{"-C", words[1]} + rule, false))
            return !rule.isEmpty();
        return run(program, chain + QStringList{"-D", words[1]} + rule).has_value();
    }
    if (words.value(0) == "nft" && words.size() == 6 && (words[1] == "ip" || words[1] == "inet") &&
        isChainName(words[2]) && isChainName(words[3]) &&
        InterfaceName::isValid(words[5].toStdString())) {
        const auto listing = run(kNft, {"--handle", "list", "chain", words[1], words[2], words[3]});
        const QString ours = "comment \"" + tag(words[5]) + "\" # handle " + words[4];
        for (const QString &line : QString::fromUtf8(listing.value_or("")).split('\n'))
            if (line.trimmed().endsWith(ours))
                return run(kNft,
                           {"delete", "rule", words[1], words[2], words[3], "handle", words[4]})
                    .has_value();
        return true;
    }
    return false;
}

// The note folder, made when missing: root's alone, or no note is trusted or written there.
bool noteFolderIsRoots()
{
    QDir().mkpath(g_noteFolder);
    struct stat folder {
    };
    return lstat(QFile::encodeName(g_noteFolder).constData(), &folder) == 0 &&
           S_ISDIR(folder.st_mode) && folder.st_uid == geteuid() && !(folder.st_mode & 022);
}

bool writeNote(const QString &lan, const QStringList &lines)
{
    QSaveFile note(notePath(lan));
    if (!note.open(QIODevice::WriteOnly))
        return false;
    note.write((lines.join('\n') + '\n').toUtf8());
    note.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                        QFileDevice::ReadOther);
    return note.commit();
}

QString said(Traffic traffic, const QString &lan, const QString &wan)
{
    switch (traffic) {
    case Traffic::Forward:
        return QStringLiteral("the traffic forwarded between %1 and %2").arg(lan, wan);
    case Traffic::Dhcp:
        return QStringLiteral("DHCP (udp 67) from %1 to this computer").arg(lan);
    case Traffic::Dns:
        return QStringLiteral("DNS (53) from %1 to this computer").arg(lan);
    }
    return {};
}

} // namespace

QList<Block> read(const QString &lan, const QString &wan)
{
    QList<Block> blocks;
    QStringList iptablesNftTables;
    if (QFileInfo::exists("/usr/sbin/iptables-nft-save")) {
        const QByteArray saved = run("/usr/sbin/iptables-nft-save", {}).value_or("");
        blocks += FirewallRules::fromIptablesSave(saved, lan, wan);
        iptablesNftTables = FirewallRules::iptablesTables(saved);
    }
    // Table by table, none of Velloran's: nft 1.0.6 aborts printing an owned table as JSON, and
    // natd's is owned while sharing runs.
    const QByteArray tables =
        QFileInfo::exists(kNft) ? run(kNft, {"list", "tables"}).value_or("") : "";
    for (const QByteArray &line : tables.split('\n')) {
        const QStringList table = QString::fromUtf8(line).split(' ');
        if (table.size() == 3 && table[0] == "table" && !table[2].startsWith("velloran_") &&
            !(table[1] == "ip" && iptablesNftTables.contains(table[2])))
            blocks += FirewallRules::fromNftables(
                run(kNft, {"-j", "list", "table", table[1], table[2]}).value_or(""), lan, wan,
                iptablesNftTables);
    }
    // Listing legacy tables loads them: look only when some exist already.
    QFile legacyTables("/proc/net/ip_tables_names");
    if (legacyTables.open(QIODevice::ReadOnly) && !legacyTables.readAll().trimmed().isEmpty() &&
        QFileInfo::exists("/usr/sbin/iptables-legacy-save"))
        blocks += FirewallRules::fromIptablesSave(
            run("/usr/sbin/iptables-legacy-save", {}).value_or(""), lan, wan, true);
    if (FirewallD::running())
        blocks += FirewallD::read(lan, wan);
    return blocks;
}

bool open(const QString &lan, const QString &wan)
{
    if (!noteFolderIsRoots() || !close(lan))
        return false;
    QStringList lines;
    QStringList opened;
    bool ok = true;
    for (const Block &block : read(lan, wan)) {
        const QStringList opening = block.opening.split(' ');
        const bool zone = opening.value(0) == "firewalld";
        if (zone && opened.contains(block.opening))
            continue;
        opened << block.opening;
        QList<std::optional<QString>> added;
        if (zone) // over one port the zone is the Internet's side too: that is left to the user
            added << (lan == wan ? std::nullopt : FirewallD::open(lan));
        for (const QString &shape : zone ? QStringList() : templatesFor(block.drops))
            added << add(opening, shape, lan, wan);
        for (const auto &line : added) {
            ok = ok && line.has_value();
            if (line)
                lines << *line;
        }
        // Noted at once: what was added is removed at Stop even if this ends here.
        ok = writeNote(lan, lines) && ok;
    }
    return ok && read(lan, wan).isEmpty();
}

bool close(const QString &lan)
{
    QFile note(notePath(lan));
    if (!note.exists())
        return true;
    if (!noteFolderIsRoots() || !note.open(QIODevice::ReadOnly) || note.size() > 65536)
        return false;
    bool ok = true;
    QStringList left;
    for (const QString &line : QString::fromUtf8(note.readAll()).split('\n', Qt::SkipEmptyParts))
        if (!remove(line.split(' ')))
            ok = false, left << line;
    note.close();
    if (ok)
        return note.remove();
    writeNote(lan, left);
    return false;
}

QByteArray verdict(const QList<Block> &blocks)
{
    QByteArray text;
    for (const Block &block : blocks.mid(0, kMaxBlocks)) {
        QString where = block.where.left(kMaxWhere);
        for (QChar &c : where)
            if (c < ' ' || c > '~')
                c = '?';
        text += QStringLiteral("%1\t%2\t%3\n")
                    .arg(block.firewall, where, kTraffic.value(int(block.drops)))
                    .toUtf8();
    }
    return text;
}

std::optional<QList<Block>> parseVerdict(const QByteArray &text)
{
    QList<Block> blocks;
    const QList<QByteArray> lines = text.split('\n');
    if (!text.isEmpty() && !text.endsWith('\n'))
        return std::nullopt;
    for (const QByteArray &line : lines.mid(0, lines.size() - 1)) {
        const QList<QByteArray> fields = line.split('\t');
        const QString where = QString::fromLatin1(fields.value(1));
        const bool printable =
            std::all_of(where.begin(), where.end(), [](QChar c) { return c >= ' ' && c <= '~'; });
        if (fields.size() != 3 || !kFirewalls.contains(QString::fromLatin1(fields[0])) ||
            !kTraffic.contains(QString::fromLatin1(fields[2])) || where.isEmpty() ||
            where.size() > kMaxWhere || !printable || blocks.size() == kMaxBlocks)
            return std::nullopt;
        blocks.append({QString::fromLatin1(fields[0]),
                       where,
                       Traffic(kTraffic.indexOf(QString::fromLatin1(fields[2]))),
                       {}});
    }
    return blocks;
}

QString alert(const QList<Block> &blocks, const QString &lan, const QString &wan, bool sharing)
{
    QString text = sharing ? QStringLiteral("Another firewall on this computer now blocks "
                                            "Internet Sharing on %1:\n")
                                 .arg(lan)
                           : QStringLiteral("Another firewall on this computer would block "
                                            "Internet Sharing on %1:\n")
                                 .arg(lan);
    for (const Block &block : blocks)
        text += QStringLiteral("- %1, %2, drops %3.\n")
                    .arg(block.firewall, block.where, said(block.drops, lan, wan));
    return text + QStringLiteral("\"Allow for Velloran\" lets that traffic through for as long as "
                                 "sharing runs; the firewall's saved settings stay as they are.");
}

QStringList opened()
{
    QStringList interfaces;
    for (const QString &name : QDir(g_noteFolder).entryList({"firewall-*"}, QDir::Files)) {
        const QString lan = name.mid(9);
        if (InterfaceName::isValid(lan.toStdString()))
            interfaces << lan;
    }
    return interfaces;
}

void setNoteFolder(const QString &folder)
{
    g_noteFolder = folder;
}

} // namespace Firewalls
