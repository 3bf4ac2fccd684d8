#include "InterfaceEntry.h"

#include <utility>

InterfaceEntry::InterfaceEntry(QString userName, QString bsdName)
    : m_userName(std::move(userName)), m_bsdName(std::move(bsdName))
{}

int InterfaceEntry::compare(const InterfaceEntry &other) const
{
    return QString::compare(m_bsdName, other.m_bsdName, Qt::CaseSensitive);
}

QString InterfaceEntry::description() const
{
    return QStringLiteral("userName: %1, bsdName %2\n").arg(m_userName, m_bsdName);
}
