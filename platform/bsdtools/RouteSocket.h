#pragma once

#include <netinet/in.h>
#include <optional>
#include <string>
#include <vector>

struct nl_sock;

// Links and IPv4 addresses of the caller's network namespace, over rtnetlink (libnl-route-3).
class RouteSocket
{
public:
    struct Link {
        int index = 0;
        std::string name;
        unsigned flags = 0;
        unsigned mtu = 0;
        std::string hardwareAddress;
    };
    struct Address {
        in_addr_t address = 0;
        int prefixLength = 0;
        bool secondary = false;
    };

    RouteSocket();
    ~RouteSocket();
    RouteSocket(const RouteSocket &) = delete;
    RouteSocket &operator=(const RouteSocket &) = delete;

    bool valid() const { return m_socket != nullptr; }
    const std::string &error() const { return m_error; }

    std::optional<Link> link(const std::string &name);
    std::vector<Link> links();
    // In the kernel's order: primaries first, the first one is the interface's address.
    std::vector<Address> addresses(int ifindex);
    // Adds the address, or updates it when it is already there with the same prefix.
    bool addAddress(int ifindex, const Address &address);
    bool deleteAddress(int ifindex, const Address &address);
    bool setUp(int ifindex, bool up);

private:
    bool failed(int nlError);

    nl_sock *m_socket = nullptr;
    std::string m_error;
};
