#pragma once

#include "NftEvents.h"

#include <deque>
#include <string>
#include <sys/types.h>
#include <vector>

class NftSession;

// What natd watches while it runs, as root: ipfw's table, which a flush of the whole ruleset or
// another firewall's reload removes (natd's own table is owned by natd and so outlives those).
namespace NatdWatch {

// ipfw's table as ipfw last left it, put back when another program changed it.
class IpfwKeeper
{
public:
    explicit IpfwKeeper(NftSession &nft);
    // False when the table can't be kept (no more than three times a minute): natd then ends,
    // so that whoever watches natd sees sharing broken.
    bool follow(const std::vector<NftEvents::Commit> &commits, bool lost);

private:
    std::string listing();

    NftSession &m_nft;
    std::string m_kept;
    std::deque<long> m_restores;
};

// Forks natd's guard: once natd has ended, however it ended, the guard keeps ipfw's rules for a
// few seconds, so nothing is forwarded untranslated while the next natd starts, and then
// removes them unless a new natd took over. Answers the end natd holds open while it lives.
int startGuard(char **argv, int argc, const std::string &pidFile);

// Removes the pid file only while it names that process.
void removePidFile(const std::string &path, pid_t pid);

} // namespace NatdWatch
