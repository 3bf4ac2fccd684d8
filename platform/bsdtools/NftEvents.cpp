#include "NftEvents.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kNewGeneration = (NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_NEWGEN;
// A whole-ruleset flush tells of every object it removes: room for a large ruleset's worth.
constexpr int kReceiveBuffer = 1 << 20;

NftEvents::Commit commitOf(const nlmsghdr *message)
{
    NftEvents::Commit commit;
    const int header = NLMSG_ALIGN(sizeof(nfgenmsg));
    int left = int(message->nlmsg_len) - NLMSG_LENGTH(header);
    const char *at = static_cast<const char *>(NLMSG_DATA(message)) + header;
    while (left >= int(sizeof(nlattr))) {
        nlattr attribute;
        std::memcpy(&attribute, at, sizeof attribute);
        if (attribute.nla_len < sizeof(nlattr) || attribute.nla_len > left)
            break;
        const char *data = at + NLA_HDRLEN;
        const size_t size = attribute.nla_len - NLA_HDRLEN;
        const int type = attribute.nla_type & NLA_TYPE_MASK;
        if (type == NFTA_GEN_PROC_PID && size == sizeof(uint32_t)) {
            uint32_t pid;
            std::memcpy(&pid, data, sizeof pid);
            commit.pid = pid_t(ntohl(pid));
        } else if (type == NFTA_GEN_PROC_NAME) {
            commit.program.assign(data, strnlen(data, size));
        }
        left -= NLA_ALIGN(attribute.nla_len);
        at += NLA_ALIGN(attribute.nla_len);
    }
    return commit;
}

} // namespace

NftEvents::NftEvents()
{
    m_fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_NETFILTER);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    const int group = NFNLGRP_NFTABLES;
    if (m_fd >= 0 &&
        (::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
         ::setsockopt(m_fd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group) != 0)) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_fd >= 0)
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
}

NftEvents::~NftEvents()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::vector<NftEvents::Commit> NftEvents::read(bool &lost)
{
    std::vector<Commit> commits;
    alignas(nlmsghdr) static char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (got < 0 && errno == ENOBUFS) {
            lost = true;
            continue;
        }
        if (got <= 0)
            return commits;
        int left = int(got);
        for (auto *message = reinterpret_cast<nlmsghdr *>(buffer); NLMSG_OK(message, left);
             message = NLMSG_NEXT(message, left)) {
            if (message->nlmsg_type == kNewGeneration)
                commits.push_back(commitOf(message));
        }
    }
}
