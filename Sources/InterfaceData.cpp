#include "InterfaceData.h"

std::optional<QString> InterfaceData::bsdNameForInterface(const QString &title) const
{
    if (title.isNull())
        return std::nullopt;
    for (const InterfaceEntry &entry : m_interfaces) {
        if (entry.userName() == title)
            return entry.bsdName();
    }
    return std::nullopt;
}

QString InterfaceData::description() const
{
    QString text = QStringLiteral("(\n");
    for (const InterfaceEntry &entry : m_interfaces)
        text += entry.description();
    return text + QStringLiteral(")");
}
