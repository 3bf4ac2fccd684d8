#include "RouteSocket.h"

#include "Ipv4.h"

#include <cstdio>
#include <net/if.h>
#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>

namespace {

// libnl's objects are reference counted; these hand back the one reference we hold.
struct AddrRef {
    rtnl_addr *p;
    ~AddrRef() { rtnl_addr_put(p); }
};
struct LinkRef {
    rtnl_link *p;
    ~LinkRef() { rtnl_link_put(p); }
};
struct NlAddrRef {
    nl_addr *p;
    ~NlAddrRef() { nl_addr_put(p); }
};
struct CacheRef {
    nl_cache *p = nullptr;
    ~CacheRef() { nl_cache_free(p); }
};

RouteSocket::Link linkFrom(rtnl_link *link)
{
    RouteSocket::Link info;
    info.index = rtnl_link_get_ifindex(link);
    info.name = rtnl_link_get_name(link) ? rtnl_link_get_name(link) : "";
    info.flags = rtnl_link_get_flags(link);
    info.mtu = rtnl_link_get_mtu(link);
    nl_addr *hw = rtnl_link_get_addr(link);
    if (hw && nl_addr_get_len(hw) == 6) {
        const auto *b = static_cast<const unsigned char *>(nl_addr_get_binary_addr(hw));
        char text[18];
        std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3],
                      b[4], b[5]);
        info.hardwareAddress = text;
    }
    return info;
}

// A request object naming one IPv4 address of one interface.
rtnl_addr *addressObject(int ifindex, const RouteSocket::Address &address, bool withBroadcast)
{
    rtnl_addr *object = rtnl_addr_alloc();
    rtnl_addr_set_ifindex(object, ifindex);
    rtnl_addr_set_family(object, AF_INET);
    NlAddrRef local{nl_addr_build(AF_INET, &address.address, sizeof address.address)};
    rtnl_addr_set_local(object, local.p);
    rtnl_addr_set_prefixlen(object, address.prefixLength);
    if (withBroadcast && address.prefixLength < 31) {
        const in_addr_t bcast = Ipv4::broadcast(address.address, address.prefixLength);
        NlAddrRef brd{nl_addr_build(AF_INET, &bcast, sizeof bcast)};
        rtnl_addr_set_broadcast(object, brd.p);
    }
    return object;
}

} // namespace

RouteSocket::RouteSocket() : m_socket(nl_socket_alloc())
{
    if (!m_socket) {
        m_error = "cannot allocate a netlink socket";
        return;
    }
    if (const int err = nl_connect(m_socket, NETLINK_ROUTE); err < 0) {
        m_error = nl_geterror(err);
        nl_socket_free(m_socket);
        m_socket = nullptr;
    }
}

RouteSocket::~RouteSocket()
{
    if (m_socket)
        nl_socket_free(m_socket);
}

bool RouteSocket::failed(int nlError)
{
    m_error = nl_geterror(nlError);
    return false;
}

std::optional<RouteSocket::Link> RouteSocket::link(const std::string &name)
{
    rtnl_link *found = nullptr;
    if (!m_socket || name.empty() || name.size() >= IF_NAMESIZE)
        return std::nullopt;
    if (const int err = rtnl_link_get_kernel(m_socket, 0, name.c_str(), &found); err < 0) {
        failed(err);
        return std::nullopt;
    }
    LinkRef ref{found};
    return linkFrom(found);
}

std::vector<RouteSocket::Link> RouteSocket::links()
{
    std::vector<Link> result;
    CacheRef cache;
    if (!m_socket)
        return result;
    if (const int err = rtnl_link_alloc_cache(m_socket, AF_UNSPEC, &cache.p); err < 0) {
        failed(err);
        return result;
    }
    for (nl_object *o = nl_cache_get_first(cache.p); o; o = nl_cache_get_next(o))
        result.push_back(linkFrom(reinterpret_cast<rtnl_link *>(o)));
    return result;
}

std::vector<RouteSocket::Address> RouteSocket::addresses(int ifindex)
{
    std::vector<Address> result;
    CacheRef cache;
    if (!m_socket)
        return result;
    if (const int err = rtnl_addr_alloc_cache(m_socket, &cache.p); err < 0) {
        failed(err);
        return result;
    }
    for (nl_object *o = nl_cache_get_first(cache.p); o; o = nl_cache_get_next(o)) {
        auto *object = reinterpret_cast<rtnl_addr *>(o);
        nl_addr *local = rtnl_addr_get_local(object);
        if (rtnl_addr_get_ifindex(object) != ifindex || rtnl_addr_get_family(object) != AF_INET ||
            !local || nl_addr_get_len(local) != sizeof(in_addr_t))
            continue;
        Address address;
        address.address = *static_cast<const in_addr_t *>(nl_addr_get_binary_addr(local));
        address.prefixLength = rtnl_addr_get_prefixlen(object);
        address.secondary = rtnl_addr_get_flags(object) & IFA_F_SECONDARY;
        result.push_back(address);
    }
    return result;
}

bool RouteSocket::addAddress(int ifindex, const Address &address)
{
    AddrRef object{addressObject(ifindex, address, true)};
    if (const int err = rtnl_addr_add(m_socket, object.p, NLM_F_REPLACE); err < 0)
        return failed(err);
    return true;
}

bool RouteSocket::deleteAddress(int ifindex, const Address &address)
{
    AddrRef object{addressObject(ifindex, address, false)};
    if (const int err = rtnl_addr_delete(m_socket, object.p, 0); err < 0)
        return failed(err);
    return true;
}

bool RouteSocket::setUp(int ifindex, bool up)
{
    rtnl_link *current = nullptr;
    if (const int err = rtnl_link_get_kernel(m_socket, ifindex, nullptr, &current); err < 0)
        return failed(err);
    LinkRef currentRef{current};
    LinkRef change{rtnl_link_alloc()};
    if (up)
        rtnl_link_set_flags(change.p, IFF_UP);
    else
        rtnl_link_unset_flags(change.p, IFF_UP);
    if (const int err = rtnl_link_change(m_socket, current, change.p, 0); err < 0)
        return failed(err);
    return true;
}
