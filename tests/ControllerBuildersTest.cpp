#include "WindowFixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

using Builders = WindowFixture;

TEST_F(Builders, NewControllerHoldsNothing)
{
    EXPECT_FALSE(controller->running());
    EXPECT_FALSE(controller->DNSrunning());
    EXPECT_FALSE(controller->loadOnStartup());
    EXPECT_FALSE(controller->PPPoEPresent());
    EXPECT_EQ(ui().sharingButton->text(), QStringLiteral("Start Internet Sharing"));
    EXPECT_EQ(controller->commandsToExecute(),
              (QStringList{"/usr/sbin/sysctl", "/sbin/ifconfig", "/usr/sbin/natd", "/sbin/ipfw"}));
}

TEST_F(Builders, NatArgumentsFollowTheOptionsInFixedOrder)
{
    controller->reflowPopups(false);
    ui().externalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth1)"));
    for (QCheckBox *box :
         {ui().ports, ui().sockets, ui().aliasLog, ui().denyIncoming, ui().denyLog, ui().dynamic})
        box->setChecked(false);
    EXPECT_EQ(controller->getNatArgs(), (QStringList{"-interface", "eth1"}));

    for (QCheckBox *box :
         {ui().dynamic, ui().denyLog, ui().denyIncoming, ui().aliasLog, ui().sockets, ui().ports})
        box->setChecked(true);
    EXPECT_EQ(controller->getNatArgs(),
              (QStringList{"-same_ports", "-use_sockets", "-log", "-deny_incoming", "-log_denied",
                           "-dynamic", "-interface", "eth1"}));

    ui().aliasLog->setChecked(false);
    ui().dynamic->setChecked(false);
    EXPECT_EQ(controller->getNatArgs(),
              (QStringList{"-same_ports", "-use_sockets", "-deny_incoming", "-log_denied",
                           "-interface", "eth1"}));

    ui().externalInterface->setCurrentText(QStringLiteral("Modem or PPPoE (ppp0)"));
    EXPECT_EQ(controller->getNatArgs()->mid(4), (QStringList{"-interface", "ppp0"}));
}

TEST_F(Builders, IfconfigArgumentsUseFieldsAsTypedAndRecordAnAlias)
{
    controller->reflowPopups(false);
    ui().internalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth0)"));
    ui().externalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth0)"));
    setAddress(ui().route1, ui().route2, ui().route3, ui().route4, {"192", "168", "2", "1"});
    EXPECT_EQ(controller->getIfconfigArgs(),
              (QStringList{"eth0", "192.168.2.1", "netmask", "255.255.255.0", "alias"}));
    EXPECT_TRUE(controller->aliasing().on);
    EXPECT_EQ(controller->aliasing().interface, QStringLiteral("eth0"));
    EXPECT_EQ(controller->aliasing().ip, QStringLiteral("192.168.2.1"));

    // Different interfaces: no alias, and the earlier record is kept for the stop.
    ui().externalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth1)"));
    setAddress(ui().route1, ui().route2, ui().route3, ui().route4, {"010", "", "1.2", " 4"});
    setAddress(ui().sub1, ui().sub2, ui().sub3, ui().sub4, {"", "", "", ""});
    EXPECT_EQ(controller->getIfconfigArgs(),
              (QStringList{"eth0", "010..1.2. 4", "netmask", "..."}));
    EXPECT_FALSE(controller->aliasing().on);
    EXPECT_EQ(controller->aliasing().interface, QStringLiteral("eth0"));
    EXPECT_EQ(controller->aliasing().ip, QStringLiteral("192.168.2.1"));
}

TEST_F(Builders, NoListHasAHoleWhenAnInterfaceCantBeResolved)
{
    sysfs.removeNet(QStringLiteral("eth0"));
    sysfs.removeNet(QStringLiteral("eth1"));
    controller->reflowPopups(false);
    EXPECT_EQ(ui().internalInterface->count(), 0);
    EXPECT_FALSE(controller->getInternalInterface());
    EXPECT_FALSE(controller->getIfconfigArgs());
    EXPECT_EQ(controller->getExternalInterface(), QStringLiteral("ppp0"));

    ui().externalInterface->setCurrentIndex(-1);
    EXPECT_FALSE(controller->getNatArgs());
}

using Menus = WindowFixture;

TEST_F(Menus, RebuildSortsByNameAndKeepsTheModemEntryOutOfTheInternalMenu)
{
    sysfs.addNet(QStringLiteral("Eth9"), 4);
    sysfs.addTty(QStringLiteral("ttyACM0"), QStringLiteral("cdc_acm"));
    controller->reflowPopups(false);
    EXPECT_EQ(
        items(ui().externalInterface),
        (QStringList{"Ethernet Interface (Eth9)", "Ethernet Interface (eth0)",
                     "Ethernet Interface (eth1)", "Modem or PPPoE (ppp0)", "Serial (ttyACM0)"}));
    EXPECT_EQ(items(ui().internalInterface),
              (QStringList{"Ethernet Interface (Eth9)", "Ethernet Interface (eth0)",
                           "Ethernet Interface (eth1)", "Serial (ttyACM0)"}));
    EXPECT_EQ(ui().externalInterface->currentIndex(), 0);
    EXPECT_EQ(ui().internalInterface->currentIndex(), 0);
}

TEST_F(Menus, ActivationKeepsSelectedTitlesWhereTheyStillExist)
{
    controller->reflowPopups(false);
    ui().externalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth1)"));
    ui().internalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth0)"));

    sysfs.addNet(QStringLiteral("eme0"), 7); // sorts in front of both
    controller->reflowPopups(true);
    EXPECT_EQ(ui().externalInterface->currentText(), QStringLiteral("Ethernet Interface (eth1)"));
    EXPECT_EQ(ui().internalInterface->currentText(), QStringLiteral("Ethernet Interface (eth0)"));

    sysfs.removeNet(QStringLiteral("eth0"));
    controller->reflowPopups(true);
    EXPECT_EQ(ui().externalInterface->currentText(), QStringLiteral("Ethernet Interface (eth1)"));
    EXPECT_FALSE(items(ui().internalInterface).contains("Ethernet Interface (eth0)"));
}

TEST_F(Menus, DynamicFollowsTheUsersExternalChoice)
{
    sysfs.addTty(QStringLiteral("ttyACM0"), QStringLiteral("cdc_acm"));
    controller->reflowPopups(false);
    QComboBox *external = ui().externalInterface;
    const int modem = external->findText(QStringLiteral("Modem or PPPoE (ppp0)"));
    const int serial = external->findText(QStringLiteral("Serial (ttyACM0)"));

    // The user's pick arrives as "activated", exactly as a click on the menu sends it.
    external->setCurrentIndex(modem);
    emit external->activated(modem);
    EXPECT_TRUE(ui().dynamic->isChecked());
    external->setCurrentIndex(serial);
    emit external->activated(serial);
    EXPECT_FALSE(ui().dynamic->isChecked());

    // Rebuilding the menus never touches the option.
    ui().dynamic->setChecked(true);
    controller->reflowPopups(false);
    EXPECT_TRUE(ui().dynamic->isChecked());
}

TEST_F(Menus, AlertShowsTheMessageExactlyWithOneOkButton)
{
    QString shownText, shownTitle;
    int buttons = -1;
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        shownText = box->text();
        shownTitle = box->windowTitle();
        buttons = int(box->buttons().size());
        box->button(QMessageBox::Ok)->click();
    });
    controller->runErr(QStringLiteral("100% of %@ and %d <b>kept</b>"));
    EXPECT_EQ(shownText, QStringLiteral("100% of %@ and %d <b>kept</b>"));
    EXPECT_EQ(buttons, 1);
}
