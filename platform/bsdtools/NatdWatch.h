#pragma once

#include "NftBatch.h"
#include "NftEvents.h"

#include <deque>
#include <string>
#include <sys/types.h>
#include <vector>

// What natd watches while it runs, as root: ipfw's table, which a flush of the whole ruleset or
// another firewall's reload removes (natd's own table is owned by natd and so outlives those).
namespace NatdWatch {

// ipfw's table as ipfw last left it, put back when another program changed it.
class IpfwKeeper
{
public:
    explicit IpfwKeeper(NftBatch &nft);
    // False when the table can't be kept (no more than three times a minute): natd then ends,
    // so that whoever watches natd sees sharing broken.
    bool follow(const std::vector<NftEvents::Commit> &commits, bool lost);

private:
    NftBatch &m_nft;
    std::vector<NftBatch::Rule> m_kept;
    std::deque<long> m_restores;
};

// Another program changed the ruleset: /run/velloran/ruleset is replaced, so that the window,
// which may not follow nftables itself, reads the other firewalls again. True when it was.
bool stampRuleset();

// Removes the pid file only while it names that process.
void removePidFile(const std::string &path, pid_t pid);

} // namespace NatdWatch
