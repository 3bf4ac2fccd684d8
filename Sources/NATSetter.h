#pragma once

#include "InterfaceData.h"

#include <QObject>
#include <QStringList>
#include <optional>

// Starts and stops address translation with natd, ipfw, ifconfig and sysctl.
class NATSetter : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    bool terminateNatd();
    bool terminateAliasing(const AliasingInfo &aliasing);
    bool sysctl();
    bool ifconfig(const QStringList &arguments);
    bool natd(const QStringList &arguments);
    bool ipfw(const std::optional<QString> &interface);
};
