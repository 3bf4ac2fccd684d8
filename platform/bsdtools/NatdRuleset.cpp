#include "NatdRuleset.h"

#include "NftLayout.h"

namespace NatdRuleset {

namespace {

std::string table()
{
    return std::string(NftLayout::family) + " " + NftLayout::natdTable;
}

std::string chain(const char *name, const char *type, const char *hook, const std::string &prio)
{
    return "add chain " + table() + " " + name + " { type " + type + " hook " + hook +
           " priority " + prio + "; policy accept; }\n";
}

std::string rule(const char *chainName, const std::string &statement)
{
    return "add rule " + table() + " " + chainName + " " + statement + "\n";
}

// One rule per new connection: the nat chain only sees a connection's first packet.
std::string aliasRule(const NatdOptions &options, const std::string &aliasAddress)
{
    std::string statement = "oifname \"" + options.interface + "\" ";
    if (options.log)
        statement += "log prefix \"natd alias: \" ";
    statement += options.dynamic ? "masquerade" : "snat to " + aliasAddress;
    return rule("alias", statement);
}

} // namespace

std::string install(const NatdOptions &options, const std::string &aliasAddress)
{
    const std::string in = "iifname \"" + options.interface + "\" ";
    const std::string out = "oifname \"" + options.interface + "\" ";
    const std::string mark = std::string("meta mark set meta mark or ") + NftLayout::divertMark;

    std::string text = "create table " + table() + " { flags owner; }\n";
    text += chain("divert_in", "filter", "prerouting", std::to_string(NftLayout::natdMarkIn));
    text += chain("divert_out", "filter", "postrouting", std::to_string(NftLayout::natdMarkOut));
    text += chain("alias", "nat", "postrouting", "srcnat");
    // Once ipfw has looked, the mark goes again: other programs may route or filter by marks.
    text += chain("unmark_in", "filter", "prerouting", std::to_string(NftLayout::natdUnmarkIn));
    text += chain("unmark_out", "filter", "postrouting", std::to_string(NftLayout::natdUnmarkOut));
    text += chain("clamp_mss", "filter", "forward", "mangle");
    if (options.denyIncoming) {
        std::string deny = in + "ct state new,invalid ";
        if (options.logDenied)
            deny += "log prefix \"natd denied: \" ";
        text += rule("divert_in", deny + "drop");
    }
    text += rule("divert_in", in + mark);
    text += rule("divert_out", out + mark);
    const std::string unmark =
        std::string("meta mark set meta mark and ") + NftLayout::divertUnmark;
    text += rule("unmark_in", in + unmark);
    text += rule("unmark_out", out + unmark);
    // Where "fragmentation needed" gets lost behind a smaller MTU (PPPoE, VPN), both ends learn it.
    const std::string clamp = "tcp flags syn / syn,rst tcp option maxseg size set rt mtu";
    text += rule("clamp_mss", in + clamp);
    text += rule("clamp_mss", out + clamp);
    text += aliasRule(options, aliasAddress);
    return text;
}

std::string retarget(const NatdOptions &options, const std::string &aliasAddress)
{
    return "flush chain " + table() + " alias\n" + aliasRule(options, aliasAddress);
}

std::string remove()
{
    return "delete table " + table() + "\n";
}

} // namespace NatdRuleset
