#include "network/NetworkManager.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFileInfo>

namespace NetworkManager {

namespace {

const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kDeviceInterface = QStringLiteral("org.freedesktop.NetworkManager.Device");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
constexpr int kCallMs = 2000;

QDBusMessage call(const QString &path, const QString &interface, const QString &method,
                  const QVariantList &arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
    // Where NetworkManager doesn't run, asking must not start it.
    message.setAutoStartService(false);
    message.setArguments(arguments);
    return QDBusConnection::systemBus().call(message, QDBus::Block, kCallMs);
}

bool runs()
{
    const QDBusConnection bus = QDBusConnection::systemBus();
    return bus.isConnected() && bus.interface() &&
           bus.interface()->isServiceRegistered(kService).value();
}

// The device's object path, or an empty one.
QString devicePath(const QString &interface)
{
    const QDBusMessage reply = call(QStringLiteral("/org/freedesktop/NetworkManager"), kService,
                                    QStringLiteral("GetDeviceByIpIface"), {interface});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst().value<QDBusObjectPath>().path();
}

Device managedAt(const QString &path)
{
    const QDBusMessage reply = call(path, kProperties, QStringLiteral("Get"),
                                    {kDeviceInterface, QStringLiteral("Managed")});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return Device::Unknown;
    return reply.arguments().constFirst().value<QDBusVariant>().variant().toBool()
               ? Device::Managed
               : Device::Unmanaged;
}

} // namespace

Device device(const QString &interface)
{
    if (!runs())
        return Device::Absent;
    const QString path = devicePath(interface);
    return path.isEmpty() ? Device::Unknown : managedAt(path);
}

bool setManaged(const QString &interface, bool managed)
{
    const QString path = runs() ? devicePath(interface) : QString();
    if (path.isEmpty())
        return false;
    const QDBusMessage reply = call(
        path, kProperties, QStringLiteral("Set"),
        {kDeviceInterface, QStringLiteral("Managed"), QVariant::fromValue(QDBusVariant(managed))});
    return reply.type() == QDBusMessage::ReplyMessage &&
           managedAt(path) == (managed ? Device::Managed : Device::Unmanaged);
}

bool noteLeft()
{
    return QFileInfo::exists(kNote);
}

} // namespace NetworkManager
