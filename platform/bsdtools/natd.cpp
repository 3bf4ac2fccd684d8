// natd: address translation for the traffic through one interface, in the kernel.
#include "Diagnostics.h"
#include "Ipv4.h"
#include "NatdOptions.h"
#include "NatdRuleset.h"
#include "NftBatch.h"
#include "NftLayout.h"
#include "RouteSocket.h"
#include "network/InterfaceName.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

// Removes the pid file only while it still names this process.
void removePidFile(const std::string &path)
{
    char text[32] = {};
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    const ssize_t count = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (count > 0 && std::atol(text) == long(::getpid()))
        ::unlink(path.c_str());
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

// The daemon's life: wait for signals; the table lives as long as nft's socket does.
[[noreturn]] void serve(NftBatch &nft, const NatdOptions &options, std::string aliasAddress,
                        const sigset_t &signals)
{
    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0)
            continue;
        if (signal == SIGHUP) {
            if (options.dynamic)
                continue;
            const std::string fresh = interfaceAddress(options.interface);
            if (fresh.empty() || fresh == aliasAddress)
                continue;
            NatdRuleset::retarget(nft, options, fresh);
            if (nft.commit())
                aliasAddress = fresh;
            else
                syslog(LOG_ERR, "cannot follow the new address %s: %s", fresh.c_str(),
                       nft.error().c_str());
            continue;
        }
        NatdRuleset::remove(nft);
        nft.commit();
        removePidFile(options.pidFile);
        syslog(LOG_INFO, "stopped on signal %d", signal);
        ::_exit(0);
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

    // Signals wait blocked from here on, so none is lost between fork and sigwait.
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        std::signal(signal, SIG_DFL);
        sigaddset(&signals, signal);
    }
    sigprocmask(SIG_BLOCK, &signals, nullptr);

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
