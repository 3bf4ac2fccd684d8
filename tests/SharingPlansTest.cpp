#include "DhcpServer.h"
#include "NATLoader.h"
#include "RecordingAuthorization.h"
#include "SharingChecks.h"
#include "WindowFixture.h"

#include <csignal>

namespace {

struct MaskRow {
    const char *name, *router, *mask;
    QString range; // the --dhcp-range value, or the alert that refuses the mask
};
void PrintTo(const MaskRow &row, std::ostream *out)
{
    *out << row.name;
}

} // namespace

// The window with DHCP ticked and Velloran's name server running, over a recording root.
class DhcpPlan : public WindowFixture, public ::testing::WithParamInterface<MaskRow>
{
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        controller->applicationDidFinishLaunching(nullptr);
        choose("eth0", "eth1");
        ui().named->click();
        ui().dhcp->setChecked(true);
        rec.clearRecord();
    }
};

TEST_P(DhcpPlan, ServesTheNetworkBeyondTheFirstAddressesOrRefusesTheMask)
{
    type(GetParam().router, GetParam().mask);
    const QString &range = GetParam().range;
    if (!range.contains(',')) {
        EXPECT_EQ(controller->dhcpPlanProblem(), range);
        EXPECT_EQ(controller->getDhcpArgs(), std::nullopt);
        ui().sharingButton->click(); // the pre-flight checks may say it first: one alert, no run
        EXPECT_EQ(rec.events.size(), 1);
        EXPECT_TRUE(rec.events.value(0).startsWith("alert ")) << qPrintable(rec.events.value(0));
        return;
    }
    const QStringList args = controller->getDhcpArgs().value_or(QStringList());
    EXPECT_EQ(args.join(' '),
              QString("--conf-file=/dev/null --port=0 --interface=eth1 --except-interface=lo "
                      "--bind-interfaces --dhcp-authoritative --no-ping --dhcp-range=%1 "
                      "--dhcp-option=option:router,%2 --dhcp-option=option:dns-server,%2 "
                      "--dhcp-leasefile=/var/lib/velloran/dnsmasq.leases "
                      "--pid-file=/run/velloran/dnsmasq.pid")
                  .arg(range, GetParam().router));
    EXPECT_TRUE(DhcpServer::isVelloranServer(QStringList{DhcpServer::kProgram} + args));
}

INSTANTIATE_TEST_SUITE_P(
    Masks, DhcpPlan,
    ::testing::Values(
        MaskRow{"slash24", "198.51.100.1", "255.255.255.0",
                "198.51.100.10,198.51.100.254,255.255.255.0,12h"},
        MaskRow{"slash24RouterInTheMiddle", "198.51.100.100", "255.255.255.0",
                "198.51.100.101,198.51.100.254,255.255.255.0,12h"},
        MaskRow{"slash28", "198.51.100.33", "255.255.255.240",
                "198.51.100.36,198.51.100.46,255.255.255.240,12h"},
        MaskRow{"slash30RouterLast", "198.51.100.2", "255.255.255.252",
                "198.51.100.1,198.51.100.1,255.255.255.252,12h"},
        MaskRow{"slash31Refused", "198.51.100.1", "255.255.255.254",
                "The subnet mask 255.255.255.254 leaves no addresses for the local computers. "
                "Choose a larger network (such as 255.255.255.0) or turn off DHCP."}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(DhcpPlan, OnePortDisablesTheBoxAndTheStartupItemGainsOneLine)
{
    type("198.51.100.1", "255.255.255.0");
    const auto withDhcp = loaded->loader->getStartupLines().value_or(QStringList());
    ui().dhcp->setChecked(false);
    EXPECT_EQ(loaded->loader->getStartupLines().value_or(QStringList()).size() + 1,
              withDhcp.size());
    EXPECT_TRUE(withDhcp.contains("/usr/bin/install -d -m 0755 /var/lib/velloran /run/velloran && "
                                  "/usr/sbin/dnsmasq " +
                                  controller->getDhcpArgs().value_or(QStringList()).join(' ') +
                                  '\n'));
    ui().dhcp->setChecked(true);
    choose("eth0", "eth0");
    EXPECT_FALSE(ui().dhcp->isEnabled());
    EXPECT_TRUE(ui().dhcp->toolTip().contains(QLatin1String("one port")));
    EXPECT_FALSE(controller->dhcpWanted());
    // An internal interface that went away is named (the rest of the checks run in namespaces).
    EXPECT_TRUE(SharingChecks::problem({"198.51.100.1", "255.255.255.0", "eth0", "eth7", false},
                                       {{{"eth0", true, {{0xc000020a, 24}}}}, {"eth0"}})
                    .value_or("")
                    .contains("eth7"));
}

// Stop with the rights refused: natd still runs, so the window says so and keeps "Stop".
using TruthfulStop = WindowFixture;
TEST_F(TruthfulStop, CancelledRightsKeepStopWhileNatdRuns)
{
    FakeProcess natd({"/usr/sbin/natd", "-interface", "eth0"});
    controller->applicationDidFinishLaunching(nullptr);
    ASSERT_TRUE(controller->running());
    rec.rightsHeld = false;
    rec.answer = RecordingAuthorization::Answer::Cancel;
    ui().sharingButton->click();
    EXPECT_TRUE(rec.events.contains("alert There was an error terminating DidivevuZidazar"));
    EXPECT_EQ(ui().sharingButton->text(), QStringLiteral("Stop Internet Sharing"));
    EXPECT_EQ(::kill(natd.pid, 0), 0);
}
