#pragma once

#include "InterfaceEntry.h"

#include <QList>
#include <QString>
#include <optional>

// The address Velloran put on the internal interface, kept so that stopping removes exactly it.
struct AliasingInfo {
    bool on = false;
    QString interface;
    QString ip;
};

// The interfaces of one enumeration, in the order they were found (or sorted by the caller).
class InterfaceData
{
public:
    QList<InterfaceEntry> &interfaces() { return m_interfaces; }
    const QList<InterfaceEntry> &interfaces() const { return m_interfaces; }

    // BSD name of the first entry titled exactly `title`, or none.
    std::optional<QString> bsdNameForInterface(const QString &title) const;

    bool foundPPP() const { return m_foundPPP; }
    bool foundAirPort() const { return m_foundAirPort; }
    void setFoundPPP(bool found) { m_foundPPP = found; }
    void setFoundAirPort(bool found) { m_foundAirPort = found; }

    QString description() const;

private:
    QList<InterfaceEntry> m_interfaces;
    bool m_foundPPP = false;
    bool m_foundAirPort = false;
};
