#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <sys/types.h>

// The LAN's DHCP server: dnsmasq in DHCP-only mode, bound to the local network's interface.
// The argument vectors are pure functions of the window's values; finding, checking and reading
// the system happen in the functions below them.
namespace DhcpServer {

inline const QString kProgram = QStringLiteral("/usr/sbin/dnsmasq");
inline const QString kInstall = QStringLiteral("/usr/bin/install");
inline const QString kPidFile = QStringLiteral("/run/velloran/dnsmasq.pid");
inline const QString kLeaseFile = QStringLiteral("/var/lib/velloran/dnsmasq.leases");

struct Plan {
    QStringList arguments; // dnsmasq's, without the program
    QString error;         // why there is no server for these values; empty when there is
};

// dnsmasq's arguments for a LAN of `router`/`mask` on `interface`, handing out `nameServers`.
Plan arguments(const QString &interface, const QString &router, const QString &mask,
               const QStringList &nameServers);
// Makes the folders of the lease and pid files; run as root before dnsmasq.
QStringList folderArguments();
// The one line of the startup item that starts the same server at boot.
std::optional<QString> startupLine(const QStringList &arguments);

// IPv4 name servers of a resolv.conf; systemd-resolved's own list stands in for its stub.
QStringList upstreamNameServers(
    const QString &resolvConf = QStringLiteral("/etc/resolv.conf"),
    const QString &resolvedConf = QStringLiteral("/run/systemd/resolve/resolv.conf"));

// True for a command line that is a server Velloran started: dnsmasq with Velloran's own files.
bool isVelloranServer(const QStringList &commandLine);
// The pid in Velloran's pid file when that process is a server Velloran started, else 0.
pid_t runningPid();

// The program that already holds the DHCP port on `interface` (or on every interface).
std::optional<QString> portHolder(const QString &interface);

} // namespace DhcpServer
