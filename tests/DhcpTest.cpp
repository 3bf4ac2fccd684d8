#include "Alert.h"
#include "DhcpServer.h"
#include "NATLoader.h"
#include "NetnsTopology.h"
#include "RecordingAuthorization.h"
#include "SharingSession.h"
#include "WindowFixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

namespace {

struct VectorRow {
    const char *name;
    QStringList router, mask;
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
        Alert::setHandler([this](const QString &message) { alerts << message; });
        controller->applicationDidFinishLaunching(nullptr);
        ui().externalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth0)"));
        ui().internalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth1)"));
        ui().named->click();
        ui().dhcp->setChecked(true);
        auth->clearRecord();
    }
    void TearDown() override
    {
        Alert::setHandler(nullptr);
        WindowFixture::TearDown();
    }
    void type(const QStringList &router, const QStringList &mask)
    {
        setAddress(ui().route1, ui().route2, ui().route3, ui().route4, router);
        setAddress(ui().sub1, ui().sub2, ui().sub3, ui().sub4, mask);
    }

    ScopedRecordingAuthorization auth;
    QStringList alerts;
};

TEST_P(DhcpWindow, ServesTheNetworkBeyondTheFirstAddressesOrRefusesTheMask)
{
    const VectorRow &row = GetParam();
    type(row.router, row.mask);
    const QString router = row.router.join('.');
    if (row.range.startsWith(QLatin1String("The subnet mask"))) {
        ui().sharingButton->click();
        EXPECT_EQ(alerts, QStringList{row.range});
        EXPECT_EQ(auth->commandLines(), QStringList()) << "nothing runs before the refusal";
        return;
    }
    const auto args = controller->getDhcpArgs();
    ASSERT_TRUE(args.has_value());
    EXPECT_EQ(args->join(' '),
              "--conf-file=/dev/null --port=0 --interface=eth1 "
              "--except-interface=lo --bind-interfaces --dhcp-authoritative --no-ping "
              "--dhcp-range=" +
                  row.range + ' ' + kDnsmasqTail.arg(router));
    EXPECT_TRUE(DhcpServer::isVelloranServer(QStringList{DhcpServer::kProgram} + *args));
}

INSTANTIATE_TEST_SUITE_P(
    Masks, DhcpWindow,
    ::testing::Values(
        VectorRow{"slash24",
                  {"198", "51", "100", "1"},
                  {"255", "255", "255", "0"},
                  "198.51.100.10,198.51.100.254,255.255.255.0,12h"},
        VectorRow{"slash24RouterInTheMiddle",
                  {"198", "51", "100", "100"},
                  {"255", "255", "255", "0"},
                  "198.51.100.101,198.51.100.254,255.255.255.0,12h"},
        VectorRow{"slash28",
                  {"198", "51", "100", "33"},
                  {"255", "255", "255", "240"},
                  "198.51.100.36,198.51.100.46,255.255.255.240,12h"},
        VectorRow{"slash30RouterLast",
                  {"198", "51", "100", "2"},
                  {"255", "255", "255", "252"},
                  "198.51.100.1,198.51.100.1,255.255.255.252,12h"},
        VectorRow{"slash31Refused",
                  {"198", "51", "100", "1"},
                  {"255", "255", "255", "254"},
                  "The subnet mask 255.255.255.254 leaves no addresses for the local computers. "
                  "Choose a larger network (such as 255.255.255.0) or turn off DHCP."}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(DhcpWindow, OnePortDisablesTheBoxAndTheStartupItemGainsOneLine)
{
    type({"198", "51", "100", "1"}, {"255", "255", "255", "0"});
    const auto withDhcp = loaded->loader->getStartupLines();
    ui().dhcp->setChecked(false);
    const auto without = loaded->loader->getStartupLines();
    ASSERT_TRUE(withDhcp && without);
    QStringList extra = *withDhcp;
    for (const QString &line : *without)
        extra.removeOne(line);
    EXPECT_EQ(extra,
              QStringList{"/usr/bin/install -d -m 0755 /var/lib/velloran /run/velloran && "
                          "/usr/sbin/dnsmasq " +
                          controller->getDhcpArgs().value_or(QStringList()).join(' ') + '\n'});

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
    NetnsTopology::Options options;
    options.gatewayLanAddress = false;
    NetnsTopology net(options);
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
    // Another dnsmasq of the machine, started first: Stop must leave it running.
    ASSERT_EQ(root.run(net.gw(), {DhcpServer::kProgram, "--conf-file=/dev/null", "--port=0",
                                  "--interface=ext0", "--bind-interfaces",
                                  "--pid-file=/run/other-dnsmasq.pid"}),
              0);
    const pid_t other = TestSupport::readAll(root.hostPath("/run/other-dnsmasq.pid")).toInt();

    SharingDriver driver(root, net.gw());
    ASSERT_TRUE(driver.launched().ok) << driver.launched().text.toStdString();
    const QString internal = QStringLiteral("Ethernet Interface (int0)");
    ASSERT_TRUE(driver.configure(QStringLiteral("Ethernet Interface (ext0)"), internal));
    const auto state = [&](const char *key) {
        return driver.send(QStringLiteral("state")).fields.value(QLatin1String(key));
    };
    ASSERT_TRUE(driver.send(QStringLiteral("click dhcp")).ok);
    const auto started = driver.send(QStringLiteral("click sharingButton"));
    ASSERT_EQ(started.alerts, QStringList()) << driver.errors().toStdString();
    ASSERT_EQ(state("running"), QStringLiteral("1"));

    QString output;
    EXPECT_EQ(net.exec(net.lan(),
                       {"/sbin/udhcpc", "-f", "-n", "-q", "-t", "5", "-T", "1", "-i", "lan0", "-s",
                        client.filePath("record")},
                       &output),
              0)
        << output.toStdString();
    const QStringList lease =
        QString::fromUtf8(TestSupport::readAll(client.filePath("lease"))).split(' ');
    ASSERT_EQ(lease.size(), 3) << output.toStdString();
    EXPECT_TRUE(lease[0].startsWith("198.51.100.") && lease[0].mid(11).toInt() >= 10)
        << lease[0].toStdString();
    EXPECT_EQ(lease[1], QStringLiteral("198.51.100.1"));
    EXPECT_EQ(lease[2].trimmed(), QStringLiteral("203.0.113.53"));
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

    const pid_t server = TestSupport::readAll(root.hostPath(DhcpServer::kPidFile)).toInt();
    ASSERT_TRUE(server > 0 && TestSupport::processAlive(server));
    EXPECT_EQ(driver.send(QStringLiteral("click sharingButton")).alerts, QStringList());
    EXPECT_TRUE(NetnsTopology::waitFor([&] { return !TestSupport::processAlive(server); }, 5000));
    EXPECT_TRUE(TestSupport::processAlive(other)) << "another dnsmasq was stopped";
}
