// The real window, its boot files, rights and the process lookup, with the recording runner.
#include "ApplicationMain.h"
#include "BLAuthentication.h"
#include "NATController.h"
#include "NATLoader.h"
#include "NATSetter.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"
#include "desktop/Bundle.h"
#include "desktop/HelpWindow.h"
#include "network/DhcpServer.h"
#include "network/InterfaceRegistry.h"
#include "network/SharingChecks.h"
#include "privilege/BootFiles.h"
#include "privilege/LinuxAuthorization.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <csignal>
#include <netinet/in.h>
#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>

using TestSupport::readAll;

namespace {
using Answer = RecordingAuthorization::Answer;
const QStringList kTools{"/usr/sbin/sysctl", "/sbin/ifconfig", "/usr/sbin/natd", "/sbin/ipfw"};
const QString kResources = QStringLiteral(VELLORAN_TEST_BUNDLE "/Contents/Resources");
const QString kModem = QStringLiteral("Modem or PPPoE (ppp0)");
const QStringList kStart{"run /usr/sbin/natd -interface eth0",
                         "run /sbin/ipfw -f flush",
                         "run /sbin/ipfw add 95 divert natd all from any to any via eth0",
                         "run /sbin/ipfw add 65530 pass all from any to any",
                         "run /sbin/ifconfig eth1 192.168.2.1 netmask 255.255.255.0",
                         "run /usr/sbin/sysctl -w net.inet.ip.forwarding=1"};
const QStringList kStop{"run /sbin/ifconfig eth1 192.168.2.1 -alias", "run /sbin/ipfw -f flush"};
const QString kCantMake = QStringLiteral("alert Unable to make startup files; an error occured");
const QString kNoPid = QStringLiteral("log Error killing process 0, invalid PID.");
const QString kOff = QStringLiteral("Start Internet Sharing, Click to disallow changes");
const QString kOn = QStringLiteral("Stop Internet Sharing, Click to disallow changes");

const auto killed = [](qint64 pid) { return QStringLiteral("run /bin/kill %1").arg(pid); };
// Rights are not held, and a password request is cancelled.
void deny(RecordingAuthorization &rec)
{
    rec.rightsHeld = false;
    rec.answer = Answer::Cancel;
}
} // namespace

// The launched window over a sysfs tree of eth0 and eth1: eth0 shared to eth1 at 192.168.2.1/24.
class Window : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, prefs.path());
        for (const char *dir : {"class/net", "class/tty", "drivers"})
            QDir(sysfs.path()).mkpath(dir);
        addNet("eth0", 2);
        addNet("eth1", 3);
        InterfaceRegistry::setRoot(sysfs.path());
        // The machine the pre-flight checks see: the same two interfaces, up, nothing else.
        SharingChecks::setSource([] {
            return SharingChecks::System{{{"eth0", true, {}}, {"eth1", true, {}}}, {}};
        });
        NATLoader::setStagingFolder(stage.path());
        loaded = MainWindowLoader::load();
        controller = loaded->controller;
        controller->reflowPopups(false);
        controller->applicationDidFinishLaunching(nullptr);
        choose("eth0", "eth1");
        ui().dynamic->setChecked(false);
        rec.onRun = [](const QString &line) {
            if (line.startsWith("/bin/kill "))
                ::kill(line.section(' ', 1).toInt(), SIGTERM);
        };
    }
    void TearDown() override
    {
        loaded.reset();
        InterfaceRegistry::setRoot(QStringLiteral("/sys"));
        SharingChecks::setSource({});
        NATLoader::setStagingFolder(QStringLiteral("/tmp"));
    }
    Ui::MainWindow &ui() { return loaded->ui; }
    void addNet(const QString &name, int ifindex, int type = 1, bool wireless = false)
    {
        const QString dir = sysfs.path() + "/class/net/" + name;
        QDir().mkpath(wireless ? dir + "/wireless" : dir);
        TestSupport::writeFile(dir + "/type", QByteArray::number(type) + '\n');
        TestSupport::writeFile(dir + "/ifindex", QByteArray::number(ifindex) + '\n');
    }
    void addTty(const QString &name, const QString &driver, const QString &subsystem = {})
    {
        const QString dir = sysfs.path() + "/class/tty/" + name + "/device";
        QDir().mkpath(dir);
        for (const auto &[target, link] : {std::pair{"/drivers/" + driver, dir + "/driver"},
                                           std::pair{"/bus/" + subsystem, dir + "/subsystem"}})
            if (!target.endsWith('/') && QDir().mkpath(sysfs.path() + target))
                QFile::link(sysfs.path() + target, link);
    }
    // Picks the menus' entries ("eth0" for "Ethernet Interface (eth0)", or a whole title).
    void choose(const QString &external, const QString &internal)
    {
        for (auto [menu, name] : {std::pair{ui().externalInterface, external},
                                  std::pair{ui().internalInterface, internal}}) {
            menu->setCurrentIndex(
                menu->findText(name.contains(' ') ? name : "Ethernet Interface (" + name + ')'));
            EXPECT_NE(menu->currentIndex(), -1) << qPrintable(name);
        }
    }
    // Types each dotted part into its own field.
    void type(const QString &router, const QString &subnet = QStringLiteral("255.255.255.0"))
    {
        const QStringList parts = router.split('.') + subnet.split('.');
        for (int i = 0; i < 8; ++i)
            fields()[i]->setText(parts.value(i));
    }
    QList<QLineEdit *> fields()
    {
        return {ui().route1, ui().route2, ui().route3, ui().route4,
                ui().sub1,   ui().sub2,   ui().sub3,   ui().sub4};
    }
    QList<QCheckBox *> options() // in the order getNatArgs lists them
    {
        return {ui().ports,        ui().sockets, ui().aliasLog,
                ui().denyIncoming, ui().denyLog, ui().dynamic};
    }
    static QStringList items(QComboBox *menu)
    {
        QStringList list;
        for (int i = 0; i < menu->count(); ++i)
            list << menu->itemText(i);
        return list;
    }

    QTemporaryDir prefs, sysfs, stage;
    RecordingAuthorization rec;
    std::unique_ptr<LoadedWindow> loaded;
    NATController *controller = nullptr;
    // What ran, was said and beeped while the button was clicked.
    QStringList click(QAbstractButton *button)
    {
        rec.clearRecord();
        button->click();
        return rec.events;
    }
    QStringList press() { return click(ui().sharingButton); }
    // The sharing button, the padlock, then start at boot and the name server (flag or box).
    QString state()
    {
        return ui().sharingButton->text() + ", " + ui().authLabel->text() +
               (controller->loadOnStartup() || ui().load->isChecked() ? ", boot" : "") +
               (controller->DNSrunning() || ui().named->isChecked() ? ", dns" : "");
    }
    QList<QCheckBox *> boxes() { return options() << ui().dhcp; }
    // The settings shown: options and DHCP as bits, router and mask, both menus.
    QString shown()
    {
        QString line;
        for (QCheckBox *box : boxes())
            line += box->isChecked() ? '1' : '0';
        for (QLineEdit *field : fields())
            line += (field == ui().route1 || field == ui().sub1 ? ' ' : '.') + field->text();
        return line + ' ' + ui().externalInterface->currentText() + '|' +
               ui().internalInterface->currentText();
    }
    NATLoader *loader() { return loaded->loader; }
    QString script() const { return stage.filePath("Velloran.tmp"); }
    QString config() const { return stage.filePath("natd.conf.tmp"); }
    QStringList staged() const { return QDir(stage.path()).entryList(QDir::Files | QDir::System); }
};

TEST_F(Window, NatdAndIfconfigArgumentsFollowTheWindow)
{
    EXPECT_EQ(controller->commandsToExecute(), kTools);
    // Each option alone, all of them, none, then none on the modem.
    const QStringList flags =
        QString("-same_ports -use_sockets -log -deny_incoming -log_denied -dynamic").split(' ');
    for (const int checked : {1, 2, 4, 8, 16, 32, 63, 0, -1}) {
        QStringList expected;
        for (int i = 0; i < 6; ++i) {
            options()[i]->setChecked(checked > 0 && (checked & (1 << i)));
            if (options()[i]->isChecked())
                expected << flags[i];
        }
        choose(checked < 0 ? kModem : "eth1", "eth0");
        EXPECT_EQ(controller->getNatArgs().value_or(QStringList()),
                  expected << "-interface" << (checked < 0 ? "ppp0" : "eth1"));
    }
    // One port: the address goes beside the one it has, and is recorded for the stop.
    choose("eth0", "eth0");
    EXPECT_EQ(controller->getIfconfigArgs().value_or(QStringList()).join(' '),
              "eth0 192.168.2.1 netmask 255.255.255.0 alias");
    choose("eth1", "eth0");
    type("010..1 2. 4", "...");
    EXPECT_EQ(controller->getIfconfigArgs().value_or(QStringList()).join('|'),
              "eth0|010..1 2. 4|netmask|...");
    // No interface: no list with a hole in it.
    ui().internalInterface->setCurrentIndex(-1);
    ui().externalInterface->setCurrentIndex(-1);
    EXPECT_FALSE(controller->getIfconfigArgs() || controller->getNatArgs());
}

TEST_F(Window, MenusListTheHardwareByNameAndKeepTheChoice)
{
    addNet("lo", 1, 772);
    addNet("wlan0", 4, 1, true); // the first wireless one is the AirPort card
    addNet("wlan1", 5, 1, true);
    addNet("ppp1", 6, 512);
    addNet("Eth9", 7);
    addTty("ttyACM0", "cdc_acm");
    addTty("ttyUSB0", "pl2303", "usb-serial");
    addTty("ttyS0", "serial8250");
    controller->reflowPopups(false);
    const QStringList internal{"Ethernet Interface (Eth9)", "Ethernet Interface (eth0)",
                               "Ethernet Interface (eth1)", "Serial (ttyACM0)",
                               "Serial (ttyUSB0)",          "AirPort Card (wlan0)",
                               "Ethernet Interface (wlan1)"};
    EXPECT_EQ(items(ui().internalInterface), internal);
    EXPECT_EQ(items(ui().externalInterface), internal.mid(0, 3) << kModem << internal.mid(3));
    EXPECT_EQ(ui().externalInterface->currentIndex() + ui().internalInterface->currentIndex(), 0);
    choose("eth1", "eth0");
    addNet("eme0", 8); // sorts in front of both
    controller->reflowPopups(true);
    EXPECT_EQ(shown().section(' ', 3), "Ethernet Interface (eth1)|Ethernet Interface (eth0)");
    // The user's pick arrives as "activated", and dynamic follows it.
    for (const QString &title : {kModem, QStringLiteral("Serial (ttyACM0)"), kModem}) {
        ui().externalInterface->setCurrentText(title);
        emit ui().externalInterface->activated(ui().externalInterface->currentIndex());
        EXPECT_EQ(ui().dynamic->isChecked(), title == kModem) << qPrintable(title);
    }
}

TEST_F(Window, SettingsAreSavedUnderTheirKeysAndPutBack)
{
    const auto store = [] { return NATController::preferences(); };
    ui().internalInterface->setCurrentIndex(1);
    controller->setFromDefaults(); // first run: the modem entry, with a dynamic address
    EXPECT_EQ(shown(),
              "0000010 192.168.2.1 255.255.255.0 " + kModem + "|Ethernet Interface (eth0)");
    for (int i = 0; i < 7; ++i)
        boxes()[i]->setChecked(i != 3 && i != 5);
    choose(kModem, "eth1");
    type("10.0.1.1");
    const QString saved = shown();
    controller->saveDefaults();
    QStringList keys;
    for (const QString &key : store()->allKeys())
        keys << key + '=' + store()->value(key).toString();
    EXPECT_EQ(keys.join(' '),
              "AliasLog=true DHCP=true DenialLog=true DenyIncoming=false DynmaicIP=false "
              "ExternalInterface=Modem or PPPoE (ppp0) HasRun=true InternalInterface=Ethernet "
              "Interface (eth1) PreservePorts=true Router=10.0.1.1 Subnet=255.255.255.0 "
              "UseSockets=true");
    for (int i = 0; i < 7; ++i)
        boxes()[i]->setChecked(i == 3);
    choose("eth0", "eth0");
    type("1.1.1.1", "1.1.1.1");
    controller->setFromDefaults();
    EXPECT_EQ(shown(), saved);
    store()->remove("DHCP");   // saved before DHCP was offered: off
    store()->remove("Router"); // missing: the fields stay
    type("1.1.1.1");
    store()->setValue("Subnet", "010. 7x."); // each part's leading integer, a missing one 0
    controller->setFromDefaults();
    EXPECT_EQ(shown().section(' ', 0, 2), "1110100 1.1.1.1 10.7.0.0");
    // Vanished interfaces fall back to the second entry, else the first, and to the modem.
    choose("eth1", "eth1");
    controller->saveDefaults();
    addNet("eth5", 5);
    for (const auto &[gone, now] :
         {std::pair<QString, QString>{"eth1", "Ethernet Interface (eth5)"},
          {"eth0", "Ethernet Interface (eth5)"},
          {"eth5", ""}}) {
        QDir(sysfs.filePath("class/net/" + gone)).removeRecursively();
        controller->reflowPopups(false);
        controller->setFromDefaults();
        EXPECT_EQ(shown().section(' ', 3), kModem + '|' + now);
    }
    controller->saveDefaults(); // an empty menu stores no title
    EXPECT_FALSE(store()->contains("InternalInterface"));
}

TEST_F(Window, EachDocumentShowsInAWindowTitledAfterItOrIsSaidMissingAndPPPoEIsFoundByItsName)
{
    // Velloran's own help windows, a window to assistive tools too: no other program is asked.
    for (QAction *document : {ui().actionReadme, ui().actionSetup, ui().actionReadme})
        document->trigger();
    QStringList shown;
    for (HelpWindow *help : loaded->window->findChildren<HelpWindow *>()) {
        QAccessibleInterface *seen = QAccessible::queryAccessibleInterface(help);
        shown << seen->text(QAccessible::Name) + (seen->role() == QAccessible::Window ? "" : "?") +
                     (help->isVisible() &&
                              help->toPlainText().trimmed().startsWith(help->windowTitle())
                          ? ""
                          : "!");
    }
    EXPECT_EQ(shown, (QStringList{"Velloran Read Me", "Setting Up Clients"}));
    Bundle::setBundlePath(stage.path());
    ui().actionReadme->trigger();
    Bundle::setBundlePath(QStringLiteral(VELLORAN_TEST_BUNDLE));
    EXPECT_EQ(rec.events,
              QStringList{
                  "alert The document Readme.rtf is missing from Velloran's application folder."});
    // PPPoE is there when the kernel lists an interface named pppoe0 (in a namespace of its own).
    VELLORAN_REQUIRE_ROOT();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(unshare(CLONE_NEWNET) == 0 && !controller->checkForPPPoE() &&
                           TestSupport::run("ip", {"link", "add", "pppoe0", "type", "veth", "peer",
                                                   "name", "p"}) == 0 &&
                           controller->checkForPPPoE()),
                ::testing::ExitedWithCode(1), "");
}

TEST_F(Window, StartRunsTheToolsInOrderAndStopUndoesThem)
{
    EXPECT_EQ(press(), kStart);
    EXPECT_EQ(state(), kOn);
    {
        FakeProcess natd({"/usr/sbin/natd", "-interface", "eth0"});
        rec.failStart("/bin/kill", EPERM); // root won't end it: said once, and sharing goes on
        EXPECT_EQ(press(), (QStringList{killed(natd.pid), "beep",
                                        "log Error 1 in AuthorizationExecuteWithPrivileges",
                                        "log \nPath: /bin/kill",
                                        "alert There was an error terminating DidivevuZidazar"}) +
                               kStop);
        EXPECT_EQ(state(), kOn);
        rec.failStart("/bin/kill", 0);
        EXPECT_EQ(press(), QStringList{killed(natd.pid)} + kStop);
    }
    EXPECT_EQ(state(), kOff);
    // natd gone: the address and the rules still go, and the failure is said.
    press();
    EXPECT_EQ(press(), (QStringList{"beep", kNoPid, "beep", kNoPid,
                                    "alert There was an error terminating DidivevuZidazar"}) +
                           kStop);
    EXPECT_EQ(state(), kOff);
    // One port: the stop removes the address it added, whatever the fields say by then.
    choose("eth0", "eth0");
    press();
    type("192.168.77.1");
    choose("eth0", "eth1");
    EXPECT_TRUE(press().contains("run /sbin/ifconfig eth0 192.168.2.1 -alias"));
    // Without both interfaces nothing starts.
    ui().internalInterface->setCurrentIndex(-1);
    EXPECT_EQ(press(), QStringList{"alert Choose an external and an internal interface before "
                                   "starting Internet Sharing."});
    // The address went before the Stop: the real ifconfig, in a network of its own, takes that.
    VELLORAN_REQUIRE_ROOT();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    choose("eth0", "eth1");
    press();
    EXPECT_EXIT(
        {
            FakeProcess natd({"/usr/sbin/natd", "-interface", "eth0"});
            const bool netns = unshare(CLONE_NEWNET) == 0 &&
                               TestSupport::run("ip", {"link", "add", "eth1", "type", "veth"}) == 0;
            AuthorizationService::setCurrent(LinuxAuthorization::shared());
            std::_Exit(netns && press().isEmpty() && state() == kOff ? 3 : 1);
        },
        ::testing::ExitedWithCode(3), "");
}

TEST_F(Window, AFailedStepIsSaidAndLeavesEarlierStepsInPlace)
{
    for (const int failing : {5, 4, 1, 0}) { // each failure comes before the ones already set
        // One natd at a time: the one a failed start left is ended before the next start.
        FakeProcess natd({"/usr/sbin/natd", "-interface", "eth0"});
        const QString path = kStart[failing].section(' ', 1, 1);
        rec.failStart(path);
        EXPECT_EQ(
            press().join('|'),
            (failing == 5 ? "" : killed(natd.pid) + '|') + kStart.mid(0, failing + 1).join('|') +
                "|beep|log Error 2 in AuthorizationExecuteWithPrivileges|log \nPath: " + path +
                (path == "/sbin/ipfw" ? "|log Error configuring ipfw" : "") +
                "|alert There was an error while starting Internet Sharing (" +
                path.section('/', -1) + ')');
        EXPECT_EQ(state(), kOff);
    }
    // Root refused natd: when others can change where Velloran lies, that is said instead.
    VELLORAN_REQUIRE_ROOT(); // only root's folders are root's alone
    rec.failStart("/usr/sbin/natd", EPERM);
    const QString app = stage.filePath("Velloran.app");
    ASSERT_TRUE(QDir(app).mkpath("Contents/Resources"));
    for (const auto others : {QFile::Permissions(), QFile::Permissions(QFile::WriteOther)}) {
        QFile::setPermissions(app, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | others);
        Bundle::setBundlePath(app);
        const QString said = press().last();
        Bundle::setBundlePath(QStringLiteral(VELLORAN_TEST_BUNDLE));
        EXPECT_EQ(said.contains(app + ": users other than root") && said.contains("tools/setup"),
                  others != 0)
            << qPrintable(said);
    }
}

TEST_F(Window, PasswordAndLock)
{
    deny(rec);
    controller->applicationWillBecomeActive(nullptr);
    EXPECT_EQ(state(), "Start Internet Sharing, Click to allow changes");
    EXPECT_EQ(press(),
              QStringList{"alert There was an error while starting Internet Sharing (natd)"});
    EXPECT_EQ(rec.prompts, 1);
    rec.answer = Answer::Grant;
    EXPECT_EQ(press(), kStart);
    EXPECT_EQ(state() + QString::number(rec.prompts), kOn + '1');
    click(ui().authButton); // held: the click drops the rights
    EXPECT_EQ(state(), "Stop Internet Sharing, Click to allow changes");
    // Quitting saves and drops the rights without touching the lock.
    click(ui().authButton);
    controller->applicationWillTerminate(nullptr);
    EXPECT_TRUE(NATController::preferences()->value("HasRun").toBool());
    EXPECT_EQ(state() + QString::number(rec.releases), kOn + '1');
}

TEST_F(Window, StartAtBootIsRemadeBeforeEachStartTogglesByTheFlagAndNothingHalfMadeStays)
{
    controller->saveDefaults(); // what the reset puts back
    const QStringList install{"run /bin/cp " + kResources + "/StartupParameters.plist " +
                                  stage.filePath("Velloran.StartupParameters.plist.tmp"),
                              "run " + kResources + "/load_install"};
    ui().route4->setText(QStringLiteral("1;reboot")); // an unsafe word never reaches the script
    EXPECT_EQ(click(ui().load), (QStringList{install[0], kCantMake}));
    EXPECT_EQ(staged(), QStringList()); // nothing half made stays
    type("192.168.2.1");
    deny(rec);
    EXPECT_EQ(click(ui().load), QStringList{kCantMake});
    EXPECT_EQ(staged(), QStringList()); // not even the empty file for root's copy stays
    rec.answer = Answer::Grant;
    EXPECT_EQ(click(ui().load), install);
    ui().load->setChecked(false); // what the box shows doesn't decide the direction
    deny(rec);
    EXPECT_EQ(click(ui().load).last(), "alert Unable to remove startup files; an error occured");
    EXPECT_EQ(state(), kOff + ", boot");
    rec.answer = Answer::Grant;
    EXPECT_EQ(press(), install + kStart);
    EXPECT_EQ(staged().join(' '),
              "natd.conf.tmp Velloran.StartupParameters.plist.tmp Velloran.tmp");
    EXPECT_EQ(state(), kOn + ", boot");
    EXPECT_EQ(click(ui().resetButton), QStringList{"run " + kResources + "/load_remove"});
    EXPECT_EQ(state(), kOff);
    // The item can't be remade: said, start at boot off, sharing on all the same.
    click(ui().load);
    rec.failStart("/bin/cp");
    EXPECT_EQ(press().mid(4), QStringList{kCantMake} + kStart);
    EXPECT_EQ(state(), kOn);
}

TEST_F(Window, LaunchFindsTheDaemonsAndResetEndsTheNameServer)
{
    {
        FakeProcess natd({"/opt/elsewhere/natd", "-f", "/etc/natd.conf"}); // under another path
        FakeProcess named({"/usr/sbin/named", "-c", "/etc/named.conf"});
        ui().ports->setChecked(true);
        controller->saveDefaults();
        controller->applicationDidFinishLaunching(nullptr);
        EXPECT_EQ(state(), kOn + ", dns");
        ui().ports->setChecked(false);
        EXPECT_EQ(click(ui().resetButton), (QStringList{killed(named.pid), "beep"}));
        EXPECT_EQ(state(), kOn);
        EXPECT_TRUE(ui().ports->isChecked());
    }
    // Neither runs any more: nothing to end, no beep, and sharing shows as off.
    EXPECT_EQ(click(ui().resetButton), QStringList());
    EXPECT_EQ(state(), kOff);
}

TEST_F(Window, BootFilesMatchTheirGoldenCopiesByteForByte)
{
    const auto golden = [](const QString &name) {
        return readAll(VELLORAN_TEST_SOURCE_DIR "/golden/" + name);
    };
    const auto text = [](const std::optional<QStringList> &lines) {
        return lines.value_or(QStringList{"none"}).join(QString()).toLatin1();
    };
    const QStringList ifconfig{"eth0", "192.168.2.1", "netmask", "255.255.255.0"};
    EXPECT_EQ(text(NATLoader::startupLines("pppoe0", ifconfig, false)), golden("Velloran.pppoe"));
    // named gives up root to bind, where there is one to give it to.
    EXPECT_EQ(text(NATLoader::startupLines("eth1", ifconfig, true)),
              golden("Velloran.named").replace(" -u bind", getpwnam("bind") ? " -u bind" : ""));
    EXPECT_EQ(
        text(NATLoader::natConfigLines({"-same_ports", "-verbose", "-log", "-interface", "eth1"})),
        golden("natd.conf.unknown"));
    EXPECT_EQ(rec.events, QStringList{"log Bad paramater in parseNatArgs:"});
    // Written from the window, each over the file before.
    choose("eth1", "eth0");
    TestSupport::writeFile(script(), QByteArray(4096, 'x'));
    for (const QString name :
         {"natd.conf.all", "Velloran.plain", "natd.conf.none", "Velloran.alias"}) {
        for (QCheckBox *box : options())
            box->setChecked(name.endsWith("all"));
        if (name.endsWith("alias"))
            choose("eth0", "eth0");
        const bool conf = name.startsWith("natd");
        ASSERT_TRUE(conf ? loader()->makeConfigFile() : loader()->makeStartupItem());
        EXPECT_EQ(readAll(conf ? config() : script()), golden(name)) << qPrintable(name);
    }
}

TEST(NatdConfig, FollowsTheListInOrderAndRefusesUnsafeNames)
{
    // Elements, then the lines between header and footer: "?" a diagnostic, "!" a refusal.
    for (const auto &[args, body] :
         {std::pair<QString, QString>{"-log_denied|-log", "log_denied yes|log yes|"},
          {"-interface|-deny_incoming", "!"},
          {"x-use_socketsx", "use_sockets yes|"},
          {"-punch_fw|-deny_incoming||-interface|eth0", "??deny_incoming yes|interface eth0|"},
          {"-log|-interface", "!"},
          {"-interface|eth0\nlog_denied yes", "!"},
          {"-interface|eth0 ", "!"}}) {
        CapturedFeedback feedback;
        const auto lines = NATLoader::natConfigLines(args.split('|'));
        EXPECT_EQ(QString(feedback.log().size(), '?') +
                      (lines ? lines->mid(3, lines->size() - 5).join(QString()) : "!"),
                  QString(body).replace('|', '\n'))
            << qPrintable(args);
    }
}

// Machine: "NAME[-] ADDRESS/PREFIX ..." per interface ('-': down), eth0 with the default route.
TEST(Checks, EachTakesJustInsideItsLimitAndRefusesJustOutside)
{
    const QString base = "eth0 203.0.113.2/24,eth1", eth = "eth0>eth1";
    const QString lan = "192.168.2.1/255.255.255.0";
    const QString badMask = "not a valid subnet", badRouter = "not a valid address";
    // Row, router/mask, external>internal, machine, words of the alert (none when inside).
    const std::tuple<const char *, QString, QString, QString, QString> rows[] = {
        {"=MaskSlash30Inside", "192.168.2.1/255.255.255.252", eth, base, ""},
        {"!MaskSlash31Outside", "192.168.2.1/255.255.255.254", eth, base, badMask},
        {"!MaskZeroOutside", "192.168.2.1/0.0.0.0", eth, base, badMask},
        {"=Router223Inside", "223.1.2.1/255.255.255.0", eth, base, ""},
        {"!Router224Outside", "224.1.2.1/255.255.255.0", eth, base, badRouter},
        {"!Router127Outside", "127.1.2.1/255.255.255.0", eth, base, badRouter},
        {"=RouterLastHostThreeDigitsInside", "192.168.2.254/255.255.255.0", eth, base, ""},
        {"!RouterBroadcastOutside", "192.168.2.255/255.255.255.0", eth, base, badRouter},
        {"=RouterPartOf3DigitsInside", "192.168.2.001/255.255.255.0", eth, base, ""},
        {"!RouterPartOf4DigitsOutside", "192.168.2.0001/255.255.255.0", eth, base, badRouter},
        {"!RouterPartSignedOutside", "192.168.2.+1/255.255.255.0", eth, base, badRouter},
        {"=Ppp0UpInside", lan, "ppp0>eth1", base + ",ppp0 10.0.0.2/32", ""},
        {"!Ppp0DownOutside", lan, "ppp0>eth1", base + ",ppp0-", "(ppp0) is not up"},
        {"!InternalGoneOutside", lan, "eth0>eth9", base, "eth9 chosen in"},
        {"!InternalDefaultRouteOutside", lan, "eth1>eth0", base, "default route"},
        {"!InternalExternalAddrOutside", lan, eth, base + " 203.0.113.2/32", "connection's"},
        {"=InternalOtherAddressInside", lan, eth, base + " 203.0.113.3/32", ""},
        {"=OnePortDefaultRouteInside", lan, "eth0>eth0", base, ""},
        {"!OverlapContainedOutside", lan, eth, "eth0 203.0.113.2/24 192.168.2.200/25,eth1",
         "overlaps 192.168.2.128/25"},
        {"!OverlapContainingOutside", lan, eth, "eth0 203.0.113.2/24 192.168.7.1/16,eth1",
         "overlaps 192.168.0.0/16"},
        {"=OverlapNeighbourInside", lan, eth,
         "eth0 203.0.113.2/24 192.168.3.1/24 192.169.0.1/16,eth1", ""}};
    for (const auto &[row, router, menus, machine, alert] : rows) {
        SharingChecks::System system{{}, {"eth0"}};
        for (const QString &spec : machine.split(',')) {
            QStringList words = spec.split(' ');
            const QString name = words.takeFirst();
            system.interfaces.append({QString(name).remove('-'), !name.endsWith('-'), {}});
            for (const QString &address : words)
                system.interfaces.last().addresses.append(
                    {*SharingChecks::parseAddress(address.section('/', 0, 0)),
                     address.section('/', 1).toInt()});
        }
        const SharingChecks::Choice choice{router.section('/', 0, 0), router.section('/', 1),
                                           menus.section('>', 0, 0), menus.section('>', 1)};
        const auto said = SharingChecks::problem(choice, system);
        EXPECT_TRUE(row[0] == '=' ? !said : said && said->contains(alert))
            << row << ": " << qPrintable(said.value_or("(none)"));
    }
    // The range leaves the hand-numbered addresses and the router out, wherever it sits.
    const std::tuple<const char *, QString, QString> ranges[] = {
        {"RouterInTheMiddleInside", "192.168.2.100/255.255.255.0", "192.168.2.101,192.168.2.254"},
        {"RouterAtTheTopInside", "192.168.2.200/255.255.255.0", "192.168.2.10,192.168.2.199"},
        {"Slash30Inside", "192.168.2.1/255.255.255.252", "192.168.2.2,192.168.2.2"},
        {"Slash31Outside", "192.168.2.0/255.255.255.254", ""},
        {"RouterBroadcastOutside", "192.168.2.3/255.255.255.252", ""},
        {"RouterNetworkOutside", "192.168.2.0/255.255.255.252", ""}};
    for (const auto &[row, net, range] : ranges) {
        const auto plan =
            DhcpServer::arguments("eth1", net.section('/', 0, 0), net.section('/', 1), {});
        EXPECT_EQ(plan.arguments.filter("--dhcp-range=").join(QString()).section(',', 0, 1).mid(13),
                  range)
            << row;
        EXPECT_EQ(plan.error.isEmpty(), !range.isEmpty()) << row;
    }
    // Only words root's shell takes literally go to the boot script; only our own line is ours.
    EXPECT_TRUE(DhcpServer::startupLine({"--interface=a_Z.9+@-", "--dhcp-range=1.2.3.4,,:/="}));
    for (const char *word : {"--interface=a;b", "--interface=a b", "--interface=a:b",
                             "--dhcp-range=a@b", "--dhcp-range=a b", "--dhcp-range=a;b"})
        EXPECT_FALSE(DhcpServer::startupLine({word})) << word;
    QStringList line = QStringList{"/usr/sbin/dnsmasq"} +
                       DhcpServer::arguments("eth1", "192.168.2.1", "255.255.255.0", {}).arguments;
    EXPECT_TRUE(DhcpServer::isVelloranServer(line));
    EXPECT_FALSE(DhcpServer::isVelloranServer(line << "--port=53"));
    // Port 53 is held by a listener at the router's address, not by a connection from it.
    VELLORAN_REQUIRE_ROOT();
    const auto heldWhenConnectedThenListening = [] {
        const auto socketAt = [](quint16 port) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0), reuse = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
            sockaddr_in at{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
            return ::bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0 ? fd : -1;
        };
        if (unshare(CLONE_NEWNET) != 0 || TestSupport::run("ip", {"link", "set", "lo", "up"}))
            return 1;
        const int server = socketAt(9), client = socketAt(53);
        sockaddr_in to{AF_INET, htons(9), {htonl(INADDR_LOOPBACK)}, {}};
        const bool connected = ::listen(server, 1) == 0 &&
                               ::connect(client, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
        const bool heldConnected = SharingChecks::portHolder(INADDR_LOOPBACK, 53).has_value();
        ::close(client);
        const int listener = socketAt(53);
        const bool heldListening = ::listen(listener, 1) == 0 &&
                                   SharingChecks::portHolder(INADDR_LOOPBACK, 53).has_value();
        return connected && !heldConnected && heldListening ? 3 : 2;
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(heldWhenConnectedThenListening()), ::testing::ExitedWithCode(3), "");
}

// Root takes a staged file only when its values make it again byte for byte ('=' takes).
TEST(BootFiles, RootMakesAgainOnlyWhatVelloranMakes)
{
    const QByteArray end = "\n#\n# End";
    const auto server = DhcpServer::arguments("eth0", "192.168.2.1", "255.255.255.0", {});
    const QByteArray dhcp = '\n' + DhcpServer::startupLine(server.arguments)->toUtf8() + end;
    const QString folder = VELLORAN_TEST_SOURCE_DIR "/golden/";
    QList<std::tuple<QString, QByteArray, QByteArray>> rows;
    for (const QString &name : QDir(folder).entryList(QDir::Files))
        rows.append({'=' + name, {}, {}});
    rows += {{"=Velloran.plain", end, dhcp},
             {"!Velloran.plain", end, QByteArray(dhcp).replace("--port=0", "--port=53")},
             {"!Velloran.plain", end, QByteArray(dhcp).replace("/usr/sbin/dnsmasq", "/bin/sh")},
             {"!Velloran.plain", "netmask", "netmask 1"},
             {"!Velloran.plain", "via eth1", "via eth1 x"},
             {"!Velloran.plain", "item\n", "item"},
             {"=natd.conf.none", "interface", "log yes\ninterface"},
             {"!natd.conf.none", "eth1\n", "eth1\nlog yes\n"},
             {"!natd.conf.all", "log yes", "log yes\nlog yes"}};
    for (const auto &[row, from, to] : rows) {
        QByteArray bytes = readAll(folder + row.mid(1));
        const std::string staged = (from.isEmpty() ? bytes : bytes.replace(from, to)).toStdString();
        const auto again = row.contains("natd") ? BootFiles::remakeNatConfig(staged)
                                                : BootFiles::remakeStartupScript(staged);
        EXPECT_EQ(again == staged, row[0] == '=') << qPrintable(row) << ": " << to.toStdString();
    }
}

TEST_F(Window, NoUnsafeWordReachesTheBootFilesAndEarlierOnesGo)
{
    // A router part, or an interface chosen as the external one ("<name").
    for (const QString word : {"2;reboot", "$(id)", "`id`", "2 ", "2\n/bin/sh", "2>/etc/passwd",
                               "*", "\u0662" /* a non-ASCII digit */, "<e|sh", "<e;reboot"}) {
        choose("eth1", "eth0");
        ui().route3->setText("2");
        ASSERT_TRUE(loader()->makeStartupItem() && loader()->makeConfigFile());
        ui().route3->setText(word[0] == '<' ? QString("2") : word);
        if (word[0] == '<') {
            addNet(word.mid(1), 9);
            controller->reflowPopups(true);
            choose(word.mid(1), "eth0");
        }
        EXPECT_FALSE(loader()->getStartupLines() || loader()->makeStartupItem() ||
                     (word[0] == '<' && loader()->makeConfigFile()));
        EXPECT_EQ(staged(), QStringList(word[0] == '<' ? 0 : 1, "natd.conf.tmp"))
            << qPrintable(word);
    }
    // DHCP wanted, but no plan for it (the router is its network's own address): no script at
    // all, not one that leaves DHCP out.
    choose("eth1", "eth0");
    ui().route3->setText("2");
    ui().dhcp->setChecked(true);
    for (const QString last : {"1", "0"}) {
        ui().route4->setText(last);
        EXPECT_EQ(loader()->getStartupLines().has_value(), last == "1") << qPrintable(last);
    }
}

// Someone put something at the staging paths first: the writes are refused, it stays as it was.
TEST_F(Window, StagingRefusesWhatIsAlreadyThereAndLeavesItAlone)
{
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath("precious"), fresh = elsewhere.filePath("new");
    TestSupport::writeFile(target, "keep me\n");
    // A link to the target or nowhere, its second name, a FIFO, or another user's file.
    const auto plant = [&](const QString &kind, const QString &path) {
        const QByteArray p = QFile::encodeName(path);
        if (kind == "Link" || kind == "DanglingLink")
            return QFile::link(kind == "Link" ? target : fresh, path);
        if (kind == "HardLink")
            return ::link(QFile::encodeName(target).constData(), p.constData()) == 0;
        if (kind == "Fifo")
            return ::mkfifo(p.constData(), 0600) == 0;
        TestSupport::writeFile(path, "theirs\n");
        return (::chown(p.constData(), 65534, 65534) | ::chmod(p.constData(), 0666)) == 0;
    };
    const auto describe = [&] { // what lies at both paths, with the bytes of files
        QString text = readAll(target) + (QFileInfo::exists(fresh) ? "new" : "");
        for (const QString &path : {script(), config()}) {
            const QFileInfo info(path);
            text +=
                QString("|%1%2 %3 ").arg(info.isSymLink()).arg(info.isFile()).arg(info.ownerId()) +
                info.symLinkTarget() + (info.isFile() ? readAll(path) : "");
        }
        return text;
    };
    for (const QString kind : {"Link", "DanglingLink", "HardLink", "Fifo", "Owner"}) {
        if (kind == "Owner" && ::geteuid() != 0)
            continue; // only root gives a file away
        ASSERT_TRUE(plant(kind, script()) && plant(kind, config()));
        const QString before = describe();
        EXPECT_FALSE(loader()->makeStartupItem() || loader()->makeConfigFile()) << qPrintable(kind);
        EXPECT_EQ(describe(), before);
        for (const QString &path : {script(), config()})
            if (!QFile::remove(path))
                QDir().rmdir(path);
    }
}

class Privileges : public ::testing::Test
{
protected:
    BLAuthentication *auth = BLAuthentication::sharedInstance();
    RecordingAuthorization rec; // whatever the shared BLAuthentication held before is forgotten
    NATSetter setter;
    // A command line no other process of this machine has.
    const QString name = QStringLiteral("vlnatd%1").arg(QCoreApplication::applicationPid());
    const QString daemon = "/opt/velloran-test/" + name;
};

TEST_F(Privileges, RightsArePromptedOnceAndDroppedOnce)
{
    EXPECT_FALSE(auth->isAuthenticated({}) || auth->fetchPassword({}) || auth->authenticate({}));
    rec.rightsHeld = false;
    EXPECT_TRUE(auth->authenticate(kTools) && auth->authenticate(kTools));
    auth->deauthenticate();
    auth->deauthenticate(); // nothing left to drop
    deny(rec);
    EXPECT_FALSE(auth->authenticate(kTools) || auth->executeCommand("/sbin/ipfw", {"-f", "flush"}));
    EXPECT_EQ(rec.events.join(',') +
                  QString::asprintf("%d prompts, %d releases", rec.prompts, rec.releases),
              "3 prompts, 1 releases");
    // A handle from a service no longer in place is forgotten, not released through another.
    RecordingAuthorization other;
    auth->deauthenticate();
    EXPECT_EQ(other.releases + rec.releases, 1);
}

TEST_F(Privileges, StartsAndToolRunsSayWhatRanAndWhatFailed)
{
    const auto answer = [&](bool yes) { rec.events << (yes ? "yes" : "no"); };
    const QStringList args =
        QString("0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19").split(' ');
    for (int count : {0, 1, 19, 20}) // at most nineteen arguments reach the tool
        answer(auth->executeCommand("/usr/sbin/natd", args.mid(0, count)));
    answer(setter.ipfw(std::nullopt));
    answer(setter.ipfw(QString()));
    answer(setter.terminateAliasing({false, "en1", "10.0.1.1"}));
    answer(setter.terminateAliasing({true, "en0", "192.0.2.1"}));
    answer(setter.terminateAliasing({true, QString(), "10.0.1.1"}));
    answer(setter.terminateAliasing({true, "en1", QString()}));
    rec.failStart("/sbin/ipfw add 95", 5);
    answer(setter.ipfw(QString("en0")));
    deny(rec);
    answer(setter.ipfw(QString("en0")));
    const QString nineteen = "run /usr/sbin/natd " + args.mid(0, 19).join(' ');
    EXPECT_EQ(rec.events.join(" | "),
              "run /usr/sbin/natd | yes | run /usr/sbin/natd 0 | yes | " + nineteen + " | yes | " +
                  nineteen +
                  " | yes | log Error configuring ipfw | no | log Error configuring ipfw | no | "
                  "run /sbin/ifconfig en1 10.0.1.1 -alias | yes | "
                  "run /sbin/ifconfig en0 192.0.2.1 -alias | yes | no | no | "
                  "run /sbin/ipfw -f flush | "
                  "run /sbin/ipfw add 95 divert natd all from any to any via en0 | beep | "
                  "log Error 5 in AuthorizationExecuteWithPrivileges | log \nPath: /sbin/ipfw | "
                  "log Error configuring ipfw | no | log Error configuring ipfw | no");
    EXPECT_EQ(rec.prompts, 1);
}

TEST_F(Privileges, LookupFindsRootsProgramNotAMentionAndKillsByFullPathThenBareName)
{
    VELLORAN_REQUIRE_ROOT(); // only root's processes are Velloran's
    FakeProcess mention({"editor", "/etc/" + name + ".conf", QString(3000, 'x')}); // listed first
    FakeProcess longer({name + "x", "600"}); // a name that only begins with it
    EXPECT_EQ(auth->getPID(name), 0);
    EXPECT_FALSE(auth->killProcess(name) || auth->killProcess("/etc/" + name + ".conf"));
    EXPECT_EQ(rec.events, (QStringList{"beep", kNoPid, "beep", kNoPid}));
    FakeProcess program({daemon, "-n", "600"});
    const std::pair<QString, qint64> rows[] = {
        {daemon, program.pid},        {name, program.pid}, {daemon + " -n", program.pid},
        {daemon + " -n 6", 0},        {name.toUpper(), 0}, {name + 'x', longer.pid},
        {"/etc/" + name + ".conf", 0}};
    for (const auto &[asked, pid] : rows)
        EXPECT_EQ(auth->getPID(asked), pid) << qPrintable(asked);
    rec.clearRecord(); // a lookup that finds its program says nothing
    EXPECT_TRUE(auth->killProcess(daemon));
    deny(rec);
    EXPECT_FALSE(auth->killProcess(daemon)); // a refused password ends nothing
    EXPECT_EQ(rec.prompts, 2);
    EXPECT_EQ(rec.events, QStringList{killed(program.pid)});
    rec.rightsHeld = true;
    FakeProcess natd({"natd"}); // found by its bare name once the full path finds nothing
    rec.clearRecord();
    EXPECT_TRUE(setter.terminateNatd());
    EXPECT_EQ(rec.events, (QStringList{"beep", kNoPid, killed(natd.pid)}));
    // Strings a shell would have read open no pipeline, and are said.
    QTemporaryDir folder;
    const QString touch = "touch " + folder.filePath("owned");
    for (const QString &hostile :
         {"natd\"; " + touch + "; \"", "$(" + touch + ')', '`' + touch + '`'}) {
        rec.clearRecord();
        EXPECT_EQ(auth->getPID(hostile), 0);
        EXPECT_EQ(rec.events, (QStringList{"log Error opening pipe: " + hostile, "beep"}));
    }
    EXPECT_FALSE(QFile::exists(folder.filePath("owned")));
    EXPECT_EQ(auth->getPID(QString()), 0);
    // Nor is a process of root's real user but another effective one, though ps would take it.
    QProcess stranger; // one argv[0] with blanks
    stranger.start("/usr/bin/setpriv", {"--euid=65534", "--", "/bin/bash", "-p", "-c",
                                        "exec -a '" + daemon + "s -n' " VELLORAN_TEST_IDLE});
    ASSERT_TRUE(stranger.waitForStarted() && TestSupport::waitFor([&] {
                    return TestSupport::readAll(
                               QStringLiteral("/proc/%1/cmdline").arg(stranger.processId()))
                        .startsWith(daemon.toLocal8Bit());
                }));
    rec.clearRecord();
    EXPECT_FALSE(auth->getPID(daemon + "s") || auth->killProcess(daemon + "s"));
    EXPECT_EQ(rec.events, (QStringList{"beep", kNoPid}));
}
