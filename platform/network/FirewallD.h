#pragma once

#include "network/FirewallRules.h"

#include <QString>
#include <optional>

// firewalld, asked over its D-Bus API on the system bus: what its zones and policies do to the
// LAN's traffic, and, at run time only, the LAN interface in a zone that lets sharing through.
namespace FirewallD {

// Whether firewalld answers on the system bus.
bool running();

QList<FirewallRules::Block> read(const QString &lan, const QString &wan);

// Puts `lan` into nm-shared (forwards, and accepts DHCP and DNS) or else trusted, until the next
// reload; the note line that undoes it, none when firewalld refused.
std::optional<QString> open(const QString &lan);

// Undoes a note line of open(): the interface back where it was, unless someone moved it since.
bool close(const QStringList &noteWords);

} // namespace FirewallD
