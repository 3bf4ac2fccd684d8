// ifconfig: IPv4 addresses of an interface the BSD way (set, alias, -alias) and the listing.
#include "Diagnostics.h"
#include "Ipv4.h"
#include "ProcSys.h"
#include "RouteSocket.h"
#include "network/InterfaceName.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Request {
    std::string interface;
    std::optional<in_addr_t> address;
    std::optional<int> prefixLength;
    enum class Mode { Set, Alias, Remove } mode = Mode::Set;
    std::optional<bool> up;
};

std::string flagNames(unsigned flags)
{
    static const std::pair<unsigned, const char *> names[] = {
        {IFF_UP, "UP"},
        {IFF_BROADCAST, "BROADCAST"},
        {IFF_DEBUG, "DEBUG"},
        {IFF_LOOPBACK, "LOOPBACK"},
        {IFF_POINTOPOINT, "POINTOPOINT"},
        {IFF_RUNNING, "RUNNING"},
        {IFF_NOARP, "NOARP"},
        {IFF_PROMISC, "PROMISC"},
        {IFF_ALLMULTI, "ALLMULTI"},
        {IFF_MULTICAST, "MULTICAST"},
    };
    std::string text;
    for (const auto &[bit, name] : names) {
        if (flags & bit)
            text += (text.empty() ? "" : ",") + std::string(name);
    }
    return text;
}

void show(RouteSocket &route, const RouteSocket::Link &link)
{
    std::printf("%s: flags=%x<%s> mtu %u\n", link.name.c_str(), link.flags & 0xffff,
                flagNames(link.flags).c_str(), link.mtu);
    for (const RouteSocket::Address &a : route.addresses(link.index)) {
        std::printf("\tinet %s netmask %s", Ipv4::format(a.address).c_str(),
                    Ipv4::hexNetmask(a.prefixLength).c_str());
        if (a.prefixLength < 31 && (link.flags & IFF_BROADCAST))
            std::printf(" broadcast %s",
                        Ipv4::format(Ipv4::broadcast(a.address, a.prefixLength)).c_str());
        std::printf("\n");
    }
    if (!link.hardwareAddress.empty() && !(link.flags & IFF_LOOPBACK))
        std::printf("\tether %s\n", link.hardwareAddress.c_str());
}

std::optional<std::string> parse(const std::vector<std::string> &words, Request &request)
{
    request.interface = words.front();
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string &word = words[i];
        if (word == "inet" && i == 1) {
            continue;
        } else if (word == "netmask") {
            if (i + 1 >= words.size())
                return std::string("netmask needs a value");
            request.prefixLength = Ipv4::parseNetmask(words[++i]);
            if (!request.prefixLength)
                return words[i] + ": bad value";
        } else if (word == "alias" || word == "add") {
            request.mode = Request::Mode::Alias;
        } else if (word == "-alias" || word == "delete") {
            request.mode = Request::Mode::Remove;
        } else if (word == "up" || word == "down") {
            request.up = word == "up";
        } else if (!request.address) {
            const auto slash = word.find('/');
            request.address = Ipv4::parseAddress(word.substr(0, slash));
            if (!request.address)
                return word + ": bad value";
            if (slash != std::string::npos) {
                const std::string length = word.substr(slash + 1);
                if (length.empty() || length.size() > 2 ||
                    length.find_first_not_of("0123456789") != std::string::npos ||
                    std::stoi(length) > 32)
                    return word + ": bad value";
                request.prefixLength = std::stoi(length);
            }
        } else {
            return "unsupported argument " + word;
        }
    }
    if (request.mode != Request::Mode::Set && !request.address)
        return std::string("alias and -alias need an address");
    return std::nullopt;
}

// With promote_secondaries the kernel keeps the aliases when their primary goes.
bool keepAliasesOnRemoval(const std::string &interface)
{
    return ProcSys::write(
        std::string(ProcSys::root) + "net/ipv4/conf/" + interface + "/promote_secondaries", "1");
}

int configure(RouteSocket &route, const RouteSocket::Link &link, const Request &request)
{
    const auto present = route.addresses(link.index);
    if (request.address) {
        const in_addr_t address = *request.address;
        const int length = request.prefixLength.value_or(Ipv4::classfulPrefix(address));
        const RouteSocket::Address wanted{address, length, false};
        std::vector<RouteSocket::Address> obsolete;
        for (const RouteSocket::Address &a : present) {
            const bool same = a.address == address;
            if (request.mode == Request::Mode::Remove ? same : same && a.prefixLength != length)
                obsolete.push_back(a);
        }
        // Without alias the address takes the place of the interface's first one.
        if (request.mode == Request::Mode::Set && !present.empty() &&
            present.front().address != address)
            obsolete.insert(obsolete.begin(), present.front());
        // An address already gone is removed: stopping sharing must not fail for it.
        if (request.mode == Request::Mode::Remove && obsolete.empty())
            return 0;
        if (!obsolete.empty() && !keepAliasesOnRemoval(link.name))
            return Diagnostics::fail("cannot set promote_secondaries on " + link.name + ": " +
                                     std::strerror(errno));
        for (const RouteSocket::Address &a : obsolete) {
            if (!route.deleteAddress(link.index, a))
                return Diagnostics::fail("cannot remove " + Ipv4::format(a.address) + " from " +
                                         link.name + ": " + route.error());
        }
        if (request.mode != Request::Mode::Remove && !route.addAddress(link.index, wanted))
            return Diagnostics::fail("cannot add " + Ipv4::format(address) + " to " + link.name +
                                     ": " + route.error());
    }
    // Giving an interface an address brings it up, as on BSD.
    const bool up = request.up.value_or(true);
    const bool wantsChange = request.up.has_value() || request.mode != Request::Mode::Remove;
    if (wantsChange && bool(link.flags & IFF_UP) != up && !route.setUp(link.index, up))
        return Diagnostics::fail("cannot bring " + link.name + (up ? " up: " : " down: ") +
                                 route.error());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Diagnostics::setTool("ifconfig");
    const std::vector<std::string> words(argv + 1, argv + argc);
    RouteSocket route;
    if (!route.valid())
        return Diagnostics::fail(route.error());
    if (words.size() == 1 && words.front() == "-a") {
        for (const RouteSocket::Link &link : route.links())
            show(route, link);
        return 0;
    }
    if (words.empty() || words.front().empty() || words.front()[0] == '-')
        return Diagnostics::fail("usage: ifconfig -a | ifconfig interface [inet] address "
                                 "[netmask mask] [alias | -alias] [up | down]");
    Request request;
    if (auto error = parse(words, request))
        return Diagnostics::fail(*error);
    if (!InterfaceName::isValid(request.interface))
        return Diagnostics::fail(InterfaceName::refusal(request.interface));
    const auto link = route.link(request.interface);
    if (!link)
        return Diagnostics::fail("interface " + request.interface + " does not exist");
    if (words.size() == 1) {
        show(route, *link);
        return 0;
    }
    return configure(route, *link, request);
}
