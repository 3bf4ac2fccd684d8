#pragma once

#include "InterfaceData.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

class NATLoader;
class NATSetter;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMainWindow;
class QPushButton;
class QSettings;
class QWidget;
class SharingWatcher;

// The one controller of the window: its controls, what Velloran believes runs on the machine,
// and every action of the user.
class NATController : public QObject
{
    Q_OBJECT
    friend class MainWindowLoader;

public:
    explicit NATController(QObject *parent = nullptr);
    ~NATController() override;

    void awakeFromNib();

    bool running() const { return m_running; }
    bool DNSrunning() const { return m_DNSrunning; }
    bool loadOnStartup() const { return m_loadOnStartup; }
    bool PPPoEPresent() const { return m_PPPoE; }

    void runErr(const QString &message);

    // Saved settings
    void setFromDefaults();
    void saveDefaults();
    static std::unique_ptr<QSettings> preferences();

    // Argument builders; none when an interface choice can't be resolved.
    QStringList commandsToExecute() const;
    std::optional<QStringList> getNatArgs();
    std::optional<QStringList> getIfconfigArgs();
    std::optional<QString> getInternalInterface() const;
    std::optional<QString> getExternalInterface() const;
    const AliasingInfo &aliasing() const { return m_aliasing; }

    // The LAN's DHCP server (Sources/NATControllerDhcp.cpp)
    bool dhcpWanted() const;
    std::optional<QStringList> getDhcpArgs() const;
    std::optional<QString> dhcpPlanProblem() const;
    std::optional<QString> dhcpPortInUse() const;
    void updateDhcpAvailability();

    // Interface menus
    void reflowPopups(bool saveSelect);
    bool checkForPPPoE();

    // Application events
    void applicationDidFinishLaunching(QObject *notification);
    // Starts the launch's look at what runs (natd, named, the startup item, PPPoE) on a thread
    // of its own, so that it overlaps Qt building the window; the launch takes its answers.
    static void startLookingAtWhatRuns();
    static bool natdIsRunning();
    void applicationWillBecomeActive(QObject *notification);
    // Another firewall's rules changed while sharing runs: what now blocks it is named.
    void firewallsChanged();
    void applicationWillTerminate(QObject *notification);
    bool applicationShouldTerminateAfterLastWindowClosed(QObject *application) const;

public slots:
    void toggleRunning(QObject *sender = nullptr);
    void checkDynamicByExternalInterface(QObject *sender = nullptr);
    void toggleAuthentication(QObject *sender = nullptr);
    void userAuthenticated(QObject *notification = nullptr);
    void userDeauthenticated(QObject *notification = nullptr);
    void openReadme(QObject *sender = nullptr);
    void openSetup(QObject *sender = nullptr);
    void displayAboutWindow(QObject *sender = nullptr);
    void toggleDNS(QObject *sender = nullptr);
    void toggleLoadOnStartup(QObject *sender = nullptr);
    void reset(QObject *sender = nullptr);

protected:
    QCheckBox *aliasLog = nullptr;
    QPushButton *authButton = nullptr;
    QLabel *authLabel = nullptr;
    QWidget *debugControl = nullptr;
    QWidget *debugControl2 = nullptr;
    QWidget *debugWindow = nullptr;
    QCheckBox *denyIncoming = nullptr;
    QCheckBox *denyLog = nullptr;
    QCheckBox *dynamic = nullptr;
    QCheckBox *dhcp = nullptr;
    QComboBox *internalInterface = nullptr;
    QCheckBox *load = nullptr;
    QCheckBox *named = nullptr;
    NATLoader *NATLoaderOutlet = nullptr;
    NATSetter *NATSetterOutlet = nullptr;
    QComboBox *externalInterface = nullptr;
    QCheckBox *ports = nullptr;
    QPushButton *resetButton = nullptr;
    QLineEdit *route1 = nullptr;
    QLineEdit *route2 = nullptr;
    QLineEdit *route3 = nullptr;
    QLineEdit *route4 = nullptr;
    QPushButton *sharingButton = nullptr;
    QCheckBox *sockets = nullptr;
    QLineEdit *sub1 = nullptr;
    QLineEdit *sub2 = nullptr;
    QLineEdit *sub3 = nullptr;
    QLineEdit *sub4 = nullptr;
    QMainWindow *window = nullptr;

private:
    QString routerAddress() const;
    QString subnetMask() const;
    void setRunning(bool running);
    // Waits a moment for natd to end after its signal; false when it still runs.
    static bool natdEnded();
    // runErr for a privileged step; when root refused it for where Velloran lies, says that.
    void stepFailed(const QString &message);
    void setDNSrunning(bool running);
    void refreshNameServer();
    void setLoadOnStartup(bool installed);
    // Says what a failed look at the interface list says, once the launch has the answer.
    bool reportPPPoE(std::optional<bool> listed);
    void refreshLockState();
    void openDocument(const QString &name, const QString &title);
    bool startDhcp();
    void stopDhcp();
    void watchHardware();
    void followLinks();
    void checkLanAddress();
    // Other firewalls (Sources/NATControllerFirewalls.cpp): false when the user cancelled Start.
    bool letFirewallsShare(const QString &lan, const QString &wan);
    void closeFirewalls(bool onlyWithRightsHeld = false);
    void giveLanBack();
    // Sharing watched while it runs (Sources/NATControllerWatch.cpp).
    void watchSharing();
    void unwatchSharing();
    void sharingBroke();
    void removeSharing();
    void removeAddressAndRules();

    // Menus and the LAN's router address follow the hardware.
    struct WantedTitle {
        QString title;
        bool gone = false;
    };
    WantedTitle m_wantedExternal, m_wantedInternal;
    QStringList m_sharedIfconfigArgs;
    bool m_interruptionShown = false;
    SharingWatcher *m_watcher = nullptr;
    QStringList m_namedBlocks; // what other firewalls block, as last named or read
    // A start failed after natd had started, which may still run.
    bool m_natdLeftRunning = false;

    bool m_running = false;
    bool m_DNSrunning = false;
    bool m_loadOnStartup = false;
    bool m_PPPoE = false;
    AliasingInfo m_aliasing;
    std::unique_ptr<InterfaceData> m_interfaceData;
};
