// ipfw: Velloran's firewall rules, numbered and ordered, in a table of their own.
#include "Diagnostics.h"
#include "IpfwRule.h"
#include "NftLayout.h"
#include "NftSession.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::string kTable = std::string(NftLayout::family) + " " + NftLayout::ipfwTable;

std::string chainName(bool inbound)
{
    return inbound ? "in" : "out";
}

bool flush(NftSession &nft)
{
    // Deleting a table costs the kernel a grace period even when it is empty: only when there
    // is one. Adding first makes the delete succeed should it vanish in between.
    if (!nft.run("list table " + kTable) &&
        nft.error().find("No such file or directory") != std::string::npos)
        return true;
    return nft.run("add table " + kTable + "\ndelete table " + kTable + "\n");
}

// Adding what already exists changes nothing, so this can open any transaction of ours.
std::string tableAndChains()
{
    return "add table " + kTable + "\n" + "add chain " + kTable +
           " in { type filter hook prerouting priority " + std::to_string(NftLayout::ipfwIn) +
           "; policy accept; }\n" + "add chain " + kTable +
           " out { type filter hook postrouting priority " + std::to_string(NftLayout::ipfwOut) +
           "; policy accept; }\n";
}

std::optional<std::vector<ListedRule>> chainRules(NftSession &nft, bool inbound)
{
    if (!nft.run("list chain " + kTable + " " + chainName(inbound)))
        return std::nullopt;
    return listedRules(nft.output());
}

// One chain's part of a "list table" listing.
std::string chainListing(const std::string &table, bool inbound)
{
    const size_t start = table.find("chain " + chainName(inbound) + " {");
    if (start == std::string::npos)
        return {};
    const size_t end = table.find("\n\t}", start);
    return table.substr(start, end == std::string::npos ? end : end - start);
}

int add(NftSession &nft, const std::vector<std::string> &words, bool quiet)
{
    IpfwRule rule;
    if (auto error = parseIpfwRule(words, rule))
        return Diagnostics::fail(*error);
    nft.showHandles();
    // One look and one transaction: every run of nft costs a fresh fetch of the ruleset.
    const std::string table = nft.run("list table " + kTable) ? nft.output() : std::string();
    const std::vector<ListedRule> rules[2] = {listedRules(chainListing(table, true)),
                                              listedRules(chainListing(table, false))};
    if (rule.number == 0) {
        int last = 0;
        for (const auto &chain : rules) {
            for (const ListedRule &listed : chain)
                last = std::max(last, listed.number);
        }
        // As ipfw numbers it: a step past the last rule, or beside it when no room is left.
        rule.number = last < kIpfwDefaultRule - kIpfwAutoStep ? last + kIpfwAutoStep : last;
    }
    std::string commands = tableAndChains();
    for (bool inbound : {true, false}) {
        const std::string statement = rule.statement(inbound);
        if (statement.empty())
            continue;
        const auto before = insertBefore(rules[inbound ? 0 : 1], rule.number);
        commands += before ? "insert rule " + kTable + " " + chainName(inbound) + " position " +
                                 std::to_string(*before) + " "
                           : "add rule " + kTable + " " + chainName(inbound) + " ";
        commands += statement + "\n";
    }
    if (!nft.run(commands))
        return Diagnostics::fail(nft.error());
    if (!quiet)
        std::printf("%s\n", rule.text().c_str());
    return 0;
}

int remove(NftSession &nft, const std::vector<std::string> &numbers)
{
    if (numbers.empty())
        return Diagnostics::fail("delete needs a rule number");
    nft.showHandles();
    std::string commands;
    for (const std::string &word : numbers) {
        const int number = std::atoi(word.c_str());
        if (word.find_first_not_of("0123456789") != std::string::npos || number < 1 ||
            number >= kIpfwDefaultRule)
            return Diagnostics::fail("invalid rule number " + word);
        bool found = false;
        for (bool inbound : {true, false}) {
            const auto rules = chainRules(nft, inbound);
            for (const ListedRule &listed : rules.value_or(std::vector<ListedRule>())) {
                if (listed.number != number)
                    continue;
                commands += "delete rule " + kTable + " " + chainName(inbound) + " handle " +
                            std::to_string(listed.handle) + "\n";
                found = true;
            }
        }
        if (!found)
            return Diagnostics::fail("rule " + word + " not found");
    }
    if (!nft.run(commands))
        return Diagnostics::fail(nft.error());
    return 0;
}

int list(NftSession &nft)
{
    // Every rule has a twin in one chain or the other; the texts tell them apart.
    std::vector<std::string> texts;
    for (bool inbound : {true, false}) {
        if (!nft.run("list chain " + kTable + " " + chainName(inbound)))
            break;
        for (const std::string &text : listedTexts(nft.output())) {
            if (std::find(texts.begin(), texts.end(), text) == texts.end())
                texts.push_back(text);
        }
    }
    std::stable_sort(texts.begin(), texts.end(), [](const std::string &a, const std::string &b) {
        return std::atoi(a.c_str()) < std::atoi(b.c_str());
    });
    for (const std::string &text : texts)
        std::printf("%s\n", text.c_str());
    std::printf("%05d allow ip from any to any\n", kIpfwDefaultRule);
    return 0;
}

bool confirmFlush()
{
    if (!::isatty(STDIN_FILENO))
        return true;
    std::printf("Are you sure? [yn] ");
    std::fflush(stdout);
    const int answer = std::getchar();
    return answer == 'y' || answer == 'Y';
}

} // namespace

int main(int argc, char **argv)
{
    Diagnostics::setTool("ipfw");
    bool force = false;
    bool quiet = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
        for (const char *flag = argv[i] + 1; *flag; ++flag) {
            if (*flag == 'f')
                force = true;
            else if (*flag == 'q')
                quiet = true;
            else
                return Diagnostics::fail(std::string("unsupported option -") + *flag);
        }
    }
    if (i >= argc)
        return Diagnostics::fail("missing command (flush, add, delete, list)");
    const std::string command = argv[i];
    const std::vector<std::string> words(argv + i + 1, argv + argc);

    NftSession nft;
    if (!nft.valid())
        return Diagnostics::fail(nft.error());
    if (command == "flush") {
        if (!words.empty())
            return Diagnostics::fail("flush takes no arguments");
        if (!force && !quiet && !confirmFlush())
            return 0;
        if (!flush(nft))
            return Diagnostics::fail(nft.error());
        if (!quiet)
            std::printf("Flushed all rules.\n");
        return 0;
    }
    if (command == "add")
        return add(nft, words, quiet);
    if (command == "delete")
        return remove(nft, words);
    if ((command == "list" || command == "show") && words.empty())
        return list(nft);
    return Diagnostics::fail("unsupported command " + command);
}
