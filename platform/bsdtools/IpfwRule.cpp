#include "IpfwRule.h"

#include "NftLayout.h"
#include "network/InterfaceName.h"

#include <cstdio>
#include <cstdlib>
#include <libnftnl/expr.h>
#include <libnftnl/rule.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/rtnetlink.h>

namespace {

const char *const kCommentTag = "ipfw ";
// divert(4)'s port for natd, from /etc/services.
const char *const kNatdPort = "8668";

bool isNumber(const std::string &word)
{
    if (word.empty() || word.size() > 5)
        return false;
    for (char c : word) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

} // namespace

std::string IpfwRule::text() const
{
    char number5[8];
    std::snprintf(number5, sizeof number5, "%05d", number);
    std::string words = number5;
    switch (action) {
    case Action::Pass:
        words += " allow";
        break;
    case Action::Deny:
        words += " deny";
        break;
    case Action::Divert:
        words += std::string(" divert ") + kNatdPort;
        break;
    }
    words += " ip from any to any";
    if (!receivedOn.empty() && receivedOn == sentOn)
        words += " via " + receivedOn;
    else if (!receivedOn.empty())
        words += " recv " + receivedOn;
    else if (!sentOn.empty())
        words += " xmit " + sentOn;
    if (inbound != outbound)
        words += inbound ? " in" : " out";
    return words;
}

nftnl_rule *IpfwRule::nftRule(bool inboundChain) const
{
    if (inboundChain ? !inbound : !outbound)
        return nullptr;
    // Before routing the outgoing interface is unknown: a rule naming it only matches on the way
    // out, where the receiving interface is still known for forwarded packets.
    const bool namesOnlySent = !sentOn.empty() && sentOn != receivedOn;
    if (inboundChain && namesOnlySent)
        return nullptr;
    nftnl_rule *rule = NftBatch::newRule(NftLayout::ipfwTable, ipfwChain(inboundChain));
    if (inboundChain && !receivedOn.empty())
        NftExpr::interface(rule, true, receivedOn);
    if (!inboundChain && !receivedOn.empty() && receivedOn != sentOn)
        NftExpr::interface(rule, true, receivedOn);
    if (!inboundChain && !sentOn.empty())
        NftExpr::interface(rule, false, sentOn);
    if (action == Action::Divert) {
        // natd marks what it handles, just before these chains; without a natd the divert drops
        // what would be forwarded untranslated, and this computer's own traffic still passes.
        // Testing the mark without changing it makes a second divert rule change nothing.
        NftExpr::metaLoad(rule, NFT_META_MARK);
        NftExpr::bitwise(rule, NftLayout::divertMark, 0);
        NftExpr::compare(rule, NFT_CMP_EQ, 0);
        // fib daddr type unicast, or fib saddr type != local
        nftnl_expr *fib = NftExpr::add(rule, "fib");
        nftnl_expr_set_u32(fib, NFTNL_EXPR_FIB_RESULT, NFT_FIB_RESULT_ADDRTYPE);
        nftnl_expr_set_u32(fib, NFTNL_EXPR_FIB_FLAGS,
                           inboundChain ? NFTA_FIB_F_DADDR : NFTA_FIB_F_SADDR);
        nftnl_expr_set_u32(fib, NFTNL_EXPR_FIB_DREG, NFT_REG_1);
        if (inboundChain)
            NftExpr::compare(rule, NFT_CMP_EQ, RTN_UNICAST);
        else
            NftExpr::compare(rule, NFT_CMP_NEQ, RTN_LOCAL);
    }
    NftExpr::verdict(rule, action == Action::Pass ? NF_ACCEPT : NF_DROP);
    NftExpr::comment(rule, kCommentTag + text());
    return rule;
}

std::optional<std::string> parseIpfwRule(const std::vector<std::string> &words, IpfwRule &rule)
{
    size_t i = 0;
    auto next = [&]() -> std::string { return i < words.size() ? words[i++] : std::string(); };
    std::string word = next();
    if (isNumber(word)) {
        rule.number = std::atoi(word.c_str());
        if (rule.number < 1 || rule.number >= kIpfwDefaultRule)
            return "rule number " + word + " out of range";
        word = next();
    } else if (!word.empty() && word[0] >= '0' && word[0] <= '9') {
        return "invalid rule number " + word;
    }
    if (word == "allow" || word == "accept" || word == "pass" || word == "permit") {
        rule.action = IpfwRule::Action::Pass;
    } else if (word == "deny" || word == "drop") {
        rule.action = IpfwRule::Action::Deny;
    } else if (word == "divert") {
        const std::string port = next();
        if (port != "natd" && port != kNatdPort)
            return "divert port " + (port.empty() ? std::string("missing") : port) +
                   ": only natd's port is served";
        rule.action = IpfwRule::Action::Divert;
    } else {
        return word.empty() ? std::string("missing action") : "unsupported action " + word;
    }
    const std::string protocol = next();
    if (protocol != "all" && protocol != "ip")
        return "unsupported protocol " + (protocol.empty() ? std::string("(none)") : protocol);
    for (const char *expected : {"from", "any", "to", "any"}) {
        const std::string got = next();
        if (got != expected)
            return std::string("expected ") + expected + ", not " +
                   (got.empty() ? std::string("end of rule") : got);
    }
    while (i < words.size()) {
        word = next();
        if (word == "via" || word == "recv" || word == "xmit") {
            const std::string interface = next();
            if (interface.empty())
                return word + " needs an interface name";
            if (!InterfaceName::isValid(interface))
                return InterfaceName::refusal(interface);
            if (word != "xmit")
                rule.receivedOn = interface;
            if (word != "recv")
                rule.sentOn = interface;
        } else if (word == "in") {
            rule.outbound = false;
        } else if (word == "out") {
            rule.inbound = false;
        } else {
            return "unsupported rule option " + word;
        }
    }
    if (!rule.inbound && !rule.outbound)
        return "a rule can't be both in and out";
    // An incoming packet has not been routed yet: a rule naming where it leaves would match
    // nothing.
    if (!rule.outbound && !rule.sentOn.empty() && rule.sentOn != rule.receivedOn)
        return "xmit never matches incoming packets";
    if (rule.action == IpfwRule::Action::Divert && rule.receivedOn.empty() && rule.sentOn.empty())
        return "divert needs via, recv or xmit: natd serves one interface";
    return std::nullopt;
}

std::vector<ListedRule> listedRules(const std::vector<NftBatch::Rule> &rules)
{
    std::vector<ListedRule> ours;
    const std::string tag = kCommentTag;
    for (const NftBatch::Rule &rule : rules) {
        if (rule.comment.compare(0, tag.size(), tag) != 0)
            continue;
        ListedRule listed;
        listed.text = rule.comment.substr(tag.size());
        listed.number = std::atoi(listed.text.c_str());
        listed.handle = rule.handle;
        listed.inbound = rule.chain == ipfwChain(true);
        ours.push_back(listed);
    }
    return ours;
}

uint64_t insertBefore(const std::vector<ListedRule> &rules, bool inbound, int number)
{
    for (const ListedRule &rule : rules) {
        if (rule.inbound == inbound && rule.number > number)
            return rule.handle;
    }
    return 0;
}

void addIpfwTable(NftBatch &nft)
{
    nft.addTable(NftLayout::ipfwTable);
    nft.addChain(NftLayout::ipfwTable, ipfwChain(true), "filter", NF_INET_PRE_ROUTING,
                 NftLayout::ipfwIn);
    nft.addChain(NftLayout::ipfwTable, ipfwChain(false), "filter", NF_INET_POST_ROUTING,
                 NftLayout::ipfwOut);
}
