#include "DhcpServer.h"
#include "NATLoader.h"
#include "NetnsTopology.h"
#include "RecordingAuthorization.h"
#include "SharingSession.h"
#include "WindowFixture.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <csignal>

namespace {

struct VectorRow {
    const char *name;
    QString router, mask;
    QString range; // the --dhcp-range value, or the alert that refuses the mask
};

void PrintTo(const VectorRow &row, std::ostream *out)
{
    *out << row.name;
}

const QString kDnsmasqTail =
    "--dhcp-option=option:router,%1 --dhcp-option=option:dns-server,%1 "
    "--dhcp-leasefile=/var/lib/velloran/dnsmasq.leases --pid-file=/run/velloran/dnsmasq.pid";

} // namespace

// The window with DHCP ticked and Velloran's name server running, over a recording root.
class DhcpWindow : public WindowFixture, public ::testing::WithParamInterface<VectorRow>
{
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        controller->applicationDidFinishLaunching(nullptr);
        ui().externalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth0)"));
        ui().internalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth1)"));
        ui().named->click();
        ui().dhcp->setChecked(true);
        rec.clearRecord();
    }
};

TEST_P(DhcpWindow, ServesTheNetworkBeyondTheFirstAddressesOrRefusesTheMask)
{
    const VectorRow &row = GetParam();
    type(row.router, row.mask);
    if (row.range.startsWith(QLatin1String("The subnet mask"))) {
        EXPECT_EQ(controller->dhcpPlanProblem(), row.range);
        EXPECT_EQ(controller->getDhcpArgs(), std::nullopt);
        ui().sharingButton->click(); // the pre-flight checks may say it first: one alert, no run
        EXPECT_EQ(rec.events.size(), 1);
        EXPECT_TRUE(rec.events.value(0).startsWith("alert ")) << qPrintable(rec.events.value(0));
        return;
    }
    const auto args = controller->getDhcpArgs();
    ASSERT_TRUE(args.has_value());
    EXPECT_EQ(args->join(' '),
              "--conf-file=/dev/null --port=0 --interface=eth1 "
              "--except-interface=lo --bind-interfaces --dhcp-authoritative --no-ping "
              "--dhcp-range=" +
                  row.range + ' ' + kDnsmasqTail.arg(row.router));
    EXPECT_TRUE(DhcpServer::isVelloranServer(QStringList{DhcpServer::kProgram} + *args));
}

INSTANTIATE_TEST_SUITE_P(
    Masks, DhcpWindow,
    ::testing::Values(
        VectorRow{"slash24", "198.51.100.1", "255.255.255.0",
                  "198.51.100.10,198.51.100.254,255.255.255.0,12h"},
        VectorRow{"slash24RouterInTheMiddle", "198.51.100.100", "255.255.255.0",
                  "198.51.100.101,198.51.100.254,255.255.255.0,12h"},
        VectorRow{"slash28", "198.51.100.33", "255.255.255.240",
                  "198.51.100.36,198.51.100.46,255.255.255.240,12h"},
        VectorRow{"slash30RouterLast", "198.51.100.2", "255.255.255.252",
                  "198.51.100.1,198.51.100.1,255.255.255.252,12h"},
        VectorRow{"slash31Refused", "198.51.100.1", "255.255.255.254",
                  "The subnet mask 255.255.255.254 leaves no addresses for the local computers. "
                  "Choose a larger network (such as 255.255.255.0) or turn off DHCP."}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(DhcpWindow, OnePortDisablesTheBoxAndTheStartupItemGainsOneLine)
{
    type("198.51.100.1", "255.255.255.0");
    const auto withDhcp = loaded->loader->getStartupLines();
    ui().dhcp->setChecked(false);
    const auto without = loaded->loader->getStartupLines();
    ASSERT_TRUE(withDhcp && without);
    EXPECT_EQ(withDhcp->size(), without->size() + 1);
    EXPECT_TRUE(withDhcp->contains("/usr/bin/install -d -m 0755 /var/lib/velloran /run/velloran && "
                                   "/usr/sbin/dnsmasq " +
                                   controller->getDhcpArgs().value_or(QStringList()).join(' ') +
                                   '\n'));
    ui().dhcp->setChecked(true);
    ui().internalInterface->setCurrentText(ui().externalInterface->currentText());
    EXPECT_FALSE(ui().dhcp->isEnabled());
    EXPECT_TRUE(ui().dhcp->toolTip().contains(QLatin1String("one port")));
    EXPECT_FALSE(controller->dhcpWanted());
}

// One wan/gw/lan set-up: Velloran's real window in gw hands the lan client its lease, follows
// the LAN interface through its removal, and stops only the server it started.
TEST(DhcpEndToEnd, ClientLeasesReachesWanAndTheWindowFollowsTheLanInterface)
{
    VELLORAN_REQUIRE_ROOT();
    VELLORAN_REQUIRE(QFileInfo::exists(DhcpServer::kProgram) && QFileInfo::exists("/sbin/udhcpc"),
                     "needs dnsmasq-base and udhcpc");
    NetnsTopology net(NetnsTopology::Options{.gatewayLanAddress = false});
    VELLORAN_REQUIRE(net.ready(), net.error().toStdString());
    PrivateRoot root;
    ASSERT_TRUE(root.ready()) << root.error().toStdString();
    QTemporaryDir client;
    ASSERT_EQ(root.run(net.gw(), {"/bin/true"}), 0); // makes the root's /etc
    // systemd-resolved's stub stands for the list behind it.
    QFile::remove(root.hostPath("/etc/resolv.conf"));
    QDir().mkpath(root.hostPath("/run/systemd/resolve"));
    TestSupport::writeFile(root.hostPath("/etc/resolv.conf"), "nameserver 127.0.0.53\n");
    TestSupport::writeFile(root.hostPath("/run/systemd/resolve/resolv.conf"),
                           "nameserver 127.0.0.1\nnameserver 203.0.113.53\n");
    TestSupport::writeFile(client.filePath("record"),
                           "#!/bin/sh\n[ \"$1\" = bound ] || exit 0\n"
                           "echo \"$ip $router $dns\" > " +
                               client.filePath("lease").toUtf8() +
                               "\n/usr/sbin/ip addr add \"$ip/$mask\" dev \"$interface\"\n"
                               "/usr/sbin/ip route add default via \"$router\"\n");
    QFile::setPermissions(client.filePath("record"), QFile::ReadOwner | QFile::ExeOwner);
    ASSERT_EQ(net.exec(net.lan(), {"/usr/sbin/ip", "addr", "flush", "dev", "lan0"}), 0);
    // Other DHCP servers of the machine, started first: one on the Internet side, which Stop
    // must leave running, and one on the LAN, which must keep sharing from starting.
    const auto dnsmasq = [&](const char *interface, const char *range, const char *pidFile) {
        return root.run(net.gw(), {DhcpServer::kProgram, "--conf-file=/dev/null", "--port=0",
                                   QStringLiteral("--interface=") + interface, "--bind-dynamic",
                                   QStringLiteral("--dhcp-range=") + range,
                                   "--dhcp-leasefile=/run/other.leases",
                                   QStringLiteral("--pid-file=") + pidFile});
    };
    ASSERT_EQ(dnsmasq("ext0", "203.0.113.100,203.0.113.110", "/run/other.pid"), 0);
    ASSERT_EQ(dnsmasq("int0", "198.51.100.50,198.51.100.60", "/run/blocker.pid"), 0);
    const pid_t other = TestSupport::readAll(root.hostPath("/run/other.pid")).toInt();

    SharingDriver driver(root, net.gw());
    ASSERT_TRUE(driver.launched().ok) << driver.launched().text.toStdString();
    const QString internal = QStringLiteral("Ethernet Interface (int0)");
    ASSERT_TRUE(driver.configure(QStringLiteral("Ethernet Interface (ext0)"), internal));
    const auto state = [&](const char *key) {
        return driver.send(QStringLiteral("show")).fields.value(QLatin1String(key));
    };
    ASSERT_EQ(state("running"), QStringLiteral("0")) << "a natd of some other test still runs";
    ASSERT_TRUE(driver.send(QStringLiteral("click dhcp")).ok);
    EXPECT_EQ(driver.send(QStringLiteral("click sharingButton")).alerts,
              QStringList{"Another DHCP server (dnsmasq) already answers on int0. Quit it, or turn "
                          "off DHCP in Velloran, before starting Internet Sharing."});
    const pid_t blocker = TestSupport::readAll(root.hostPath("/run/blocker.pid")).toInt();
    ASSERT_EQ(::kill(blocker, SIGTERM), 0);
    ASSERT_TRUE(NetnsTopology::waitFor([&] { return !TestSupport::processAlive(blocker); }, 5000));
    ASSERT_EQ(driver.send(QStringLiteral("click sharingButton")).alerts, QStringList());
    ASSERT_EQ(state("running"), QStringLiteral("1"));

    const QStringList udhcpc{"/sbin/udhcpc", "-f", "-n", "-q",   "-t", "5",
                             "-T",           "1",  "-i", "lan0", "-s", client.filePath("record")};
    ASSERT_EQ(net.exec(net.lan(), udhcpc), 0);
    // Address inside the range, the router as gateway, the upstream name server.
    const QString record = TestSupport::readAll(client.filePath("lease"));
    const auto lease =
        QRegularExpression("^198\\.51\\.100\\.(\\d+) 198\\.51\\.100\\.1 203\\.0\\.113\\.53\n$")
            .match(record);
    EXPECT_TRUE(lease.hasMatch() && lease.captured(1).toInt() >= 10) << record.toStdString();
    auto wan = net.listenTcp(net.wan(), QStringLiteral("203.0.113.1"), 8080);
    EXPECT_TRUE(NetnsTopology::waitFor(
        [&] { return net.connectTcp(net.lan(), "203.0.113.1", 8080, 1500); }, 8000));

    // The LAN cable's veth goes and comes back; the window sees it without an activation.
    ASSERT_EQ(net.exec(net.lan(), {"/usr/sbin/ip", "link", "del", "lan0"}), 0);
    EXPECT_TRUE(
        NetnsTopology::waitFor([&] { return !state("internalItems").contains(internal); }, 5000));
    ASSERT_EQ(net.exec(net.gw(), {"/usr/sbin/ip", "link", "add", "int0", "type", "veth", "peer",
                                  "name", "lan0", "netns", net.lan()}),
              0);
    EXPECT_TRUE(NetnsTopology::waitFor([&] { return state("internal") == internal; }, 5000));
    EXPECT_TRUE(NetnsTopology::waitFor(
        [&] { return net.addresses(net.gw(), "int0") == QStringList{"198.51.100.1/24"}; }, 5000));

    ASSERT_EQ(net.exec(net.gw(), {"/usr/sbin/ip", "link", "set", "int0", "up"}), 0);
    ASSERT_EQ(net.exec(net.lan(), {"/usr/sbin/ip", "link", "set", "lan0", "up"}), 0);
    EXPECT_EQ(net.exec(net.lan(), udhcpc), 0) << "the server follows the new interface";

    const pid_t server = TestSupport::readAll(root.hostPath(DhcpServer::kPidFile)).toInt();
    ASSERT_GT(server, 0);
    EXPECT_EQ(driver.send(QStringLiteral("click sharingButton")).alerts, QStringList());
    EXPECT_TRUE(NetnsTopology::waitFor([&] { return !TestSupport::processAlive(server); }, 5000));
    EXPECT_TRUE(TestSupport::processAlive(other)) << "another dnsmasq was stopped";
}
