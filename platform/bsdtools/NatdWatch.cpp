#include "NatdWatch.h"

#include "NftLayout.h"
#include "NftSession.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

namespace NatdWatch {

namespace {

constexpr int kRestoresPerMinute = 3;
// Time for Velloran to start the next natd; after it, rules nobody serves would only cut the LAN.
constexpr long kGraceMs = 5000;
const char *const kGuardName = "natd-guard";

const std::string kIpfwTable = std::string(NftLayout::family) + " " + NftLayout::ipfwTable;

long nowMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// The table's handle from a listing with handles, 0 when there is no table.
long handleOf(NftSession &nft)
{
    if (!nft.run("list table " + kIpfwTable))
        return 0;
    const std::string listing = nft.output();
    const size_t at = listing.find("# handle ");
    return at == std::string::npos || at > listing.find('\n') ? 0 : std::atol(&listing[at + 9]);
}

// The guard shows as itself, so no lookup of natd by its command line finds it.
void takeOwnName(char **argv, int argc)
{
    char *end = argv[argc - 1] + std::strlen(argv[argc - 1]);
    std::memset(argv[0], 0, size_t(end - argv[0]));
    std::strncpy(argv[0], kGuardName, size_t(end - argv[0]));
    ::prctl(PR_SET_NAME, kGuardName);
}

[[noreturn]] void guard(int link, pid_t natd, const std::string &pidFile)
{
    const char named = 1;
    if (::write(link, &named, 1) != 1)
        ::_exit(1);
    char byte;
    while (::read(link, &byte, 1) < 0 && errno == EINTR) {
    }
    removePidFile(pidFile, natd);
    // Told of every change from here on, so none slips between a look and the wait.
    NftEvents events;
    NftSession nft;
    nft.showHandles();
    const long handle = handleOf(nft);
    for (const long deadline = nowMs() + kGraceMs; handle != 0;) {
        // A new natd keeps the rules from here on; ipfw's own flush or a new table ends the wait.
        if (nft.tableExists(NftLayout::family, NftLayout::natdTable) || handleOf(nft) != handle)
            ::_exit(0);
        const long left = deadline - nowMs();
        pollfd changes{events.fd(), POLLIN, 0};
        if (left <= 0 || ::poll(&changes, 1, int(left)) == 0)
            break;
        bool lost = false;
        events.read(lost);
    }
    if (handle != 0 && nft.run("delete table " + std::string(NftLayout::family) + " handle " +
                               std::to_string(handle)))
        syslog(LOG_INFO, "removed ipfw's rules: natd ended and no natd followed it");
    ::_exit(0);
}

} // namespace

IpfwKeeper::IpfwKeeper(NftSession &nft) : m_nft(nft), m_kept(listing()) {}

std::string IpfwKeeper::listing()
{
    return m_nft.run("list table " + kIpfwTable) ? m_nft.output() : std::string();
}

bool IpfwKeeper::follow(const std::vector<NftEvents::Commit> &commits, bool lost)
{
    const NftEvents::Commit *last = nullptr;
    for (const NftEvents::Commit &commit : commits) {
        if (commit.pid != ::getpid())
            last = &commit;
    }
    // What ipfw did last is what is kept; when the kernel lost count, what is there now.
    if (lost || (last && last->program == "ipfw")) {
        m_kept = listing();
        return true;
    }
    if (!last || listing() == m_kept)
        return true;
    while (!m_restores.empty() && nowMs() - m_restores.front() >= 60000)
        m_restores.pop_front();
    if (m_restores.size() >= kRestoresPerMinute) {
        syslog(LOG_ERR, "ipfw's rules keep being changed by others: ending");
        return false;
    }
    m_restores.push_back(nowMs());
    // Replaced as a whole in one transaction: traffic never sees half a table.
    if (!m_nft.run("add table " + kIpfwTable + "\ndelete table " + kIpfwTable + "\n" + m_kept)) {
        syslog(LOG_ERR, "cannot put back ipfw's rules: %s", m_nft.error().c_str());
        return false;
    }
    syslog(LOG_INFO, "put back ipfw's rules after %s (pid %d) changed them", last->program.c_str(),
           int(last->pid));
    return true;
}

int startGuard(char **argv, int argc, const std::string &pidFile)
{
    int link[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link) != 0)
        return -1;
    const pid_t natd = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        // Nothing of natd's stays open here: its nftables socket owns natd's table.
        if (::dup2(link[1], STDERR_FILENO + 1) < 0)
            ::_exit(1);
        ::syscall(SYS_close_range, unsigned(STDERR_FILENO + 2), ~0u, 0u);
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_UNBLOCK, &all, nullptr);
        takeOwnName(argv, argc);
        guard(STDERR_FILENO + 1, natd, pidFile);
    }
    ::close(link[1]);
    char byte = 0;
    ssize_t count;
    while ((count = ::read(link[0], &byte, 1)) < 0 && errno == EINTR) {
    }
    if (child < 0 || count != 1) {
        ::close(link[0]);
        return -1;
    }
    return link[0];
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
