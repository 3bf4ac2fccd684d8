#pragma once

#include <QString>

// NetworkManager, where it runs: while Velloran shares, it is asked over its D-Bus API to leave
// the LAN's interface alone (run time only, never in its files), and takes it back afterwards.
// Setting a device's Managed property needs root: the bundle's program kProgram does that.
namespace NetworkManager {

inline const QString kProgram = QStringLiteral("velloran-nm");
// Left by whoever set an interface unmanaged, naming it, until it is handed back.
inline const QString kNote = QStringLiteral("/run/velloran/networkmanager-unmanaged");

enum class Device {
    Absent,  // NetworkManager doesn't run
    Unknown, // it knows no such interface
    Managed,
    Unmanaged,
};

// What NetworkManager says of `interface` on the system bus; never starts it.
Device device(const QString &interface);
// Sets the device's Managed property; true once NetworkManager reports the new value.
bool setManaged(const QString &interface, bool managed);
// Whether an interface still waits to be handed back.
bool noteLeft();

} // namespace NetworkManager
