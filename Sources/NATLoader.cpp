#include "NATLoader.h"

#include "network/DhcpServer.h"
#include "network/InterfaceName.h"
#include "network/NameServer.h"
#include "NATController.h"
#include "privilege/StagingFile.h"
#include "desktop/SystemLog.h"

namespace {

QString g_stagingFolder = QStringLiteral("/tmp");

struct NatOption {
    const char *flag;
    const char *line;
};

// Tested in this order by substring, so "-log_denied" is seen before "-log".
const NatOption kNatOptions[] = {
    {"-log_denied", "log_denied yes\n"},   {"-log", "log yes\n"},
    {"-use_sockets", "use_sockets yes\n"}, {"-same_ports", "same_ports yes\n"},
    {"-dynamic", "dynamic yes\n"},         {"-deny_incoming", "deny_incoming yes\n"},
};

QString consoleMessage(const char *text)
{
    return QStringLiteral("ConsoleMessage \"%1\"\n").arg(QLatin1String(text));
}

QByteArray bytesOf(const QStringList &lines)
{
    QByteArray bytes;
    for (const QString &line : lines)
        bytes += line.toLocal8Bit();
    return bytes;
}

} // namespace

bool NATLoader::isInterfaceName(const QString &name)
{
    return InterfaceName::isValid(name.toUtf8().toStdString());
}

bool NATLoader::isPlainWord(const QString &word)
{
    if (word.isEmpty())
        return false;
    for (const QChar c : word) {
        const char16_t u = c.unicode();
        const bool plain = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                           (u >= '0' && u <= '9') || u == '.' || u == '-' || u == '_';
        if (!plain)
            return false;
    }
    return true;
}

void NATLoader::setStagingFolder(const QString &folder)
{
    g_stagingFolder = folder;
}

QString NATLoader::configFilePath()
{
    return g_stagingFolder + QStringLiteral("/natd.conf.tmp");
}

QString NATLoader::startupItemPath()
{
    return g_stagingFolder + QStringLiteral("/Velloran.tmp");
}

QString NATLoader::parametersListPath()
{
    return g_stagingFolder + QStringLiteral("/Velloran.StartupParameters.plist.tmp");
}

// ---- natd configuration file ----

std::optional<QStringList> NATLoader::natConfigLines(const QStringList &natArgs)
{
    QStringList lines{
        QStringLiteral(
            "# Config file used by natd startup script in /Library/StartupItems/Velloran\n"),
        QStringLiteral("# Written by Velloran from the settings in its window\n"),
        QStringLiteral("#\n")};

    for (qsizetype i = 0; i < natArgs.size(); ++i) {
        const QString &element = natArgs[i];
        if (element.contains(QLatin1String("-interface"))) {
            // natd at boot reads this as root: a missing or odd name makes no file at all.
            if (++i >= natArgs.size() || !isInterfaceName(natArgs[i]))
                return std::nullopt;
            lines << QStringLiteral("interface %1\n").arg(natArgs[i]);
            continue;
        }
        const NatOption *match = nullptr;
        for (const NatOption &option : kNatOptions) {
            if (element.contains(QLatin1String(option.flag))) {
                match = &option;
                break;
            }
        }
        if (match)
            lines << QString::fromLatin1(match->line);
        else
            SystemLog::log(QStringLiteral("Bad paramater in parseNatArgs:"));
    }

    lines << QStringLiteral("#\n") << QStringLiteral("# End natd config file\n");
    return lines;
}

std::optional<QStringList> NATLoader::getNatConfigLines()
{
    if (!NATControllerOutlet)
        return std::nullopt;
    const auto natArgs = NATControllerOutlet->getNatArgs();
    if (!natArgs)
        return std::nullopt;
    return natConfigLines(*natArgs);
}

bool NATLoader::makeConfigFile()
{
    const auto lines = getNatConfigLines();
    if (!lines) {
        StagingFile::removeOwn(configFilePath());
        return false;
    }
    return StagingFile::write(configFilePath(), bytesOf(*lines));
}

// ---- startup item script ----

std::optional<QStringList> NATLoader::startupLines(const QString &divertInterface,
                                                   const QStringList &ifconfigArgs,
                                                   bool nameServerRuns,
                                                   const std::optional<QString> &dhcpLine)
{
    // Every word from the window goes into a script that root runs at boot.
    if (!isInterfaceName(divertInterface) || ifconfigArgs.isEmpty() ||
        !isInterfaceName(ifconfigArgs.first()))
        return std::nullopt;
    for (const QString &word : ifconfigArgs.mid(1)) {
        if (!isPlainWord(word))
            return std::nullopt;
    }

    QStringList lines{
        QStringLiteral("#!/bin/sh\n"),
        QStringLiteral("#\n"),
        QStringLiteral("# Velloran service startup item - enables internet connection sharing on "
                       "startup\n"),
        QStringLiteral("# Written by Velloran from the settings in its window\n"),
        QStringLiteral("#\n"),
        QStringLiteral("\n"),
        QStringLiteral(". /etc/rc.common\n"),
        QStringLiteral("\n"),
        consoleMessage("Starting Velloran Services"),
        consoleMessage("Configuring Velloran Parameters"),
        QStringLiteral("/usr/sbin/sysctl -w net.inet.ip.forwarding=1\n"),
        QStringLiteral("%1\n").arg(
            (QStringList{QStringLiteral("/sbin/ifconfig")} + ifconfigArgs).join(QLatin1Char(' '))),
        QStringLiteral("/usr/sbin/natd -f /etc/natd.conf\n"),
        QStringLiteral("/sbin/ipfw -f flush\n"),
        QStringLiteral("/sbin/ipfw add 95 divert natd all from any to any via %1\n")
            .arg(divertInterface),
        QStringLiteral("/sbin/ipfw add 65530 pass all from any to any\n"),
        QStringLiteral("\n")};
    if (nameServerRuns) {
        QString named = QStringLiteral("/usr/sbin/named");
        for (const std::string &word : NameServer::startArguments())
            named += QLatin1Char(' ') + QString::fromStdString(word);
        lines << consoleMessage("Starting Local Caching Name Server") << named + QLatin1Char('\n')
              << QStringLiteral("\n");
    }
    if (dhcpLine)
        lines << *dhcpLine + QLatin1Char('\n');
    lines << QStringLiteral("#\n") << QStringLiteral("# End NAT startup item\n");
    return lines;
}

std::optional<QStringList> NATLoader::getStartupLines()
{
    NATController *controller = NATControllerOutlet;
    if (!controller)
        return std::nullopt;
    // With a PPPoE link the divert rule names it, whatever the external menu shows.
    const std::optional<QString> divert = controller->PPPoEPresent()
                                              ? std::optional<QString>(QStringLiteral("pppoe0"))
                                              : controller->getExternalInterface();
    if (!divert)
        return std::nullopt;
    const auto ifconfigArgs = controller->getIfconfigArgs();
    if (!ifconfigArgs)
        return std::nullopt;
    std::optional<QString> dhcpLine;
    if (controller->dhcpWanted()) {
        const auto dhcpArgs = controller->getDhcpArgs();
        dhcpLine = dhcpArgs ? DhcpServer::startupLine(*dhcpArgs) : std::nullopt;
        if (!dhcpLine)
            return std::nullopt;
    }
    return startupLines(*divert, *ifconfigArgs, controller->DNSrunning(), dhcpLine);
}

bool NATLoader::makeStartupItem()
{
    const auto lines = getStartupLines();
    if (!lines) {
        StagingFile::removeOwn(startupItemPath());
        return false;
    }
    return StagingFile::write(startupItemPath(), bytesOf(*lines));
}
