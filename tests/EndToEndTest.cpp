#include "Bundle.h"
#include "NetnsTopology.h"
#include "SharingSession.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>
#include <csignal>
#include <memory>

namespace {

const QString kNft = QStringLiteral("/usr/sbin/nft");
const QString kBystander = QStringLiteral(
    "table inet bystander { chain forwarding { type filter hook forward priority 0; policy accept; "
    "tcp dport 9 drop; }; chain translation { type nat hook postrouting priority 100; "
    "oifname \"ext0\" tcp dport 7 masquerade; }; }");

// The machine's own boot-time files: the tests must leave every one as it was.
QStringList hostBootFiles()
{
    QStringList state;
    for (const char *path : {"/Library/StartupItems/Velloran", "/etc/natd.conf", "/etc/rc.common",
                             "/etc/systemd/system/velloran.service"})
        state << QFileInfo(path).lastModified().toString(Qt::ISODateWithMs);
    return state;
}

struct Journey {
    const char *name;
    std::vector<const char *> steps;
};

void PrintTo(const Journey &journey, std::ostream *os)
{
    *os << journey.name;
}

} // namespace

// Velloran as the user runs it: the real window, root's privileged runner and the tool view, in
// the gateway of one wan/gw/lan topology shared by every journey, each in a root of its own. The
// gateway's LAN interface starts without an address: Velloran gives it one. Steps:
//   launch | relaunch | quit           a fresh window | quit first | quit
//   ! COMMAND                          a driver command that must run through without an alert
//   ? KEY=VALUE                        a field of the window or controller ("show" and "state")
//   lan 0|1                            the LAN reaches the WAN (translated to 203.0.113.2)
//   wan 0|1                            the WAN reaches a service on the gateway
//   gw 0|1                             the gateway's own traffic reaches the WAN
//   addr DEV [A/N...]                  the gateway's addresses on DEV
//   stopped                            natd's table, every rule and natd's pid file are gone
//   kill natd                          natd, found by its exact command line, is killed
//   boot                               the installed unit's ExecStart runs as at boot
class EndToEnd : public ::testing::TestWithParam<Journey>
{
protected:
    static void SetUpTestSuite()
    {
        NetnsTopology::Options options;
        options.gatewayLanAddress = false;
        if (::geteuid() == 0)
            topology = new NetnsTopology(options);
    }
    static void TearDownTestSuite() { delete topology; }

    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        ASSERT_TRUE(QFileInfo::exists(Bundle::resourcePath() + "/bsdtools/natd"));
        VELLORAN_REQUIRE(topology->ready(), topology->error().toStdString());
        ASSERT_TRUE(root.ready()) << root.error().toStdString();
        ASSERT_EQ(gw({kNft, kBystander}), 0);
        gw({kNft, "list", "table", "inet", "bystander"}, &bystander);
    }
    void TearDown() override
    {
        driver.reset();
        if (!topology || !topology->ready())
            return;
        QString now;
        gw({kNft, "list", "table", "inet", "bystander"}, &now);
        EXPECT_EQ(now, bystander) << "another table changed";
        // Back to the gateway as it was built, for the next journey.
        topology->killAll(topology->gw());
        gw({kNft, "flush", "ruleset"});
        gw({"/usr/sbin/ip", "addr", "flush", "dev", "int0"});
        gw({"/usr/sbin/ip", "addr", "del", "198.51.100.1/24", "dev", "ext0"});
        gw({"/usr/sbin/sysctl", "-qw", "net.ipv4.ip_forward=0"});
        EXPECT_EQ(hostBootFiles(), hostBefore) << "the machine's own files changed";
    }

    int gw(const QStringList &argv, QString *output = nullptr)
    {
        return topology->exec(topology->gw(), argv, output);
    }
    QString ruleset()
    {
        QString output;
        gw({kNft, "list", "ruleset"}, &output);
        return output;
    }
    bool lanReachesWan(QString *source)
    {
        const bool connected = topology->connectTcp(topology->lan(), "203.0.113.1", 8080, 1500);
        // A half-open attempt may still be queued; take it either way so the next try is fresh.
        const auto peer = wan.acceptPeer(connected ? 1500 : 0);
        *source = peer.value_or(QString());
        return connected && peer;
    }
    void launch()
    {
        driver = std::make_unique<SharingDriver>(root, topology->gw());
        ASSERT_TRUE(driver->launched().ok) << driver->launched().text.toStdString();
        EXPECT_EQ(driver->launched().alerts, QStringList());
    }
    void step(const QString &step);

    static NetnsTopology *topology;
    const QStringList hostBefore = hostBootFiles();
    PrivateRoot root;
    QString bystander;
    std::unique_ptr<SharingDriver> driver;
    NetnsTopology::Listener wan = topology
                                      ? topology->listenTcp(topology->wan(), "203.0.113.1", 8080)
                                      : NetnsTopology::Listener();
    NetnsTopology::Listener service = topology
                                          ? topology->listenTcp(topology->gw(), "203.0.113.2", 2222)
                                          : NetnsTopology::Listener();
};

NetnsTopology *EndToEnd::topology = nullptr;

void EndToEnd::step(const QString &step)
{
    const QStringList words = step.split(' ');
    const QString &verb = words[0], arg = step.section(' ', 1);
    if (verb == "launch") {
        launch();
    } else if (verb == "relaunch" || verb == "quit") {
        ASSERT_TRUE(driver->quit()) << driver->errors().toStdString();
        driver.reset();
        if (verb == "relaunch")
            launch();
    } else if (verb == "!") {
        const auto reply = driver->send(arg);
        EXPECT_TRUE(reply.ok && reply.alerts.isEmpty()) << reply.text.toStdString();
    } else if (verb == "?") {
        const auto reply = driver->send("show");
        EXPECT_EQ(arg.section('=', 1), reply.fields.value(arg.section('=', 0, 0)));
    } else if (verb == "lan") {
        QString source;
        // A client retries: a gateway address it failed to resolve before is looked up later.
        const bool reached =
            words[1] == "1" ? NetnsTopology::waitFor([&] { return lanReachesWan(&source); }, 8000)
                            : lanReachesWan(&source);
        EXPECT_EQ(reached, words[1] == "1") << ruleset().toStdString();
        EXPECT_EQ(source, reached ? "203.0.113.2" : "");
    } else if (verb == "wan") {
        EXPECT_EQ(topology->connectTcp(topology->wan(), "203.0.113.2", 2222, 1500) &&
                      service.acceptPeer(1500),
                  words[1] == "1");
    } else if (verb == "gw") {
        EXPECT_EQ(topology->connectTcp(topology->gw(), "203.0.113.1", 8080, 1000), words[1] == "1");
        wan.acceptPeer(0);
    } else if (verb == "addr") {
        EXPECT_EQ(topology->addresses(topology->gw(), words[1]), words.mid(2));
    } else if (verb == "stopped") {
        EXPECT_TRUE(NetnsTopology::waitFor([&] { return !ruleset().contains("velloran"); }, 5000))
            << ruleset().toStdString();
        EXPECT_FALSE(QFileInfo::exists(root.hostPath("/run/natd.pid")));
    } else if (verb == "kill") {
        const pid_t pid = TestSupport::readAll(root.hostPath("/run/natd.pid")).trimmed().toInt();
        EXPECT_EQ(TestSupport::readAll(QStringLiteral("/proc/%1/cmdline").arg(pid)),
                  QByteArray("/usr/sbin/natd\0-interface\0ext0\0", 31));
        ASSERT_GT(pid, 0);
        ASSERT_EQ(::kill(pid, SIGKILL), 0);
        EXPECT_TRUE(
            NetnsTopology::waitFor([&] { return !ruleset().contains("velloran_natd"); }, 5000));
    } else if (verb == "boot") {
        const QString item = "/Library/StartupItems/Velloran/Velloran";
        ASSERT_TRUE(QFileInfo(root.hostPath(item)).isExecutable());
        EXPECT_TRUE(QFileInfo::exists(root.hostPath("/etc/natd.conf")));
        EXPECT_TRUE(QFileInfo(root.hostPath("/etc/systemd/system/multi-user.target.wants/"
                                            "velloran.service"))
                        .isSymLink());
        // What systemd would run at boot, word for word from the installed unit.
        const auto match =
            QRegularExpression("\nExecStart=\"([^\"]+)\" (\\S+)\n")
                .match(TestSupport::readAll(root.hostPath("/etc/systemd/system/velloran.service")));
        ASSERT_TRUE(match.hasMatch());
        EXPECT_EQ(match.captured(2), item);
        QString output;
        EXPECT_EQ(root.run(topology->gw(), {match.captured(1), match.captured(2)}, &output), 0);
        EXPECT_TRUE(output.startsWith("Starting Velloran Services\n")) << output.toStdString();
    } else {
        FAIL() << "unknown step " << step.toStdString();
    }
}

TEST_P(EndToEnd, Journey)
{
    for (const char *text : GetParam().steps) {
        SCOPED_TRACE(text);
        ASSERT_NO_FATAL_FAILURE(step(QString::fromLatin1(text)));
    }
}

#define CONFIGURE                                                                                  \
    "! external Ethernet Interface (ext0)", "! internal Ethernet Interface (int0)",                \
        "! router 198.51.100.1", "! subnet 255.255.255.0"
INSTANTIATE_TEST_SUITE_P(
    Table, EndToEnd,
    ::testing::Values(
        // Sharing outlives the window; the next launch finds it and stops it.
        Journey{"StartSharesRelaunchFindsItStopCutsAndCleansUp",
                {"lan 0", "launch", "? button=Start Internet Sharing", CONFIGURE,
                 "! click sharingButton", "? button=Stop Internet Sharing", "lan 1",
                 "addr int0 198.51.100.1/24", "wan 1", "relaunch", "? button=Stop Internet Sharing",
                 "? external=Ethernet Interface (ext0)", "? internal=Ethernet Interface (int0)",
                 "! click sharingButton", "? button=Start Internet Sharing", "stopped", "lan 0",
                 "addr int0", "addr ext0 203.0.113.2/24"}},
        Journey{"DenyIncomingKeepsTheWanOutButLetsAnswersIn",
                {"launch", CONFIGURE, "? deny=0", "! click denyIncoming", "? deny=1",
                 "! click sharingButton", "? button=Stop Internet Sharing", "wan 0", "lan 1"}},
        // The stop removes the recorded alias even though the router fields changed meanwhile.
        Journey{"OneInterfaceInBothMenusGetsTheLanAddressBesideItsOwn",
                {"launch", "! external Ethernet Interface (ext0)",
                 "! internal Ethernet Interface (ext0)", "! router 198.51.100.1",
                 "! subnet 255.255.255.0", "! click sharingButton",
                 "? button=Stop Internet Sharing", "addr ext0 203.0.113.2/24 198.51.100.1/24",
                 "! router 198.51.100.7", "! click sharingButton",
                 "? button=Start Internet Sharing", "addr ext0 203.0.113.2/24", "addr int0",
                 "stopped"}},
        Journey{"NatdKilledFromOutsideCutsLanTrafficAndARelaunchOffersToStart",
                {"launch", CONFIGURE, "! click sharingButton", "lan 1", "kill natd", "lan 0",
                 "gw 1", "relaunch", "? button=Start Internet Sharing", "? running=0"}},
        Journey{"StartAtBootBringsSharingUpWithoutTheWindow",
                {"launch", CONFIGURE, "! click load", "? button=Start Internet Sharing", "quit",
                 "lan 0", "boot", "lan 1", "launch", "? button=Stop Internet Sharing"}}),
    [](const auto &row) { return std::string(row.param.name); });
