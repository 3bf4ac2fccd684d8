#include "WindowFixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSettings>

namespace {
QStringList texts(QLineEdit *a, QLineEdit *b, QLineEdit *c, QLineEdit *d)
{
    return {a->text(), b->text(), c->text(), d->text()};
}
} // namespace

class Settings : public WindowFixture
{
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        controller->reflowPopups(false);
    }
    QStringList router() { return texts(ui().route1, ui().route2, ui().route3, ui().route4); }
    QStringList subnet() { return texts(ui().sub1, ui().sub2, ui().sub3, ui().sub4); }
    QVariant stored(const char *key) { return NATController::preferences()->value(key); }
};

TEST_F(Settings, FirstRunPicksTheModemEntryWithADynamicAddress)
{
    ui().dynamic->setChecked(false);
    ui().internalInterface->setCurrentIndex(1);
    controller->setFromDefaults();
    EXPECT_EQ(ui().internalInterface->currentIndex(), 0);
    EXPECT_EQ(ui().externalInterface->currentText(), QStringLiteral("Modem or PPPoE (ppp0)"));
    EXPECT_TRUE(ui().dynamic->isChecked());
    EXPECT_EQ(router(), (QStringList{"192", "168", "2", "1"})); // untouched defaults
}

TEST_F(Settings, EveryKeyIsSavedUnderItsNameAndPutBack)
{
    ui().aliasLog->setChecked(true);
    ui().denyIncoming->setChecked(false);
    ui().denyLog->setChecked(true);
    ui().dynamic->setChecked(false);
    ui().ports->setChecked(true);
    ui().sockets->setChecked(true);
    ui().internalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth1)"));
    ui().externalInterface->setCurrentText(QStringLiteral("Modem or PPPoE (ppp0)"));
    setAddress(ui().route1, ui().route2, ui().route3, ui().route4, {"10", "0", "1", "1"});
    controller->saveDefaults();

    EXPECT_EQ(stored("Router").toString(), QStringLiteral("10.0.1.1"));
    EXPECT_EQ(stored("Subnet").toString(), QStringLiteral("255.255.255.0"));
    EXPECT_EQ(stored("InternalInterface").toString(), QStringLiteral("Ethernet Interface (eth1)"));
    EXPECT_EQ(stored("ExternalInterface").toString(), QStringLiteral("Modem or PPPoE (ppp0)"));
    EXPECT_TRUE(stored("HasRun").toBool());
    EXPECT_FALSE(stored("DynmaicIP").toBool());
    EXPECT_TRUE(stored("DenialLog").toBool());

    for (QCheckBox *box : {ui().aliasLog, ui().denyLog, ui().ports, ui().sockets})
        box->setChecked(false);
    ui().denyIncoming->setChecked(true);
    setAddress(ui().route1, ui().route2, ui().route3, ui().route4, {"1", "1", "1", "1"});
    controller->reflowPopups(false);
    controller->setFromDefaults();

    EXPECT_TRUE(ui().aliasLog->isChecked());
    EXPECT_FALSE(ui().denyIncoming->isChecked());
    EXPECT_TRUE(ui().denyLog->isChecked());
    EXPECT_FALSE(ui().dynamic->isChecked()); // the saved value, though the modem entry is chosen
    EXPECT_TRUE(ui().ports->isChecked());
    EXPECT_TRUE(ui().sockets->isChecked());
    EXPECT_EQ(ui().internalInterface->currentText(), QStringLiteral("Ethernet Interface (eth1)"));
    EXPECT_EQ(ui().externalInterface->currentText(), QStringLiteral("Modem or PPPoE (ppp0)"));
    EXPECT_EQ(router(), (QStringList{"10", "0", "1", "1"}));
}

struct AddressRow {
    QStringList typed;
    QString stored;
    QStringList readBack;
};

void PrintTo(const AddressRow &row, std::ostream *os)
{
    *os << row.stored.toStdString();
}

class AddressRoundTrip : public Settings, public ::testing::WithParamInterface<AddressRow>
{
};

TEST_P(AddressRoundTrip, SavedAsTypedAndReadAsLeadingIntegers)
{
    const AddressRow row = GetParam();
    setAddress(ui().sub1, ui().sub2, ui().sub3, ui().sub4, row.typed);
    controller->saveDefaults();
    EXPECT_EQ(stored("Subnet").toString(), row.stored);
    controller->setFromDefaults();
    EXPECT_EQ(subnet(), row.readBack);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, AddressRoundTrip,
    ::testing::Values(
        AddressRow{{"255", "255", "255", "0"}, "255.255.255.0", {"255", "255", "255", "0"}},
        AddressRow{{"010", "0", "1", "1"}, "010.0.1.1", {"10", "0", "1", "1"}},
        AddressRow{{"1.2", "3", "4", "5"}, "1.2.3.4.5", {"1", "2", "3", "4"}},
        AddressRow{{"", "", "", ""}, "...", {"0", "0", "0", "0"}},
        AddressRow{{" 7x", "-3", "+4", "x9"}, " 7x.-3.+4.x9", {"7", "-3", "4", "0"}}));

TEST_F(Settings, ShortOrMissingAddressesNeverReadPastWhatIsStored)
{
    controller->saveDefaults();
    NATController::preferences()->setValue("Subnet", "10.1");
    NATController::preferences()->remove("Router");
    setAddress(ui().route1, ui().route2, ui().route3, ui().route4, {"172", "16", "0", "9"});
    controller->setFromDefaults();
    EXPECT_EQ(subnet(), (QStringList{"10", "1", "0", "0"}));
    EXPECT_EQ(router(), (QStringList{"172", "16", "0", "9"}));
}

TEST_F(Settings, VanishedInterfacesFallBack)
{
    ui().internalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth0)"));
    ui().externalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth1)"));
    controller->saveDefaults();

    sysfs.removeNet(QStringLiteral("eth0"));
    sysfs.removeNet(QStringLiteral("eth1"));
    sysfs.addNet(QStringLiteral("eth5"), 5);
    sysfs.addNet(QStringLiteral("eth6"), 6);
    controller->reflowPopups(false);
    controller->setFromDefaults();
    EXPECT_EQ(ui().internalInterface->currentText(), QStringLiteral("Ethernet Interface (eth6)"));
    EXPECT_EQ(ui().externalInterface->currentText(), QStringLiteral("Modem or PPPoE (ppp0)"));

    sysfs.removeNet(QStringLiteral("eth6"));
    controller->reflowPopups(false);
    controller->setFromDefaults();
    EXPECT_EQ(ui().internalInterface->currentText(), QStringLiteral("Ethernet Interface (eth5)"));
}

TEST_F(Settings, AnEmptyMenuStoresNoTitle)
{
    ui().internalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth0)"));
    controller->saveDefaults();
    sysfs.removeNet(QStringLiteral("eth0"));
    sysfs.removeNet(QStringLiteral("eth1"));
    controller->reflowPopups(false);
    controller->saveDefaults();
    EXPECT_FALSE(stored("InternalInterface").isValid());
    controller->setFromDefaults();
    EXPECT_EQ(ui().internalInterface->currentIndex(), -1);
}
