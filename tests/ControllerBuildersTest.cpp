// The real window's argument builders, menus, saved settings and help menu, in one process.
#include "Alert.h"
#include "Bundle.h"
#include "WindowFixture.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <sched.h>

using Window = WindowFixture;

namespace {
// Answers the modal box the next event loop shows with OK, after keeping its text.
void answerBox(QString *text, int *buttons = nullptr)
{
    QTimer::singleShot(0, [=] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        *text = box->text();
        if (buttons)
            *buttons = int(box->buttons().size());
        box->button(QMessageBox::Ok)->click();
    });
}
} // namespace

// Checked options (bit i: options()[i]), external interface, natd's arguments joined by "|".
class NatArgs : public Window,
                public ::testing::WithParamInterface<std::tuple<int, const char *, const char *>>
{
};

TEST_P(NatArgs, FollowTheOptionsInFixedOrder)
{
    const auto [checked, external, args] = GetParam();
    for (int i = 0; i < 6; ++i)
        options()[i]->setChecked(checked & (1 << i));
    choose(external, "eth0");
    EXPECT_EQ(controller->getNatArgs().value_or(QStringList{"none"}).join('|'), args);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NatArgs,
    ::testing::Values(
        std::tuple(0, "eth1", "-interface|eth1"),
        std::tuple(
            63, "eth1",
            "-same_ports|-use_sockets|-log|-deny_incoming|-log_denied|-dynamic|-interface|eth1"),
        std::tuple(1 | 2 | 8 | 16, "eth1",
                   "-same_ports|-use_sockets|-deny_incoming|-log_denied|-interface|eth1"),
        std::tuple(4 | 32, "Modem or PPPoE (ppp0)", "-log|-dynamic|-interface|ppp0")),
    [](const auto &row) {
        return "Options" + std::to_string(std::get<0>(row.param)) + "Via" +
               std::string(std::get<1>(row.param)).substr(0, 4);
    });

TEST_F(Window, StartsEmptyAndBuildsIfconfigArgumentsAsTyped)
{
    EXPECT_FALSE(controller->running() || controller->DNSrunning() || controller->loadOnStartup());
    EXPECT_EQ(ui().sharingButton->text(), QStringLiteral("Start Internet Sharing"));
    EXPECT_EQ(controller->commandsToExecute(),
              (QStringList{"/usr/sbin/sysctl", "/sbin/ifconfig", "/usr/sbin/natd", "/sbin/ipfw"}));
    choose("eth0", "eth0");
    type("192.168.2.1");
    EXPECT_EQ(controller->getIfconfigArgs(),
              (QStringList{"eth0", "192.168.2.1", "netmask", "255.255.255.0", "alias"}));
    EXPECT_TRUE(controller->aliasing().on);
    // Different interfaces: no alias, and the earlier record is kept for the stop.
    choose("eth1", "eth0");
    type("010..1 2. 4", "...");
    EXPECT_EQ(controller->getIfconfigArgs(),
              (QStringList{"eth0", "010..1 2. 4", "netmask", "..."}));
    EXPECT_FALSE(controller->aliasing().on);
    EXPECT_EQ(controller->aliasing().interface + ' ' + controller->aliasing().ip,
              "eth0 192.168.2.1");
    // No interface: no list with a hole in it.
    sysfs.removeNet("eth0");
    sysfs.removeNet("eth1");
    controller->reflowPopups(false);
    EXPECT_FALSE(controller->getInternalInterface() || controller->getIfconfigArgs());
    EXPECT_EQ(controller->getExternalInterface(), QStringLiteral("ppp0"));
    ui().externalInterface->setCurrentIndex(-1);
    EXPECT_FALSE(controller->getNatArgs());
}

TEST_F(Window, MenusSortByNameKeepTheChoiceAndTheModemOutOfTheInternalMenu)
{
    sysfs.addNet("Eth9", 4);
    sysfs.addTty("ttyACM0", "cdc_acm");
    controller->reflowPopups(false);
    const QStringList internal{"Ethernet Interface (Eth9)", "Ethernet Interface (eth0)",
                               "Ethernet Interface (eth1)", "Serial (ttyACM0)"};
    EXPECT_EQ(items(ui().internalInterface), internal);
    EXPECT_EQ(items(ui().externalInterface), internal.mid(0, 3)
                                                 << "Modem or PPPoE (ppp0)" << internal[3]);
    EXPECT_EQ(ui().externalInterface->currentIndex() + ui().internalInterface->currentIndex(), 0);

    choose("eth1", "eth0");
    sysfs.addNet("eme0", 7); // sorts in front of both
    controller->reflowPopups(true);
    EXPECT_EQ(ui().externalInterface->currentText() + ui().internalInterface->currentText(),
              "Ethernet Interface (eth1)Ethernet Interface (eth0)");
    sysfs.removeNet("eth0");
    controller->reflowPopups(true);
    EXPECT_EQ(ui().externalInterface->currentText(), QStringLiteral("Ethernet Interface (eth1)"));

    // The user's pick arrives as "activated"; dynamic follows it, a rebuild never touches it.
    for (auto [title, dynamic] :
         {std::pair{"Modem or PPPoE (ppp0)", true}, std::pair{"Serial (ttyACM0)", false}}) {
        ui().externalInterface->setCurrentText(title);
        emit ui().externalInterface->activated(ui().externalInterface->currentIndex());
        EXPECT_EQ(ui().dynamic->isChecked(), dynamic) << title;
    }
    ui().dynamic->setChecked(true);
    controller->reflowPopups(false);
    EXPECT_TRUE(ui().dynamic->isChecked());
}

TEST_F(Window, EveryKeyIsSavedUnderItsNameAndPutBack)
{
    ui().dynamic->setChecked(false);
    ui().internalInterface->setCurrentIndex(1);
    controller->setFromDefaults(); // first run: the modem entry, with a dynamic address
    EXPECT_EQ(ui().internalInterface->currentIndex(), 0);
    EXPECT_EQ(ui().externalInterface->currentText(), QStringLiteral("Modem or PPPoE (ppp0)"));
    EXPECT_TRUE(ui().dynamic->isChecked());
    for (int i = 0; i < 6; ++i)
        options()[i]->setChecked(i != 3 && i != 5); // all but deny_incoming and dynamic
    choose("Modem or PPPoE (ppp0)", "eth1");
    type("10.0.1.1");
    ui().dhcp->setChecked(true);
    controller->saveDefaults();
    QStringList saved;
    for (const QString &key : NATController::preferences()->allKeys())
        saved << key + '=' + NATController::preferences()->value(key).toString();
    EXPECT_EQ(
        saved,
        (QStringList{"AliasLog=true", "DHCP=true", "DenialLog=true", "DenyIncoming=false",
                     "DynmaicIP=false", "ExternalInterface=Modem or PPPoE (ppp0)", "HasRun=true",
                     "InternalInterface=Ethernet Interface (eth1)", "PreservePorts=true",
                     "Router=10.0.1.1", "Subnet=255.255.255.0", "UseSockets=true"}));
    for (int i = 0; i < 6; ++i)
        options()[i]->setChecked(i == 3);
    ui().dhcp->setChecked(false);
    choose("eth0", "eth0");
    type("1.1.1.1");
    controller->setFromDefaults();
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(options()[i]->isChecked(), i != 3 && i != 5) << i;
    EXPECT_TRUE(ui().dhcp->isChecked());
    EXPECT_EQ(ui().externalInterface->currentText() + ui().internalInterface->currentText(),
              "Modem or PPPoE (ppp0)Ethernet Interface (eth1)");
    EXPECT_EQ(ui().route1->text() + ui().route4->text() + ui().sub3->text(), "101255");
    NATController::preferences()->remove("DHCP"); // saved before DHCP was offered: off
    controller->setFromDefaults();
    EXPECT_FALSE(ui().dhcp->isChecked());
}

struct AddressRow {
    QString typed, readBack; // subnet fields joined by dots; the saved text is what was typed
};
void PrintTo(const AddressRow &row, std::ostream *os)
{
    *os << '"' << row.typed.toStdString() << '"';
}
class SavedAddress : public Window, public ::testing::WithParamInterface<AddressRow>
{
};

TEST_P(SavedAddress, IsSavedAsTypedAndReadAsLeadingIntegers)
{
    QLineEdit *sub[] = {ui().sub1, ui().sub2, ui().sub3, ui().sub4};
    const QStringList typed = GetParam().typed.split('|');
    for (int i = 0; i < 4; ++i)
        sub[i]->setText(typed[i]);
    controller->saveDefaults();
    EXPECT_EQ(NATController::preferences()->value("Subnet").toString(), typed.join('.'));
    controller->setFromDefaults();
    EXPECT_EQ(sub[0]->text() + '.' + sub[1]->text() + '.' + sub[2]->text() + '.' + sub[3]->text(),
              GetParam().readBack);
}

INSTANTIATE_TEST_SUITE_P(Rows, SavedAddress,
                         ::testing::Values(AddressRow{"010|0|1|1", "10.0.1.1"},
                                           AddressRow{"1.2|3|4|5", "1.2.3.4"},
                                           AddressRow{"|||", "0.0.0.0"},
                                           AddressRow{" 7x|-3|+4|x9", "7.-3.4.0"}));

TEST_F(Window, MissingSavedValuesAndVanishedInterfacesFallBack)
{
    choose("eth1", "eth0");
    controller->saveDefaults();
    NATController::preferences()->setValue("Subnet", "10.1");
    NATController::preferences()->remove("Router");
    type("172.16.0.9", "1.1.1.1");
    sysfs.removeNet("eth0");
    sysfs.removeNet("eth1");
    sysfs.addNet("eth5", 5);
    sysfs.addNet("eth6", 6);
    controller->reflowPopups(false);
    controller->setFromDefaults();
    EXPECT_EQ(ui().sub1->text() + ui().sub2->text() + ui().sub3->text() + ui().sub4->text(),
              "10100");
    EXPECT_EQ(ui().route1->text() + ui().route4->text(), "1729");
    EXPECT_EQ(ui().internalInterface->currentText(), QStringLiteral("Ethernet Interface (eth6)"));
    EXPECT_EQ(ui().externalInterface->currentText(), QStringLiteral("Modem or PPPoE (ppp0)"));
    sysfs.removeNet("eth6");
    controller->reflowPopups(false);
    controller->setFromDefaults();
    EXPECT_EQ(ui().internalInterface->currentText(), QStringLiteral("Ethernet Interface (eth5)"));
    // An empty menu stores no title.
    sysfs.removeNet("eth5");
    controller->reflowPopups(false);
    controller->saveDefaults();
    EXPECT_FALSE(NATController::preferences()->contains("InternalInterface"));
    controller->setFromDefaults();
    EXPECT_EQ(ui().internalInterface->currentIndex(), -1);
}

TEST_F(Window, HelpMenuAboutBoxAndAlertsSayExactlyWhatTheyShould)
{
    ui().actionReadme->trigger();
    ui().actionSetup->trigger();
    Bundle::setBundlePath(stage.path());
    ui().actionReadme->trigger();
    Bundle::setBundlePath(QStringLiteral(VELLORAN_TEST_BUNDLE));
    // Velloran's own help window shows the documents: no other program is asked.
    EXPECT_EQ(rec.events,
              QStringList{
                  "alert The document Readme.rtf is missing from Velloran's application folder."});

    Alert::setHandler({}); // the real box: plain text, one button
    QString text;
    int buttons = 0;
    answerBox(&text, &buttons);
    controller->runErr(QStringLiteral("100% of %@ and %d <b>kept</b>"));
    EXPECT_EQ(text, QStringLiteral("100% of %@ and %d <b>kept</b>"));
    EXPECT_EQ(buttons, 1);
    QApplication::setApplicationVersion(QStringLiteral("9.8.7"));
    answerBox(&text);
    ui().actionAbout->trigger();
    EXPECT_TRUE(text.contains(QStringLiteral("Velloran</b> 9.8.7"))) << qPrintable(text);
}

// In a network namespace of its own, with or without an interface named pppoe0.
TEST_F(Window, PPPoEIsPresentWhenAnInterfaceNamedPppoe0IsListed)
{
    VELLORAN_REQUIRE_ROOT();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const bool present : {true, false}) {
        EXPECT_EXIT(
            {
                if (unshare(CLONE_NEWNET) != 0 ||
                    (present && TestSupport::run("ip", {"link", "add", "pppoe0", "type", "veth",
                                                        "peer", "name", "p"}) != 0))
                    std::_Exit(10);
                std::_Exit(controller->checkForPPPoE() ? 0 : 1);
            },
            ::testing::ExitedWithCode(present ? 0 : 1), "");
    }
}
