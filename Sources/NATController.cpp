#include "NATController.h"

#include "desktop/Alert.h"
#include "BLAuthentication.h"
#include "desktop/Beep.h"
#include "desktop/Bundle.h"
#include "desktop/HelpWindow.h"
#include "desktop/Images.h"
#include "NATLoader.h"
#include "NATSetter.h"
#include "desktop/NotificationCenter.h"
#include "network/NameServer.h"
#include "network/NetworkManager.h"
#include "network/SharingChecks.h"
#include "privilege/StagingFile.h"
#include "desktop/SystemLog.h"
#include "interfaceChecker.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QThread>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <thread>
#include <utility>

namespace {

const QString kModemTitle = QStringLiteral("Modem or PPPoE (ppp0)");
const QString kStartupItem = QStringLiteral("/Library/StartupItems/Velloran");
const QString kNamedConf = QStringLiteral("/etc/named.conf");
const QString kNamedCache = QStringLiteral("/etc/named.cache");
// Velloran's own name server, told from the distribution's by its command line.
const QString kOwnNamed = QStringLiteral("/usr/sbin/named -c /etc/named.conf");

std::optional<QString> selectedTitle(const QComboBox *menu)
{
    if (!menu || menu->currentIndex() < 0)
        return std::nullopt;
    return menu->itemText(menu->currentIndex());
}

bool isOn(const QCheckBox *box)
{
    return box && box->isChecked();
}

} // namespace

NATController::NATController(QObject *parent) : QObject(parent) {}

NATController::~NATController() = default;

void NATController::awakeFromNib()
{
    if (!window)
        return;
    window->show();
    window->raise();
    window->activateWindow();
}

void NATController::runErr(const QString &message)
{
    Alert::run(message);
}

// ---- argument builders ----

QStringList NATController::commandsToExecute() const
{
    return {QStringLiteral("/usr/sbin/sysctl"), QStringLiteral("/sbin/ifconfig"),
            QStringLiteral("/usr/sbin/natd"), QStringLiteral("/sbin/ipfw")};
}

QString NATController::routerAddress() const
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(route1->text(), route2->text(), route3->text(), route4->text());
}

QString NATController::subnetMask() const
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(sub1->text(), sub2->text(), sub3->text(), sub4->text());
}

std::optional<QString> NATController::getInternalInterface() const
{
    const auto title = selectedTitle(internalInterface);
    if (!title || !m_interfaceData)
        return std::nullopt;
    return m_interfaceData->bsdNameForInterface(*title);
}

std::optional<QString> NATController::getExternalInterface() const
{
    const auto title = selectedTitle(externalInterface);
    if (!title || !m_interfaceData)
        return std::nullopt;
    return m_interfaceData->bsdNameForInterface(*title);
}

std::optional<QStringList> NATController::getNatArgs()
{
    QStringList args;
    if (isOn(ports))
        args << QStringLiteral("-same_ports");
    if (isOn(sockets))
        args << QStringLiteral("-use_sockets");
    if (isOn(aliasLog))
        args << QStringLiteral("-log");
    if (isOn(denyIncoming))
        args << QStringLiteral("-deny_incoming");
    if (isOn(denyLog))
        args << QStringLiteral("-log_denied");
    if (isOn(dynamic))
        args << QStringLiteral("-dynamic");
    const auto external = getExternalInterface();
    if (!external)
        return std::nullopt;
    args << QStringLiteral("-interface") << *external;
    return args;
}

std::optional<QStringList> NATController::getIfconfigArgs()
{
    const auto internal = getInternalInterface();
    if (!internal)
        return std::nullopt;
    const QString router = routerAddress();
    QStringList args{*internal, router, QStringLiteral("netmask"), subnetMask()};

    // Same title in both menus means one entry of the list: share over a single port.
    const auto internalTitle = selectedTitle(internalInterface);
    const auto externalTitle = selectedTitle(externalInterface);
    if (internalTitle && externalTitle && *internalTitle == *externalTitle) {
        args << QStringLiteral("alias");
        m_aliasing.on = true;
        m_aliasing.interface = *internal;
        m_aliasing.ip = router;
    } else {
        m_aliasing.on = false;
    }
    return args;
}

// ---- interface menus ----

void NATController::reflowPopups(bool saveSelect)
{
    std::optional<QString> externalTitle, internalTitle;
    if (saveSelect) {
        externalTitle = selectedTitle(externalInterface);
        internalTitle = selectedTitle(internalInterface);
    }

    m_interfaceData = interfaceChecker::sharedInstance().getInterfaceData();
    QList<InterfaceEntry> &list = m_interfaceData->interfaces();
    std::stable_sort(
        list.begin(), list.end(),
        [](const InterfaceEntry &a, const InterfaceEntry &b) { return a.compare(b) < 0; });

    externalInterface->clear();
    for (const InterfaceEntry &entry : list)
        externalInterface->addItem(entry.userName());
    internalInterface->clear();
    for (const InterfaceEntry &entry : list) {
        if (entry.userName() != kModemTitle)
            internalInterface->addItem(entry.userName());
    }

    if (saveSelect) {
        if (externalTitle && externalInterface->findText(*externalTitle, Qt::MatchExactly) >= 0)
            externalInterface->setCurrentIndex(
                externalInterface->findText(*externalTitle, Qt::MatchExactly));
        if (internalTitle && internalInterface->findText(*internalTitle, Qt::MatchExactly) >= 0)
            internalInterface->setCurrentIndex(
                internalInterface->findText(*internalTitle, Qt::MatchExactly));
    } else {
        if (externalInterface->count() > 0)
            externalInterface->setCurrentIndex(0);
        if (internalInterface->count() > 0)
            internalInterface->setCurrentIndex(0);
    }
}

void NATController::checkDynamicByExternalInterface(QObject *)
{
    dynamic->setChecked(selectedTitle(externalInterface) == kModemTitle);
}

namespace {

// The kernel's own list of this network namespace's interfaces, as ifconfig -a shows them;
// nothing when the list can't be had.
std::optional<bool> kernelListsPPPoE()
{
    struct if_nameindex *names = if_nameindex();
    if (!names)
        return std::nullopt;
    bool found = false;
    for (const struct if_nameindex *name = names; name->if_index != 0 && !found; ++name)
        found = std::strstr(name->if_name, "pppoe0") != nullptr;
    if_freenameindex(names);
    return found;
}

} // namespace

bool NATController::checkForPPPoE()
{
    return reportPPPoE(kernelListsPPPoE());
}

bool NATController::reportPPPoE(std::optional<bool> listed)
{
    if (!listed) {
        SystemLog::log(QStringLiteral("Error opening pipe!"));
        Beep::beep();
        return false;
    }
    return *listed;
}

// ---- saved settings ----

std::unique_ptr<QSettings> NATController::preferences()
{
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                       QStringLiteral("Velloran"), QStringLiteral("Velloran"));
}

namespace {

// The leading decimal number of a stored address part, as the window shows it again.
int leadingInt(const QString &part)
{
    const QByteArray bytes = part.toLatin1();
    const long long value = std::strtoll(bytes.constData(), nullptr, 10);
    return int(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

void putAddress(const QString &stored, QLineEdit *const (&fields)[4])
{
    const QStringList parts = stored.split(QLatin1Char('.'));
    for (int i = 0; i < 4; ++i)
        fields[i]->setText(QString::number(i < parts.size() ? leadingInt(parts[i]) : 0));
}

void selectTitle(QComboBox *menu, const QString &title)
{
    menu->setCurrentIndex(menu->findText(title, Qt::MatchExactly));
}

} // namespace

void NATController::saveDefaults()
{
    auto store = preferences();
    store->setValue(QStringLiteral("AliasLog"), isOn(aliasLog));
    store->setValue(QStringLiteral("DenyIncoming"), isOn(denyIncoming));
    store->setValue(QStringLiteral("DenialLog"), isOn(denyLog));
    store->setValue(QStringLiteral("DynmaicIP"), isOn(dynamic));
    // An empty menu stores nothing that a later item could be mistaken for.
    if (const auto title = selectedTitle(internalInterface))
        store->setValue(QStringLiteral("InternalInterface"), *title);
    else
        store->remove(QStringLiteral("InternalInterface"));
    if (const auto title = selectedTitle(externalInterface))
        store->setValue(QStringLiteral("ExternalInterface"), *title);
    else
        store->remove(QStringLiteral("ExternalInterface"));
    store->setValue(QStringLiteral("PreservePorts"), isOn(ports));
    store->setValue(QStringLiteral("Router"), routerAddress());
    store->setValue(QStringLiteral("UseSockets"), isOn(sockets));
    store->setValue(QStringLiteral("Subnet"), subnetMask());
    store->setValue(QStringLiteral("HasRun"), true);
    store->setValue(QStringLiteral("DHCP"), isOn(dhcp));
    store->sync();
}

void NATController::setFromDefaults()
{
    auto store = preferences();
    if (!store->value(QStringLiteral("HasRun"), false).toBool()) {
        if (internalInterface->count() > 0)
            internalInterface->setCurrentIndex(0);
        selectTitle(externalInterface, kModemTitle);
        checkDynamicByExternalInterface(this);
        return;
    }

    auto boolKey = [&](const char *key) {
        return store->value(QLatin1String(key), false).toBool();
    };
    aliasLog->setChecked(boolKey("AliasLog"));
    denyIncoming->setChecked(boolKey("DenyIncoming"));
    denyLog->setChecked(boolKey("DenialLog"));
    dynamic->setChecked(boolKey("DynmaicIP"));

    const QString internal = store->value(QStringLiteral("InternalInterface")).toString();
    if (internalInterface->findText(internal, Qt::MatchExactly) >= 0 && !internal.isNull())
        selectTitle(internalInterface, internal);
    else if (internalInterface->count() > 1)
        internalInterface->setCurrentIndex(1);
    else if (internalInterface->count() > 0)
        internalInterface->setCurrentIndex(0);

    const QString external = store->value(QStringLiteral("ExternalInterface")).toString();
    if (externalInterface->findText(external, Qt::MatchExactly) >= 0 && !external.isNull())
        selectTitle(externalInterface, external);
    else
        selectTitle(externalInterface, kModemTitle);

    ports->setChecked(boolKey("PreservePorts"));
    const QVariant router = store->value(QStringLiteral("Router"));
    if (router.isValid())
        putAddress(router.toString(), {route1, route2, route3, route4});
    sockets->setChecked(boolKey("UseSockets"));
    dhcp->setChecked(boolKey("DHCP"));
    const QVariant subnet = store->value(QStringLiteral("Subnet"));
    if (subnet.isValid())
        putAddress(subnet.toString(), {sub1, sub2, sub3, sub4});
}

// ---- application events ----

namespace {

struct LaunchLook {
    std::optional<bool> PPPoE;
    bool natd = false;
    bool named = false;
    bool startupItem = false;
};

// The look at what runs, begun early on a thread of its own; joined by the launch, or at exit.
struct LookAhead {
    ~LookAhead()
    {
        if (thread.joinable())
            thread.join();
    }
    std::thread thread;
    LaunchLook look;
};
LookAhead g_lookAhead;

LaunchLook lookAtWhatRuns()
{
    BLAuthentication *auth = BLAuthentication::sharedInstance();
    LaunchLook look;
    look.PPPoE = kernelListsPPPoE();
    look.natd = NATController::natdIsRunning();
    look.named = auth->getPID(kOwnNamed) != 0;
    look.startupItem = QFileInfo::exists(kStartupItem);
    return look;
}

} // namespace

void NATController::startLookingAtWhatRuns()
{
    // Made here, so that the shared object belongs to the thread that runs the window.
    BLAuthentication::sharedInstance();
    if (!g_lookAhead.thread.joinable())
        g_lookAhead.thread = std::thread([] { g_lookAhead.look = lookAtWhatRuns(); });
}

void NATController::applicationDidFinishLaunching(QObject *)
{
    BLAuthentication *auth = BLAuthentication::sharedInstance();
    refreshLockState();
    NotificationCenter *center = NotificationCenter::defaultCenter();
    center->addObserver(this, BLAuthenticatedNotification, auth,
                        [this](const Notification &) { userAuthenticated(nullptr); });
    center->addObserver(this, BLDeauthenticatedNotification, auth,
                        [this](const Notification &) { userDeauthenticated(nullptr); });
    LaunchLook look;
    if (g_lookAhead.thread.joinable()) {
        g_lookAhead.thread.join();
        look = g_lookAhead.look;
    } else {
        look = lookAtWhatRuns();
    }
    m_PPPoE = reportPPPoE(look.PPPoE);
    if (look.natd)
        setRunning(true);
    else { // sharing ended without a Stop: what was left changed for it goes back
        if (NetworkManager::noteLeft() && auth->isAuthenticated(commandsToExecute()))
            giveLanBack();
        closeFirewalls(true);
    }
    if (look.named) {
        named->setChecked(true);
        m_DNSrunning = true;
    }
    if (look.startupItem) {
        load->setChecked(true);
        m_loadOnStartup = true;
    }
    reflowPopups(false);
    setFromDefaults();
    watchHardware();
}

void NATController::applicationWillBecomeActive(QObject *)
{
    refreshLockState();
    reflowPopups(true);
}

void NATController::applicationWillTerminate(QObject *)
{
    saveDefaults();
    NotificationCenter::defaultCenter()->removeObserver(this);
    BLAuthentication::sharedInstance()->deauthenticate();
}

bool NATController::applicationShouldTerminateAfterLastWindowClosed(QObject *) const
{
    return true;
}

bool NATController::natdIsRunning()
{
    BLAuthentication *auth = BLAuthentication::sharedInstance();
    return auth->getPID(QStringLiteral("/usr/sbin/natd")) != 0 ||
           auth->getPID(QStringLiteral("natd")) != 0;
}

bool NATController::natdEnded()
{
    // natd ends within moments of its signal.
    bool running = natdIsRunning();
    for (int tries = 0; running && tries < 100; ++tries) {
        QThread::msleep(20);
        running = natdIsRunning();
    }
    return !running;
}

void NATController::stepFailed(const QString &message)
{
    const auto bundle = BLAuthentication::sharedInstance()->takeRefusedBundle();
    if (!bundle) {
        runErr(message);
        return;
    }
    runErr(QStringLiteral("Velloran can't run its tools as root from %1: users other than root "
                          "can change that folder, and root runs nothing from such a place. To "
                          "install it, run tools/setup in Velloran's source folder (it builds and "
                          "installs the Debian package), then start the installed velloran.")
               .arg(*bundle));
}

void NATController::setRunning(bool isRunning)
{
    m_running = isRunning;
    isRunning ? watchSharing() : unwatchSharing();
    sharingButton->setText(isRunning ? QStringLiteral("Stop Internet Sharing")
                                     : QStringLiteral("Start Internet Sharing"));
}

// ---- starting and stopping sharing ----

void NATController::toggleRunning(QObject *)
{
    BLAuthentication *auth = BLAuthentication::sharedInstance();
    if (m_running) {
        unwatchSharing();
        m_sharedIfconfigArgs.clear();
        stopDhcp();
        const bool signalled = NATSetterOutlet->terminateNatd();
        if (!signalled)
            stepFailed(QStringLiteral("There was an error terminating DidivevuZidazar"));
        removeAddressAndRules();
        // A natd root would not end still runs: sharing goes on, and the button says so.
        const bool stillRunning = signalled ? !natdEnded() : natdIsRunning();
        if (signalled && stillRunning)
            runErr(QStringLiteral("There was an error terminating DidivevuZidazar"));
        setRunning(stillRunning);
        refreshNameServer();
        return;
    }

    // A list with a hole in it never reaches a tool.
    if (!getExternalInterface() || !getInternalInterface()) {
        runErr(QStringLiteral(
            "Choose an external and an internal interface before starting Internet Sharing."));
        return;
    }
    // What would fail or cut this computer off is told before any password is asked.
    const SharingChecks::Choice choice{routerAddress(), subnetMask(), *getExternalInterface(),
                                       *getInternalInterface()};
    for (const auto &problem : {SharingChecks::problem(choice, SharingChecks::currentSystem()),
                                dhcpPlanProblem(), dhcpPortInUse()}) {
        if (problem) {
            runErr(*problem);
            return;
        }
    }
    // One natd at a time: the one a failed start left running ends before the steps run again.
    if (std::exchange(m_natdLeftRunning, false) && natdIsRunning() &&
        NATSetterOutlet->terminateNatd())
        natdEnded();
    if (m_loadOnStartup) {
        m_loadOnStartup = false;
        toggleLoadOnStartup(nullptr);
    }
    if (!letFirewallsShare(choice.internal, choice.external))
        return;
    // The menus may have changed under an alert: a step whose interface is gone fails.
    const auto natArgs = getNatArgs();
    if (!natArgs || !NATSetterOutlet->natd(*natArgs)) {
        stepFailed(QStringLiteral("There was an error while starting Internet Sharing (natd)"));
        return;
    }
    m_natdLeftRunning = true;
    if (!NATSetterOutlet->ipfw(getExternalInterface())) {
        stepFailed(QStringLiteral("There was an error while starting Internet Sharing (ipfw)"));
        return;
    }
    const auto ifconfigArgs = getIfconfigArgs();
    // NetworkManager would take the router address away again: it leaves the LAN alone meanwhile.
    if (ifconfigArgs && !m_aliasing.on &&
        NetworkManager::device(ifconfigArgs->first()) == NetworkManager::Device::Managed)
        auth->executeCommand(Bundle::resourcePath() + '/' + NetworkManager::kProgram,
                             {QStringLiteral("unmanage"), ifconfigArgs->first()});
    if (!ifconfigArgs || !NATSetterOutlet->ifconfig(*ifconfigArgs)) {
        stepFailed(QStringLiteral("There was an error while starting Internet Sharing (ifconfig)"));
        return;
    }
    if (!NATSetterOutlet->sysctl()) {
        stepFailed(QStringLiteral("There was an error while starting Internet Sharing (sysctl)"));
        return;
    }
    if (!startDhcp()) {
        stepFailed(QStringLiteral("There was an error while starting Internet Sharing (dhcp)"));
        return;
    }
    m_natdLeftRunning = false;
    m_sharedIfconfigArgs = *ifconfigArgs;
    setRunning(true);
    refreshNameServer();
}

void NATController::removeAddressAndRules()
{
    AliasingInfo record = m_aliasing;
    if (!m_aliasing.on) {
        // Sharing started over two interfaces, or before this launch: use what the window says.
        record.interface = getInternalInterface().value_or(QString());
        record.ip = routerAddress();
    }
    NATSetterOutlet->terminateAliasing(record);
    BLAuthentication::sharedInstance()->executeCommand(
        QStringLiteral("/sbin/ipfw"), {QStringLiteral("-f"), QStringLiteral("flush")});
    closeFirewalls();
    giveLanBack();
}

// The interface NetworkManager left alone while sharing ran goes back to it.
void NATController::giveLanBack()
{
    if (NetworkManager::noteLeft())
        BLAuthentication::sharedInstance()->executeCommand(
            Bundle::resourcePath() + '/' + NetworkManager::kProgram, {QStringLiteral("restore")});
}

// ---- lock and informational actions ----

void NATController::refreshLockState()
{
    if (BLAuthentication::sharedInstance()->isAuthenticated(commandsToExecute()))
        userAuthenticated(nullptr);
    else
        userDeauthenticated(nullptr);
}

void NATController::toggleAuthentication(QObject *)
{
    BLAuthentication *auth = BLAuthentication::sharedInstance();
    if (auth->isAuthenticated(commandsToExecute()))
        auth->deauthenticate();
    else
        auth->authenticate(commandsToExecute());
}

void NATController::userAuthenticated(QObject *)
{
    authButton->setIcon(Images::named(QStringLiteral("unlocked")));
    authLabel->setText(QStringLiteral("Click to disallow changes"));
}

void NATController::userDeauthenticated(QObject *)
{
    authButton->setIcon(Images::named(QStringLiteral("locked")));
    authLabel->setText(QStringLiteral("Click to allow changes"));
}

void NATController::openDocument(const QString &name, const QString &title)
{
    // The bundle carries each RTF document also as HTML, which Velloran's help window shows.
    const QString path = Bundle::pathForResource(name, QStringLiteral("html"));
    if (path.isEmpty() || !HelpWindow::showDocument(window, path, title))
        runErr(QStringLiteral("The document %1.rtf is missing from Velloran's application folder.")
                   .arg(name));
}

void NATController::openReadme(QObject *)
{
    openDocument(QStringLiteral("Readme"), QStringLiteral("Velloran Read Me"));
}

void NATController::openSetup(QObject *)
{
    openDocument(QStringLiteral("Setup"), QStringLiteral("Setting Up Clients"));
}

void NATController::displayAboutWindow(QObject *)
{
    QMessageBox::about(window, QStringLiteral("About %1").arg(QApplication::applicationName()),
                       QStringLiteral("<b>%1</b> %2<p>Shares this computer's Internet connection "
                                      "with a local network.</p>")
                           .arg(QApplication::applicationName().toHtmlEscaped(),
                                QApplication::applicationVersion().toHtmlEscaped()));
}

// ---- name server and start at boot ----

void NATController::toggleDNS(QObject *)
{
    BLAuthentication *auth = BLAuthentication::sharedInstance();
    if (m_DNSrunning) {
        auth->killProcess(kOwnNamed);
        setDNSrunning(false);
        return;
    }
    // Told now, or the box would show a server that can't run or can't answer.
    if (!QFileInfo(QStringLiteral("/usr/sbin/named")).isExecutable()) {
        runErr(QStringLiteral("The name server /usr/sbin/named is not installed. Install the "
                              "package bind9 (apt install bind9), then tick the box again."));
        setDNSrunning(false);
        return;
    }
    if (const auto holder = SharingChecks::portHolder(
            SharingChecks::parseAddress(routerAddress()).value_or(0), 53)) {
        runErr(QStringLiteral("Port 53 at %1 is already held by %2, so the name server could not "
                              "answer the local network there. Stop that program first.")
                   .arg(routerAddress(), *holder));
        setDNSrunning(false);
        return;
    }
    const QString setup = Bundle::resourcePath() + QStringLiteral("/named_setup");
    bool started = false;
    if (QFileInfo::exists(kNamedConf) && QFileInfo::exists(kNamedCache)) {
        QStringList arguments;
        for (const std::string &word : NameServer::startArguments())
            arguments << QString::fromStdString(word);
        started = auth->executeCommand(QStringLiteral("/usr/sbin/named"), arguments);
    } else if (QFileInfo::exists(kNamedConf)) {
        started = auth->executeCommand(setup, {});
    } else if (auth->executeCommand(
                   QStringLiteral("/bin/cp"),
                   {Bundle::resourcePath() + QStringLiteral("/named.conf"), kNamedConf})) {
        started = auth->executeCommand(setup, {});
    } else {
        stepFailed(QStringLiteral("Unable to make DNS configuration file; an error occured"));
    }
    // A server that could not be started is not shown as running.
    setDNSrunning(started);
}

void NATController::toggleLoadOnStartup(QObject *)
{
    BLAuthentication *auth = BLAuthentication::sharedInstance();
    if (m_loadOnStartup) {
        if (auth->executeCommand(Bundle::resourcePath() + QStringLiteral("/load_remove"), {})) {
            setLoadOnStartup(false);
        } else {
            stepFailed(QStringLiteral("Unable to remove startup files; an error occured"));
            setLoadOnStartup(true);
        }
        return;
    }
    const QString plist =
        Bundle::bundlePath() + QStringLiteral("/Contents/Resources/StartupParameters.plist");
    const QString staged = NATLoader::parametersListPath();
    // Root's cp must write into a file of ours, never through a link someone left in /tmp;
    // and nothing half-made may reach the install script.
    if (!StagingFile::write(staged, QByteArray()) ||
        !auth->executeCommand(QStringLiteral("/bin/cp"), {plist, staged})) {
        StagingFile::removeOwn(staged);
        stepFailed(QStringLiteral("Unable to make startup files; an error occured"));
        setLoadOnStartup(false);
        return;
    }
    const bool made =
        NATLoaderOutlet->makeStartupItem() && NATLoaderOutlet->makeConfigFile() &&
        auth->executeCommand(Bundle::resourcePath() + QStringLiteral("/load_install"));
    if (!made) {
        // A later install must not pick up what this attempt left half made.
        for (const QString &path :
             {staged, NATLoader::startupItemPath(), NATLoader::configFilePath()})
            StagingFile::removeOwn(path);
        stepFailed(QStringLiteral("Unable to make startup files; an error occured"));
    }
    // A failed install leaves in place what was there before: the box shows what the disk holds.
    setLoadOnStartup(made || QFileInfo::exists(kStartupItem));
}

// The name server serves the LAN of the sharing now in place, and listens there, from lists root
// makes itself; while the server is off nothing changes.
void NATController::refreshNameServer()
{
    if (m_DNSrunning)
        BLAuthentication::sharedInstance()->executeCommand(Bundle::resourcePath() +
                                                           QStringLiteral("/named_lists"));
}

void NATController::setDNSrunning(bool isRunning)
{
    m_DNSrunning = isRunning;
    named->setChecked(isRunning);
}

void NATController::setLoadOnStartup(bool installed)
{
    m_loadOnStartup = installed;
    load->setChecked(installed);
}

// ---- reset ----

void NATController::reset(QObject *)
{
    setFromDefaults();
    named->setChecked(false);
    load->setChecked(false);
    if (m_DNSrunning) {
        BLAuthentication::sharedInstance()->killProcess(kOwnNamed);
        m_DNSrunning = false;
        Beep::beep();
    }
    setRunning(natdIsRunning());
    if (m_loadOnStartup)
        toggleLoadOnStartup(nullptr);
}
