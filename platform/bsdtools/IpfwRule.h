#pragma once

#include "NftBatch.h"

#include <cstdint>
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
    // The nftables rule for the prerouting (inbound) or postrouting chain, or nullptr when
    // the rule doesn't look at packets in that direction.
    nftnl_rule *nftRule(bool inboundChain) const;
};

inline constexpr int kIpfwDefaultRule = 65535;
inline constexpr int kIpfwAutoStep = 100;

// Parses the words after "add": [N] action [port] all|ip from any to any [via|recv|xmit IF]
// [in|out]. Answers the error message, or nullopt.
std::optional<std::string> parseIpfwRule(const std::vector<std::string> &words, IpfwRule &rule);

// ipfw's chains in its table.
inline const char *ipfwChain(bool inbound)
{
    return inbound ? "in" : "out";
}

// ipfw's table and its two chains, queued; adding what exists changes nothing.
void addIpfwTable(NftBatch &nft);

// A rule of ours as it stands in its chain.
struct ListedRule {
    int number = 0;
    uint64_t handle = 0;
    bool inbound = true;
    std::string text;
};
// Our rules among the table's rules, in chain and rule order.
std::vector<ListedRule> listedRules(const std::vector<NftBatch::Rule> &rules);
// Where a rule numbered `number` goes in a chain: the handle it is inserted before (after every
// rule with the same or a lower number), or 0 to append.
uint64_t insertBefore(const std::vector<ListedRule> &rules, bool inbound, int number);
