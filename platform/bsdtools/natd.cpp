// natd: address translation for the traffic through one interface, in the kernel.
#include "Diagnostics.h"
#include "Ipv4.h"
#include "NatdOptions.h"
#include "NatdRuleset.h"
#include "NatdWatch.h"
#include "NftBatch.h"
#include "NftEvents.h"
#include "NftLayout.h"
#include "RouteSocket.h"
#include "network/InterfaceName.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <optional>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// The interface's first IPv4 address, or an empty string.
std::string interfaceAddress(const std::string &name)
{
    RouteSocket route;
    const auto link = route.link(name);
    if (!link)
        return {};
    const auto addresses = route.addresses(link->index);
    return addresses.empty() ? std::string() : Ipv4::format(addresses.front().address);
}

void writePidFile(const std::string &path)
{
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
        syslog(LOG_WARNING, "cannot write pid file %s: %m", path.c_str());
        return;
    }
    const std::string text = std::to_string(::getpid()) + "\n";
    if (::write(fd, text.data(), text.size()) != ssize_t(text.size()))
        syslog(LOG_WARNING, "cannot write pid file %s: %m", path.c_str());
    ::close(fd);
}

void detachStandardStreams()
{
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0)
        return;
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO)
        ::close(null);
}

// Told by the kernel whenever an IPv4 address comes or goes: a natd without -dynamic watches
// its interface's address.
int addressChanges()
{
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_IPV4_IFADDR;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void drain(int fd)
{
    char buffer[8192];
    while (::recv(fd, buffer, sizeof buffer, 0) > 0 || errno == ENOBUFS) {
    }
}

// The interface has an address, and the one natd translates to is not among them.
std::optional<std::string> movedAddress(const std::string &interface, const std::string &alias)
{
    RouteSocket route;
    const auto link = route.link(interface);
    if (!link)
        return std::nullopt;
    std::optional<std::string> moved;
    for (const RouteSocket::Address &address : route.addresses(link->index)) {
        if (Ipv4::format(address.address) == alias)
            return std::nullopt;
        if (!moved)
            moved = Ipv4::format(address.address);
    }
    return moved;
}

[[noreturn]] void stop(NftBatch &nft, const NatdOptions &options, const std::string &why)
{
    NatdRuleset::remove(nft);
    nft.commit();
    NatdWatch::removePidFile(options.pidFile, ::getpid());
    syslog(LOG_INFO, "%s", why.c_str());
    ::_exit(0);
}

// The daemon's life: signals, other programs' changes of the ruleset and, without -dynamic,
// the interface's addresses. The table lives as long as nft's socket does.
[[noreturn]] void serve(NftBatch &nft, const NatdOptions &options, std::string aliasAddress,
                        int signals)
{
    NftEvents rulesets;
    if (rulesets.fd() < 0)
        syslog(LOG_WARNING, "cannot follow changes of the ruleset: %m");
    NatdWatch::IpfwKeeper ipfw(nft);
    NatdWatch::stampRuleset(); // the folder is there before the window watches it
    const int addresses = options.dynamic ? -1 : addressChanges();
    pollfd watched[] = {{signals, POLLIN, 0}, {rulesets.fd(), POLLIN, 0}, {addresses, POLLIN, 0}};
    for (;;) {
        if (::poll(watched, 3, -1) < 0)
            continue;
        signalfd_siginfo signal{};
        if ((watched[0].revents & POLLIN) &&
            ::read(signals, &signal, sizeof signal) == ssize_t(sizeof signal)) {
            if (signal.ssi_signo != SIGHUP)
                stop(nft, options,
                     "stopped on signal " + std::to_string(signal.ssi_signo) + " from pid " +
                         std::to_string(signal.ssi_pid));
            const std::string fresh = options.dynamic ? "" : interfaceAddress(options.interface);
            if (!fresh.empty() && fresh != aliasAddress) {
                NatdRuleset::retarget(nft, options, fresh);
                if (nft.commit())
                    aliasAddress = fresh;
                else
                    syslog(LOG_ERR, "cannot follow the new address %s: %s", fresh.c_str(),
                           nft.error().c_str());
            }
        }
        bool lost = false;
        if (watched[1].revents & POLLIN) {
            const auto commits = rulesets.read(lost);
            if (!ipfw.follow(commits, lost))
                stop(nft, options, "ended: ipfw's rules can't be kept");
            if (lost || std::any_of(commits.begin(), commits.end(),
                                    [](const auto &commit) { return commit.pid != ::getpid(); }))
                NatdWatch::stampRuleset();
        }
        if (watched[2].revents & POLLIN) {
            drain(addresses);
            // Replies to the old address never come back: end, so natd is started again for the
            // new.
            if (const auto moved = movedAddress(options.interface, aliasAddress))
                stop(nft, options,
                     "ended: the address of " + options.interface + " is now " + *moved + ", not " +
                         aliasAddress);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    Diagnostics::setTool("natd");
    NatdOptions options;
    if (auto error = parseNatdArguments(std::vector<std::string>(argv + 1, argv + argc), options))
        return Diagnostics::fail(*error);
    if (options.interface.empty())
        return Diagnostics::fail("no interface given (-interface)");
    if (!InterfaceName::isValid(options.interface))
        return Diagnostics::fail(InterfaceName::refusal(options.interface));
    if (options.pidFile.empty() || options.pidFile[0] != '/')
        return Diagnostics::fail("pid_file needs an absolute path");

    {
        RouteSocket route;
        if (!route.valid())
            return Diagnostics::fail(route.error());
        if (!route.link(options.interface))
            return Diagnostics::fail("unknown interface name " + options.interface);
    }
    const std::string aliasAddress = options.dynamic ? "" : interfaceAddress(options.interface);
    if (!options.dynamic && aliasAddress.empty())
        return Diagnostics::fail(options.interface + " has no IPv4 address (try -dynamic)");

    NftBatch nft;
    if (!nft.valid())
        return Diagnostics::fail(nft.error());
    // Creating the table refuses one that exists: only then is the second look needed.
    NatdRuleset::install(nft, options, aliasAddress);
    if (!nft.commit()) {
        const std::string error = nft.error();
        if (nft.tableExists(NftLayout::natdTable))
            return Diagnostics::fail("another natd is already running");
        return Diagnostics::fail(error);
    }

    // Signals wait blocked from here on, so none is lost between fork and the daemon's loop.
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        std::signal(signal, SIG_DFL);
        sigaddset(&blocked, signal);
    }
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    const int signals = ::signalfd(-1, &blocked, SFD_CLOEXEC);
    if (signals < 0)
        return Diagnostics::fail(std::string("signalfd: ") + std::strerror(errno));

    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
        return Diagnostics::fail(std::string("pipe: ") + std::strerror(errno));
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
        return Diagnostics::fail(std::string("fork: ") + std::strerror(errno));
    if (child > 0) {
        // The table is in place; answer once the daemon has written its pid file.
        ::close(ready[1]);
        char byte = 0;
        ssize_t count;
        while ((count = ::read(ready[0], &byte, 1)) < 0 && errno == EINTR) {
        }
        return count == 1 ? 0 : Diagnostics::fail("the daemon ended while starting");
    }
    ::close(ready[0]);
    ::setsid();
    if (::chdir("/") != 0)
        ::_exit(1);
    ::umask(022);
    openlog("natd", LOG_PID, LOG_DAEMON);
    writePidFile(options.pidFile);
    detachStandardStreams();
    const char started = 1;
    if (::write(ready[1], &started, 1) != 1)
        ::_exit(1);
    ::close(ready[1]);
    serve(nft, options, aliasAddress, signals);
}
