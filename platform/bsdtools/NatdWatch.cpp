#include "NatdWatch.h"

#include "IpfwRule.h"
#include "NftLayout.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace NatdWatch {

namespace {

constexpr int kRestoresPerMinute = 3;

long nowMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// The same rules in the same chains and order, as ipfw's listing tells them apart.
bool sameRules(const std::vector<NftBatch::Rule> &a, const std::vector<NftBatch::Rule> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto &x, const auto &y) {
        return x.chain == y.chain && x.comment == y.comment;
    });
}

} // namespace

IpfwKeeper::IpfwKeeper(NftBatch &nft) : m_nft(nft), m_kept(nft.rules(NftLayout::ipfwTable)) {}

bool IpfwKeeper::follow(const std::vector<NftEvents::Commit> &commits, bool lost)
{
    const NftEvents::Commit *last = nullptr;
    for (const NftEvents::Commit &commit : commits) {
        if (commit.pid != ::getpid())
            last = &commit;
    }
    // What ipfw did last is what is kept; when the kernel lost count, what is there now.
    if (lost || (last && last->program == "ipfw")) {
        m_kept = m_nft.rules(NftLayout::ipfwTable);
        return true;
    }
    if (!last || sameRules(m_nft.rules(NftLayout::ipfwTable), m_kept))
        return true;
    while (!m_restores.empty() && nowMs() - m_restores.front() >= 60000)
        m_restores.pop_front();
    if (m_restores.size() >= kRestoresPerMinute) {
        syslog(LOG_ERR, "ipfw's rules keep being changed by others: ending");
        return false;
    }
    m_restores.push_back(nowMs());
    // Replaced as a whole in one transaction: traffic never sees half a table.
    m_nft.addTable(NftLayout::ipfwTable);
    m_nft.deleteTable(NftLayout::ipfwTable);
    addIpfwTable(m_nft);
    for (const NftBatch::Rule &rule : m_kept)
        m_nft.addAgain(NftLayout::ipfwTable, rule);
    if (!m_nft.commit()) {
        syslog(LOG_ERR, "cannot put back ipfw's rules: %s", m_nft.error().c_str());
        return false;
    }
    syslog(LOG_INFO, "put back ipfw's rules after %s (pid %d) changed them", last->program.c_str(),
           int(last->pid));
    return true;
}

bool stampRuleset()
{
    const char folderPath[] = "/run/velloran";
    if (::mkdir(folderPath, 0755) != 0 && errno != EEXIST)
        return false;
    // Only in a folder of root's that nobody else can change, and never through a link.
    const int folder = ::open(folderPath, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {
    };
    bool stamped =
        folder >= 0 && ::fstat(folder, &info) == 0 && info.st_uid == 0 && (info.st_mode & 022) == 0;
    const int fd = stamped ? ::openat(folder, "ruleset.new",
                                      O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644)
                           : -1;
    stamped = fd >= 0 && ::fchmod(fd, 0644) == 0;
    if (fd >= 0)
        ::close(fd);
    // A new file renamed over the old: the watcher sees one change, whole.
    stamped = stamped && ::renameat(folder, "ruleset.new", folder, "ruleset") == 0;
    if (folder >= 0)
        ::close(folder);
    if (!stamped)
        syslog(LOG_WARNING, "cannot tell the window that the ruleset changed: %m");
    return stamped;
}

void removePidFile(const std::string &path, pid_t pid)
{
    char text[32] = {};
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    const ssize_t count = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (count > 0 && std::atol(text) == long(pid))
        ::unlink(path.c_str());
}

} // namespace NatdWatch
