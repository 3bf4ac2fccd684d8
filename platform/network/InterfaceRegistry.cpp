#include "network/InterfaceRegistry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <climits>

namespace {

QString g_root = QStringLiteral("/sys");

QString readLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.readLine()).trimmed();
}

QString linkName(const QString &path)
{
    const QString target = QFileInfo(path).symLinkTarget();
    return target.isEmpty() ? QString() : QFileInfo(target).fileName();
}

} // namespace

namespace InterfaceRegistry {

void setRoot(const QString &sysfsRoot)
{
    g_root = sysfsRoot;
}
QString root()
{
    return g_root;
}

std::optional<QList<NetInterface>> ethernetInterfaces()
{
    QDir net(g_root + QStringLiteral("/class/net"));
    if (!net.exists() || !net.isReadable())
        return std::nullopt;

    struct Found {
        int index;
        NetInterface iface;
    };
    QList<Found> found;
    for (const QString &name : net.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System)) {
        const QString dir = net.filePath(name);
        if (readLine(dir + QStringLiteral("/type")) != QLatin1String("1"))
            continue;
        bool ok = false;
        const int index = readLine(dir + QStringLiteral("/ifindex")).toInt(&ok);
        const bool wireless = QFileInfo::exists(dir + QStringLiteral("/wireless")) ||
                              QFileInfo::exists(dir + QStringLiteral("/phy80211"));
        found.append({ok ? index : INT_MAX, {name, wireless}});
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Found &a, const Found &b) { return a.index < b.index; });
    QList<NetInterface> result;
    for (const Found &f : found)
        result.append(f.iface);
    return result;
}

QStringList modemPorts()
{
    QDir tty(g_root + QStringLiteral("/class/tty"));
    QStringList ports;
    for (const QString &name :
         tty.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name)) {
        const QString device = tty.filePath(name) + QStringLiteral("/device");
        if (!QFileInfo::exists(device))
            continue;
        const QString driver = linkName(device + QStringLiteral("/driver"));
        const QString subsystem = linkName(device + QStringLiteral("/subsystem"));
        if (driver == QLatin1String("cdc_acm") || subsystem == QLatin1String("usb-serial"))
            ports.append(name);
    }
    return ports;
}

} // namespace InterfaceRegistry
