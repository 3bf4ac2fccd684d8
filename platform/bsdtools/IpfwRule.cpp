#include "IpfwRule.h"

#include "NftLayout.h"
#include "network/InterfaceName.h"

#include <cstdio>
#include <cstdlib>

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

std::string IpfwRule::statement(bool inboundChain) const
{
    if (inboundChain ? !inbound : !outbound)
        return {};
    // Before routing the outgoing interface is unknown: a rule naming it only matches on the way
    // out, where the receiving interface is still known for forwarded packets.
    const bool namesOnlySent = !sentOn.empty() && sentOn != receivedOn;
    if (inboundChain && namesOnlySent)
        return {};
    std::string words;
    if (inboundChain && !receivedOn.empty())
        words += "iifname \"" + receivedOn + "\" ";
    if (!inboundChain && !receivedOn.empty() && receivedOn != sentOn)
        words += "iifname \"" + receivedOn + "\" ";
    if (!inboundChain && !sentOn.empty())
        words += "oifname \"" + sentOn + "\" ";
    switch (action) {
    case Action::Pass:
        words += "accept";
        break;
    case Action::Deny:
        words += "drop";
        break;
    case Action::Divert:
        // natd marks what it handles, just before these chains; without a natd the divert drops
        // what would be forwarded untranslated, and this computer's own traffic still passes.
        // Testing the mark without changing it makes a second divert rule change nothing.
        words += std::string("meta mark and ") + NftLayout::divertMark + " == 0 " +
                 (inboundChain ? "fib daddr type unicast" : "fib saddr type != local") + " drop";
        break;
    }
    return words + " comment \"" + kCommentTag + text() + "\"";
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
    // An incoming packet has not been routed yet: a rule naming where it leaves would match nothing.
    if (!rule.outbound && !rule.sentOn.empty() && rule.sentOn != rule.receivedOn)
        return "xmit never matches incoming packets";
    if (rule.action == IpfwRule::Action::Divert && rule.receivedOn.empty() && rule.sentOn.empty())
        return "divert needs via, recv or xmit: natd serves one interface";
    return std::nullopt;
}

std::vector<ListedRule> listedRules(const std::string &listing)
{
    std::vector<ListedRule> rules;
    const std::string tag = std::string("comment \"") + kCommentTag;
    size_t lineStart = 0;
    while (lineStart < listing.size()) {
        size_t lineEnd = listing.find('\n', lineStart);
        if (lineEnd == std::string::npos)
            lineEnd = listing.size();
        const std::string line = listing.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        const size_t comment = line.find(tag);
        const size_t handle = line.rfind("# handle ");
        if (comment == std::string::npos || handle == std::string::npos)
            continue;
        ListedRule rule;
        rule.number = std::atoi(line.c_str() + comment + tag.size());
        rule.handle = std::atol(line.c_str() + handle + 9);
        rules.push_back(rule);
    }
    return rules;
}

std::vector<std::string> listedTexts(const std::string &listing)
{
    std::vector<std::string> texts;
    const std::string tag = std::string("comment \"") + kCommentTag;
    for (size_t at = listing.find(tag); at != std::string::npos; at = listing.find(tag, at)) {
        at += tag.size();
        texts.push_back(listing.substr(at, listing.find('"', at) - at));
    }
    return texts;
}

std::optional<long> insertBefore(const std::vector<ListedRule> &rules, int number)
{
    for (const ListedRule &rule : rules) {
        if (rule.number > number)
            return rule.handle;
    }
    return std::nullopt;
}
