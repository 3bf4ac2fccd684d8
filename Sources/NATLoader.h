#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>

class NATController;

// Writes the boot-time files: natd's configuration and the startup item's script.
class NATLoader : public QObject
{
    Q_OBJECT
    friend class MainWindowLoader;

public:
    using QObject::QObject;

    // The lines of natd's configuration file from the window's current settings; none when
    // they can't make a sound file.
    std::optional<QStringList> getNatConfigLines();
    // Stages the configuration file as <staging folder>/natd.conf.tmp.
    bool makeConfigFile();

    // The lines of the startup item's script from the window's current settings; none when
    // an interface is missing or a word typed into the window isn't safe for a root script.
    std::optional<QStringList> getStartupLines();
    // Stages the script as <staging folder>/Velloran.tmp; stages nothing when it can't be made.
    bool makeStartupItem();

    // The two files from given settings (made by BootFiles, as root makes them again).
    static std::optional<QStringList> natConfigLines(const QStringList &natArgs);
    static std::optional<QStringList> startupLines(const QString &divertInterface,
                                                   const QStringList &ifconfigArgs,
                                                   bool nameServerRuns,
                                                   const std::optional<QString> &dhcpLine = {});

    // Where the files are staged: "/tmp" unless a test points it elsewhere.
    static void setStagingFolder(const QString &folder);
    static QString configFilePath();
    static QString startupItemPath();
    static QString parametersListPath();

protected:
    NATController *NATControllerOutlet = nullptr;
};
