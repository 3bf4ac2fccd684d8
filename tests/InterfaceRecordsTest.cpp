#include "InterfaceData.h"
#include "TestSupport.h"
#include "interfaceChecker.h"

#include "InterfaceRegistry.h"

struct OrderRow {
    const char *left;
    const char *right;
    int sign;
};

void PrintTo(const OrderRow &row, std::ostream *os)
{
    *os << row.left << " vs " << row.right;
}

class EntryOrder : public ::testing::TestWithParam<OrderRow>
{
};

TEST_P(EntryOrder, ComparesBsdNamesByCodePoint)
{
    const OrderRow row = GetParam();
    const InterfaceEntry a(QStringLiteral("title a"), QString::fromLatin1(row.left));
    const InterfaceEntry b(QStringLiteral("title b"), QString::fromLatin1(row.right));
    const int result = a.compare(b);
    EXPECT_EQ((result > 0) - (result < 0), row.sign) << row.left << " vs " << row.right;
}

INSTANTIATE_TEST_SUITE_P(Boundaries, EntryOrder,
                         ::testing::Values(OrderRow{"en0", "ppp0", -1}, OrderRow{"ppp0", "eth0", 1},
                                           OrderRow{"Eth0", "eth0", -1},
                                           OrderRow{"en10", "en2", -1}, OrderRow{"en", "en0", -1},
                                           OrderRow{"ppp0", "ppp0", 0}, OrderRow{"ppp0", "q", -1}));

TEST(InterfaceData, LooksUpFirstMatchingTitleOnly)
{
    InterfaceData data;
    EXPECT_FALSE(data.bsdNameForInterface(QStringLiteral("anything")));
    data.interfaces().append(InterfaceEntry(QStringLiteral("Same"), QStringLiteral("eth0")));
    data.interfaces().append(InterfaceEntry(QStringLiteral("Same"), QStringLiteral("eth1")));
    EXPECT_EQ(data.bsdNameForInterface(QStringLiteral("Same")), QStringLiteral("eth0"));
    EXPECT_FALSE(data.bsdNameForInterface(QStringLiteral("same")));
    EXPECT_FALSE(data.bsdNameForInterface(QString()));
}

TEST(InterfaceData, DescribesEntries)
{
    const InterfaceEntry entry(QStringLiteral("Modem or PPPoE (ppp0)"), QStringLiteral("ppp0"));
    EXPECT_EQ(entry.description(),
              QStringLiteral("userName: Modem or PPPoE (ppp0), bsdName ppp0\n"));
}

namespace {
QStringList titles(const InterfaceData &data)
{
    QStringList list;
    for (const InterfaceEntry &e : data.interfaces())
        list << e.userName() + '=' + e.bsdName();
    return list;
}
} // namespace

TEST(InterfaceEnumeration, ListsKindsInOrderWithOneWirelessCard)
{
    TestSupport::FakeSysfs sysfs;
    sysfs.addNet(QStringLiteral("lo"), 1, 772);
    sysfs.addNet(QStringLiteral("wlan1"), 5, 1, true);
    sysfs.addNet(QStringLiteral("eth0"), 2, 1);
    sysfs.addNet(QStringLiteral("wlan0"), 3, 1, true);
    sysfs.addNet(QStringLiteral("ppp1"), 4, 512);
    sysfs.addTty(QStringLiteral("ttyACM0"), QStringLiteral("cdc_acm"));
    sysfs.addTty(QStringLiteral("ttyUSB0"), QStringLiteral("pl2303"), QStringLiteral("usb-serial"));
    sysfs.addTty(QStringLiteral("ttyS0"), QStringLiteral("serial8250"));
    sysfs.addTty(QStringLiteral("tty1"), QString());
    InterfaceRegistry::setRoot(sysfs.root());

    const auto data = interfaceChecker::sharedInstance().getInterfaceData();
    EXPECT_EQ(titles(*data),
              (QStringList{"Serial (ttyACM0)=ttyACM0", "Serial (ttyUSB0)=ttyUSB0",
                           "Modem or PPPoE (ppp0)=ppp0", "Ethernet Interface (eth0)=eth0",
                           "AirPort Card (wlan0)=wlan0", "Ethernet Interface (wlan1)=wlan1"}));
    EXPECT_TRUE(data->foundPPP());
    EXPECT_TRUE(data->foundAirPort());
    InterfaceRegistry::setRoot(QStringLiteral("/sys"));
}

TEST(InterfaceEnumeration, EmptyMachineStillOffersTheModemEntry)
{
    TestSupport::FakeSysfs sysfs;
    InterfaceRegistry::setRoot(sysfs.root());
    const auto data = interfaceChecker::sharedInstance().getInterfaceData();
    EXPECT_EQ(titles(*data), QStringList{"Modem or PPPoE (ppp0)=ppp0"});
    EXPECT_TRUE(data->foundPPP());
    EXPECT_FALSE(data->foundAirPort());
    InterfaceRegistry::setRoot(QStringLiteral("/sys"));
}

TEST(InterfaceEnumerationDeathTest, UnreadableRegistryEndsTheProcessWithStatusOne)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            InterfaceRegistry::setRoot(QStringLiteral("/nonexistent/sysfs"));
            interfaceChecker::sharedInstance().getInterfaceData();
        },
        ::testing::ExitedWithCode(1), "");
}
