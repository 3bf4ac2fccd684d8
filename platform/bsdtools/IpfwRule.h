#pragma once

#include <optional>
#include <string>
#include <vector>

// One ipfw rule of the forms Velloran uses, and its place in ipfw's nftables table.
struct IpfwRule {
    enum class Action { Pass, Deny, Divert };

    int number = 0; // 0: the next free number, as ipfw picks it
    Action action = Action::Pass;
    std::string receivedOn; // "recv IF" or "via IF"
    std::string sentOn;     // "xmit IF" or "via IF"
    bool inbound = true;
    bool outbound = true;

    // "00095 divert 8668 ip from any to any via eth0", as "ipfw list" shows it.
    std::string text() const;
    // The nftables statement for the prerouting (inbound) or postrouting chain, or "" when
    // the rule doesn't look at packets in that direction.
    std::string statement(bool inboundChain) const;
};

inline constexpr int kIpfwDefaultRule = 65535;
inline constexpr int kIpfwAutoStep = 100;

// Parses the words after "add": [N] action [port] all|ip from any to any [via|recv|xmit IF]
// [in|out]. Answers the error message, or nullopt.
std::optional<std::string> parseIpfwRule(const std::vector<std::string> &words, IpfwRule &rule);

// A rule of ours as it stands in a listed chain.
struct ListedRule {
    int number = 0;
    long handle = 0;
};
// Our rules of one chain from "nft -a list chain" output, in order.
std::vector<ListedRule> listedRules(const std::string &listing);
// The rule texts kept in the comments, in order.
std::vector<std::string> listedTexts(const std::string &listing);
// Where a rule numbered `number` goes: the handle it is inserted before (after every rule with
// the same or a lower number), or nullopt to append.
std::optional<long> insertBefore(const std::vector<ListedRule> &rules, int number);
