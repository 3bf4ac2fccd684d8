#include "interfaceChecker.h"

#include "network/InterfaceRegistry.h"

#include <cstdlib>

interfaceChecker &interfaceChecker::sharedInstance()
{
    static interfaceChecker instance;
    return instance;
}

std::unique_ptr<InterfaceData> interfaceChecker::getInterfaceData() const
{
    auto data = std::make_unique<InterfaceData>();

    const auto ethernet = InterfaceRegistry::ethernetInterfaces();
    if (!ethernet)
        std::exit(1); // without the registry there is nothing to offer

    for (const QString &port : InterfaceRegistry::modemPorts()) {
        data->interfaces().append(InterfaceEntry(QStringLiteral("Serial (%1)").arg(port), port));
        data->setFoundPPP(true);
    }

    data->interfaces().append(
        InterfaceEntry(QStringLiteral("Modem or PPPoE (ppp0)"), QStringLiteral("ppp0")));
    data->setFoundPPP(true);

    for (const InterfaceRegistry::NetInterface &iface : *ethernet) {
        InterfaceEntry entry(QStringLiteral("Ethernet Interface (%1)").arg(iface.name), iface.name);
        if (!data->foundAirPort() && iface.wireless) {
            data->setFoundAirPort(true);
            entry.setUserName(QStringLiteral("AirPort Card (%1)").arg(iface.name));
        }
        data->interfaces().append(entry);
    }
    return data;
}
