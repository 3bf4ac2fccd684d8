#include "network/FirewallD.h"

#include "network/InterfaceName.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QRegularExpression>
#include <QVariantMap>

namespace FirewallD {

namespace {

const QString kService = QStringLiteral("org.fedoraproject.FirewallD1");
const QString kPath = QStringLiteral("/org/fedoraproject/FirewallD1");

// One call on firewalld's object; an empty list when it failed.
QVariantList call(const QString &interface, const QString &method,
                  const QVariantList &arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        kService, kPath, interface.isEmpty() ? kService : kService + '.' + interface, method);
    message.setArguments(arguments);
    const QDBusMessage reply = QDBusConnection::systemBus().call(message, QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ReplyMessage ? reply.arguments() : QVariantList();
}

QString zoneOf(const QString &interface)
{
    const QString zone = call("zone", "getZoneOfInterface", {interface}).value(0).toString();
    return zone.isEmpty() ? call({}, "getDefaultZone").value(0).toString() : zone;
}

QVariantMap settings(const QString &kind, const QString &name)
{
    const QVariant reply =
        call(kind, kind == "zone" ? "getZoneSettings2" : "getPolicySettings", {name}).value(0);
    return qdbus_cast<QVariantMap>(reply);
}

// Whether a zone accepts a port at run time.
bool hasPort(const QString &zone, const QString &port, const QString &protocol)
{
    return call("zone", "queryPort", {zone, port, protocol}).value(0).toBool();
}

// Active policies with their "ingress_zones" and "egress_zones".
QMap<QString, QMap<QString, QStringList>> activePolicies()
{
    QMap<QString, QMap<QString, QStringList>> policies;
    const QDBusArgument map = call("policy", "getActivePolicies").value(0).value<QDBusArgument>();
    if (map.currentType() != QDBusArgument::MapType)
        return policies;
    map >> policies;
    return policies;
}

bool isZoneName(const QString &name)
{
    static const QRegularExpression kName(QStringLiteral("^[A-Za-z0-9_][A-Za-z0-9_.+-]{0,63}$"));
    return kName.match(name).hasMatch();
}

} // namespace

bool running()
{
    QDBusConnectionInterface *bus = QDBusConnection::systemBus().interface();
    return bus && bus->isServiceRegistered(kService).value();
}

QList<FirewallRules::Block> read(const QString &lan, const QString &wan)
{
    using FirewallRules::Traffic;
    QList<FirewallRules::Block> blocks;
    const QString lanZone = zoneOf(lan), wanZone = zoneOf(wan);
    if (lanZone.isEmpty())
        return blocks;
    const QVariantMap zone = settings("zone", lanZone);
    const QString target = zone.value("target").toString();
    const QStringList services = zone.value("services").toStringList();
    const QString opening = "firewalld " + lanZone;
    const QString where = "zone " + lanZone;
    if (lan != wan && target != "ACCEPT" && !services.contains("dhcp") &&
        !hasPort(lanZone, "67", "udp"))
        blocks.append({"firewalld", where, Traffic::Dhcp, opening});
    if (target != "ACCEPT" && !services.contains("dns") && !hasPort(lanZone, "53", "udp"))
        blocks.append({"firewalld", where, Traffic::Dns, opening});
    bool forwards = target == "ACCEPT" || (lanZone == wanZone && zone.value("forward").toBool());
    const auto policies = activePolicies();
    for (auto policy = policies.begin(); !forwards && policy != policies.end(); ++policy) {
        const QStringList in = policy->value("ingress_zones"), out = policy->value("egress_zones");
        if ((in.contains(lanZone) || in.contains("ANY")) &&
            (out.contains(wanZone) || out.contains("ANY")))
            forwards = settings("policy", policy.key()).value("target").toString() == "ACCEPT";
    }
    if (!forwards)
        blocks.append({"firewalld", where + ", to zone " + wanZone, Traffic::Forward, opening});
    return blocks;
}

std::optional<QString> open(const QString &lan)
{
    const QString previous = call("zone", "getZoneOfInterface", {lan}).value(0).toString();
    const QStringList zones = call("zone", "getZones").value(0).toStringList();
    const QString shared = zones.contains("nm-shared") ? "nm-shared" : "trusted";
    if (previous == shared || (!previous.isEmpty() && !isZoneName(previous)))
        return std::nullopt;
    // Run-time calls: the permanent configuration is another interface, never used here.
    const QVariantList answer = previous.isEmpty()
                                    ? call("zone", "addInterface", {shared, lan})
                                    : call("zone", "changeZoneOfInterface", {shared, lan});
    if (answer.isEmpty())
        return std::nullopt;
    return QStringLiteral("firewalld %1 %2 %3")
        .arg(lan, previous.isEmpty() ? QStringLiteral("-") : previous, shared);
}

bool close(const QStringList &words)
{
    if (words.size() != 4 || !InterfaceName::isValid(words[1].toStdString()) ||
        (words[2] != "-" && !isZoneName(words[2])) || !isZoneName(words[3]))
        return false;
    const QString lan = words[1], previous = words[2], shared = words[3];
    if (call("zone", "getZoneOfInterface", {lan}).value(0).toString() != shared)
        return true;
    const QVariantList answer = previous == "-"
                                    ? call("zone", "removeInterface", {shared, lan})
                                    : call("zone", "changeZoneOfInterface", {previous, lan});
    return !answer.isEmpty();
}

} // namespace FirewallD
