#pragma once

#include <QString>

// One network interface: the title shown in the menus and the kernel's name for it.
class InterfaceEntry
{
public:
    InterfaceEntry() = default;
    InterfaceEntry(QString userName, QString bsdName);

    const QString &userName() const { return m_userName; }
    const QString &bsdName() const { return m_bsdName; }
    void setUserName(const QString &name) { m_userName = name; }
    void setBsdName(const QString &name) { m_bsdName = name; }

    // Three-way order of the BSD names by code point: <0, 0, >0.
    int compare(const InterfaceEntry &other) const;
    QString description() const;

private:
    QString m_userName;
    QString m_bsdName;
};
