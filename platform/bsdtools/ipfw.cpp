// ipfw: Velloran's firewall rules, numbered and ordered, in a table of their own.
#include "Diagnostics.h"
#include "IpfwRule.h"
#include "NftBatch.h"
#include "NftLayout.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <linux/netfilter.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char *const kTable = NftLayout::ipfwTable;

bool flush(NftBatch &nft)
{
    // Deleting a table costs the kernel a grace period even when it is empty: only when there
    // is one. Adding first makes the delete succeed should it vanish in between.
    if (!nft.tableExists(kTable))
        return true;
    nft.addTable(kTable);
    nft.deleteTable(kTable);
    return nft.commit();
}

int add(NftBatch &nft, const std::vector<std::string> &words, bool quiet)
{
    IpfwRule rule;
    if (auto error = parseIpfwRule(words, rule))
        return Diagnostics::fail(*error);
    // One look at our own table and one transaction.
    const std::vector<ListedRule> rules = listedRules(nft.rules(kTable));
    if (rule.number == 0) {
        int last = 0;
        for (const ListedRule &listed : rules)
            last = std::max(last, listed.number);
        // As ipfw numbers it: a step past the last rule, or beside it when no room is left.
        rule.number = last < kIpfwDefaultRule - kIpfwAutoStep ? last + kIpfwAutoStep : last;
    }
    // Adding what already exists changes nothing, so this can open any transaction of ours.
    addIpfwTable(nft);
    for (bool inbound : {true, false}) {
        if (nftnl_rule *chainRule = rule.nftRule(inbound))
            nft.addRule(chainRule, insertBefore(rules, inbound, rule.number));
    }
    if (!nft.commit())
        return Diagnostics::fail(nft.error());
    if (!quiet)
        std::printf("%s\n", rule.text().c_str());
    return 0;
}

int remove(NftBatch &nft, const std::vector<std::string> &numbers)
{
    if (numbers.empty())
        return Diagnostics::fail("delete needs a rule number");
    const std::vector<ListedRule> rules = listedRules(nft.rules(kTable));
    for (const std::string &word : numbers) {
        const int number = std::atoi(word.c_str());
        if (word.find_first_not_of("0123456789") != std::string::npos || number < 1 ||
            number >= kIpfwDefaultRule)
            return Diagnostics::fail("invalid rule number " + word);
        bool found = false;
        for (const ListedRule &listed : rules) {
            if (listed.number != number)
                continue;
            nft.deleteRule(kTable, ipfwChain(listed.inbound), listed.handle);
            found = true;
        }
        if (!found)
            return Diagnostics::fail("rule " + word + " not found");
    }
    if (!nft.commit())
        return Diagnostics::fail(nft.error());
    return 0;
}

int list(NftBatch &nft)
{
    // Every rule has a twin in one chain or the other; the texts tell them apart.
    std::vector<std::string> texts;
    for (const ListedRule &listed : listedRules(nft.rules(kTable))) {
        if (std::find(texts.begin(), texts.end(), listed.text) == texts.end())
            texts.push_back(listed.text);
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

    NftBatch nft;
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
