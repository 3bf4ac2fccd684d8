// The controller's DHCP server and the menus that follow the hardware.
#include "NATController.h"

#include "BLAuthentication.h"
#include "network/DhcpServer.h"
#include "network/LinkMonitor.h"
#include "NATSetter.h"

#include <QCheckBox>
#include <QComboBox>
#include <QThread>
#include <functional>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

namespace {

constexpr int kServerWaitMs = 3000;

bool sameTitle(const QComboBox *a, const QComboBox *b)
{
    return a->currentIndex() >= 0 && b->currentIndex() >= 0 && a->currentText() == b->currentText();
}

bool waitUntil(const std::function<bool()> &condition)
{
    for (int waited = 0; !condition(); waited += 10) {
        if (waited >= kServerWaitMs)
            return false;
        QThread::msleep(10);
    }
    return true;
}

bool hasAddress(const QString &interface, const QString &address)
{
    in_addr wanted{};
    if (inet_pton(AF_INET, address.toLatin1().constData(), &wanted) != 1)
        return false;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (const ifaddrs *entry = list; entry && !found; entry = entry->ifa_next) {
        found = entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET &&
                interface == QString::fromLocal8Bit(entry->ifa_name) &&
                reinterpret_cast<const sockaddr_in *>(entry->ifa_addr)->sin_addr.s_addr ==
                    wanted.s_addr;
    }
    freeifaddrs(list);
    return found;
}

void restoreTitle(QComboBox *menu, const QString &title, bool &gone)
{
    const int index = menu->findText(title, Qt::MatchExactly);
    gone = !title.isEmpty() && index < 0;
    if (index >= 0)
        menu->setCurrentIndex(index);
}

} // namespace

bool NATController::dhcpWanted() const
{
    return dhcp && dhcp->isChecked() && dhcp->isEnabled();
}

std::optional<QStringList> NATController::getDhcpArgs() const
{
    const auto internal = getInternalInterface();
    if (!internal)
        return std::nullopt;
    // Velloran's own name server answers on the router address; otherwise this computer's.
    const QStringList nameServers =
        m_DNSrunning ? QStringList{routerAddress()} : DhcpServer::upstreamNameServers();
    const auto plan = DhcpServer::arguments(*internal, routerAddress(), subnetMask(), nameServers);
    if (!plan.error.isEmpty())
        return std::nullopt;
    return plan.arguments;
}

std::optional<QString> NATController::dhcpPlanProblem() const
{
    if (!dhcpWanted())
        return std::nullopt;
    const auto plan = DhcpServer::arguments(getInternalInterface().value_or(QString()),
                                            routerAddress(), subnetMask(), {});
    if (plan.error.isEmpty())
        return std::nullopt;
    return plan.error;
}

std::optional<QString> NATController::dhcpPortInUse() const
{
    const auto internal = getInternalInterface();
    if (!dhcpWanted() || !internal)
        return std::nullopt;
    const auto holder = DhcpServer::portHolder(*internal);
    if (!holder)
        return std::nullopt;
    return QStringLiteral("Another DHCP server (%1) already answers on %2. Quit it, or turn off "
                          "DHCP in Velloran, before starting Internet Sharing.")
        .arg(*holder, *internal);
}

void NATController::updateDhcpAvailability()
{
    if (!dhcp)
        return;
    const bool onePort = sameTitle(externalInterface, internalInterface);
    dhcp->setEnabled(!onePort);
    dhcp->setToolTip(onePort ? QStringLiteral("Not when sharing over one port: a DHCP server there "
                                              "would answer the computers of the network that "
                                              "reaches the Internet")
                             : QStringLiteral("Hand out addresses, the gateway and the name "
                                              "server to the local computers"));
}

bool NATController::startDhcp()
{
    if (!dhcpWanted())
        return true;
    const auto args = getDhcpArgs();
    if (!args)
        return false;
    stopDhcp();
    BLAuthentication *auth = BLAuthentication::sharedInstance();
    // The server reports a failed start by its status; its pid file says it is up.
    return auth->executeCommand(DhcpServer::kInstall, DhcpServer::folderArguments()) &&
           auth->executeCommand(DhcpServer::kProgram, *args) &&
           waitUntil([] { return DhcpServer::runningPid() != 0; });
}

void NATController::stopDhcp()
{
    // Only the server in Velloran's pid file with Velloran's command line, never another dnsmasq.
    const pid_t pid = DhcpServer::runningPid();
    if (pid == 0)
        return;
    BLAuthentication::sharedInstance()->executeCommand(QStringLiteral("/bin/kill"),
                                                       {QString::number(pid)});
    waitUntil([pid] { return DhcpServer::runningPid() != pid; });
}

void NATController::followLinks()
{
    if (!m_wantedExternal.gone)
        m_wantedExternal.title = externalInterface->currentText();
    if (!m_wantedInternal.gone)
        m_wantedInternal.title = internalInterface->currentText();
    reflowPopups(true);
    // A chosen interface that went away is chosen again when it comes back.
    restoreTitle(externalInterface, m_wantedExternal.title, m_wantedExternal.gone);
    restoreTitle(internalInterface, m_wantedInternal.title, m_wantedInternal.gone);
    checkLanAddress();
}

void NATController::checkLanAddress()
{
    if (!m_running || m_sharedIfconfigArgs.size() < 2)
        return;
    const QString &interface = m_sharedIfconfigArgs[0];
    const QString &router = m_sharedIfconfigArgs[1];
    if (if_nametoindex(interface.toLocal8Bit().constData()) == 0)
        return;
    if (hasAddress(interface, router)) {
        m_interruptionShown = false;
        return;
    }
    if (BLAuthentication::sharedInstance()->isAuthenticated(commandsToExecute())) {
        // A server bound to the interface that went away serves nobody on the new one.
        if (NATSetterOutlet->ifconfig(m_sharedIfconfigArgs) && DhcpServer::runningPid() != 0)
            startDhcp();
        return;
    }
    if (!m_interruptionShown) {
        m_interruptionShown = true;
        runErr(QStringLiteral("Internet Sharing is interrupted on %1: it no longer has the router "
                              "address %2. Stop and Start Internet Sharing to restore it.")
                   .arg(interface, router));
    }
}

void NATController::watchHardware()
{
    if (DhcpServer::runningPid() != 0)
        dhcp->setChecked(true);
    updateDhcpAvailability();
    auto *monitor = new LinkMonitor(this);
    connect(monitor, &LinkMonitor::linksChanged, this, &NATController::followLinks);
    connect(monitor, &LinkMonitor::addressesChanged, this, &NATController::checkLanAddress);
    // The user's own pick replaces a choice that waits for its interface to come back.
    connect(externalInterface, &QComboBox::activated, this,
            [this] { m_wantedExternal.gone = false; });
    connect(internalInterface, &QComboBox::activated, this,
            [this] { m_wantedInternal.gone = false; });
}
