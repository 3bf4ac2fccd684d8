#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Velloran's caching name server: how it is started, how root tells it from any other named, and
// the two lists its named.conf includes. Plain C++, for the helper and named_lists.
namespace NameServer {

// Who may ask (the acl velloran_clients) and where the server listens (a listen-on option).
inline constexpr const char *kClients = "/etc/named.clients";
inline constexpr const char *kListen = "/etc/named.listen";
// The server's own folder (working files, pid, session key), which belongs to the user it runs as.
inline constexpr const char *kFolder = "/var/lib/velloran/named";
inline constexpr const char *kPidFile = "/var/lib/velloran/named/named.pid";

// "/usr/sbin/named"'s arguments: "-c /etc/named.conf", then "-u bind" where the system has that
// user, so that a flaw in the server is not root's.
std::vector<std::string> startArguments();

// Whether `arguments` are one of the two forms above.
bool isStartForm(const std::vector<std::string> &arguments);

// Whether the "Uid:" line of /proc/PID/status names `uid` four times: real, effective, saved, fs.
bool everyUidIs(const std::string &status, unsigned uid);

// Whether `pid` is Velloran's server: "/usr/sbin/named" with a start form, every uid root's or,
// with "-u bind", every uid bind's (which only root gives a process). `procRoot` is for tests.
bool isOwnServer(const std::string &pid, const std::string &procRoot = "/proc");

// An IPv4 address of this computer and a route, in host byte order.
struct Address {
    std::string interface;
    std::uint32_t address;
    int prefixLength;
};
struct Route {
    std::string interface;
    std::uint32_t gateway; // 0: the route has none
    bool isDefault;
};

// The bytes of named.clients and named.listen. The external side is natd's interfaces and those
// a default route leaves by; on one of them, a network holding none of its gateways is the LAN
// shared over that same interface. Everything else is the LAN: its networks may ask, and the
// server listens on loopback and this computer's addresses there.
struct Lists {
    std::string clients, listen;
};
Lists lists(const std::vector<Address> &addresses, const std::vector<Route> &routes,
            const std::vector<std::string> &natdInterfaces);

} // namespace NameServer
