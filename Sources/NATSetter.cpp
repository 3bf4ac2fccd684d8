#include "NATSetter.h"

#include "BLAuthentication.h"
#include "desktop/SystemLog.h"

namespace {
BLAuthentication *runner()
{
    return BLAuthentication::sharedInstance();
}
} // namespace

bool NATSetter::terminateNatd()
{
    const QString path = QStringLiteral("/usr/sbin/natd");
    if (runner()->killProcess(path))
        return true;
    // The bare name is for a natd the full path can't find; one root refused to end stays so.
    if (runner()->getPID(path) != 0)
        return false;
    return runner()->killProcess(QStringLiteral("natd"));
}

bool NATSetter::terminateAliasing(const AliasingInfo &aliasing)
{
    // Without both, ifconfig would be asked to remove some other address, or none.
    if (aliasing.interface.isEmpty() || aliasing.ip.isEmpty())
        return false;
    return ifconfig({aliasing.interface, aliasing.ip, QStringLiteral("-alias")});
}

bool NATSetter::sysctl()
{
    return runner()->executeCommand(
        QStringLiteral("/usr/sbin/sysctl"),
        {QStringLiteral("-w"), QStringLiteral("net.inet.ip.forwarding=1")});
}

bool NATSetter::ifconfig(const QStringList &arguments)
{
    return runner()->executeCommand(QStringLiteral("/sbin/ifconfig"), arguments);
}

bool NATSetter::natd(const QStringList &arguments)
{
    return runner()->executeCommand(QStringLiteral("/usr/sbin/natd"), arguments);
}

bool NATSetter::ipfw(const std::optional<QString> &interface)
{
    const QString ipfwPath = QStringLiteral("/sbin/ipfw");
    const QString any = QStringLiteral("any");
    // Without the interface the divert rule is incomplete: run none of the three.
    bool result = interface && !interface->isEmpty();
    if (result)
        result =
            runner()->executeCommand(ipfwPath, {QStringLiteral("-f"), QStringLiteral("flush")});
    if (result)
        result = runner()->executeCommand(
            ipfwPath, {QStringLiteral("add"), QStringLiteral("95"), QStringLiteral("divert"),
                       QStringLiteral("natd"), QStringLiteral("all"), QStringLiteral("from"), any,
                       QStringLiteral("to"), any, QStringLiteral("via"), *interface});
    if (result)
        result = runner()->executeCommand(ipfwPath,
                                          {QStringLiteral("add"), QStringLiteral("65530"),
                                           QStringLiteral("pass"), QStringLiteral("all"),
                                           QStringLiteral("from"), any, QStringLiteral("to"), any});
    if (!result)
        SystemLog::log(QStringLiteral("Error configuring ipfw"));
    return result;
}
