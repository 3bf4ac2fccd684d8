#include "network/LinkMonitor.h"

#include "desktop/SystemLog.h"

#include <QSocketNotifier>

#include <cerrno>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

LinkMonitor::LinkMonitor(QObject *parent) : QObject(parent)
{
    m_fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (m_fd >= 0 &&
        ::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_fd < 0) {
        SystemLog::log(QStringLiteral("Can't follow network interface changes"));
        return;
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &LinkMonitor::readMessages);
}

LinkMonitor::~LinkMonitor()
{
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
}

void LinkMonitor::readMessages()
{
    bool links = false, addresses = false;
    alignas(nlmsghdr) char buffer[16384];
    for (;;) {
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        // A full queue loses messages: take it as a change of everything.
        if (got < 0 && errno == ENOBUFS) {
            links = addresses = true;
            continue;
        }
        if (got <= 0)
            break;
        int left = int(got);
        for (auto *h = reinterpret_cast<nlmsghdr *>(buffer); NLMSG_OK(h, left);
             h = NLMSG_NEXT(h, left)) {
            links |= h->nlmsg_type == RTM_NEWLINK || h->nlmsg_type == RTM_DELLINK;
            addresses |= h->nlmsg_type == RTM_NEWADDR || h->nlmsg_type == RTM_DELADDR;
        }
    }
    // One rebuild for a burst of messages.
    if (links)
        emit linksChanged();
    if (addresses)
        emit addressesChanged();
}
