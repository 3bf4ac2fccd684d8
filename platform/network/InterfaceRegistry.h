#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// The kernel's view of network hardware, read from sysfs. Tests point it at a tree of their own.
namespace InterfaceRegistry {

struct NetInterface {
    QString name;
    bool wireless = false;
};

void setRoot(const QString &sysfsRoot);
QString root();

// Ethernet-type interfaces in ifindex order; none when sysfs can't be read at all.
std::optional<QList<NetInterface>> ethernetInterfaces();
// Serial devices driven by a modem-class driver, in name order.
QStringList modemPorts();

} // namespace InterfaceRegistry
