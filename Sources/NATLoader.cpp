#include "NATLoader.h"

#include "network/DhcpServer.h"
#include "NATController.h"
#include "privilege/BootFiles.h"
#include "privilege/StagingFile.h"
#include "desktop/SystemLog.h"

namespace {

QString g_stagingFolder = QStringLiteral("/tmp");

BootFiles::Words wordsOf(const QStringList &list)
{
    BootFiles::Words words;
    for (const QString &item : list)
        words.push_back(item.toStdString());
    return words;
}

std::optional<QStringList> listOf(const std::optional<BootFiles::Lines> &lines)
{
    if (!lines)
        return std::nullopt;
    QStringList list;
    for (const std::string &line : *lines)
        list << QString::fromStdString(line);
    return list;
}

QByteArray bytesOf(const QStringList &lines)
{
    QByteArray bytes;
    for (const QString &line : lines)
        bytes += line.toLocal8Bit();
    return bytes;
}

} // namespace

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
    std::size_t skipped = 0;
    const auto lines = BootFiles::natConfigLines(wordsOf(natArgs), &skipped);
    while (skipped-- > 0)
        SystemLog::log(QStringLiteral("Bad paramater in parseNatArgs:"));
    return listOf(lines);
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
    return listOf(BootFiles::startupLines(
        divertInterface.toStdString(), wordsOf(ifconfigArgs), nameServerRuns,
        dhcpLine ? std::optional(dhcpLine->toStdString()) : std::nullopt));
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
