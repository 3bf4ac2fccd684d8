#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// What Velloran looks at before it asks for a password or starts a tool, and what it reports
// after a start. The checks take what was read from the kernel, so they can be tried on any
// machine; readSystem() reads it.
namespace SharingChecks {

struct Network {
    quint32 address = 0; // host byte order
    int prefix = 0;
};

struct Interface {
    QString name;
    bool up = false;
    QList<Network> addresses;
};

struct System {
    QList<Interface> interfaces;
    QStringList defaultRouteInterfaces;
};

// What the window asks for: typed addresses and the interfaces the menus resolve to.
struct Choice {
    QString router;
    QString mask;
    QString external;
    QString internal; // the same as external when sharing over one port
};

// The interfaces and IPv4 addresses (getifaddrs) and the default routes (/proc/net/route).
System readSystem();

// What the window looks at; tests put in a machine of their own, an empty function the real one.
void setSource(std::function<System()> system);
System currentSystem();

// Dotted quad, four parts of 0-255; none otherwise.
std::optional<quint32> parseAddress(const QString &text);

// The alert for the first check that fails, in the order a user would mend them; none when
// sharing can start.
std::optional<QString> problem(const Choice &choice, const System &system);

// The program that listens on `port` (TCP or UDP) at `address` (host byte order) or at any
// address, from /proc: "dnsmasq (pid 812)"; "another program" when its owner can't be read.
std::optional<QString> portHolder(quint32 address, quint16 port);

} // namespace SharingChecks
