#include "Alert.h"
#include "Bundle.h"
#include "NetnsTopology.h"
#include "RecordingAuthorization.h"
#include "SharingChecks.h"
#include "SharingSession.h"
#include "TestSupport.h"
#include "WindowFixture.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <csignal>
#include <memory>

namespace {

const QString kExternal = QStringLiteral("Ethernet Interface (ext0)");
const QString kInternal = QStringLiteral("Ethernet Interface (int0)");
const QString kNft = QStringLiteral("/usr/sbin/nft");

struct CheckRow {
    const char *name;
    const char *router, *mask, *external, *internal;
    const char *alert; // a part of the alert, or empty when sharing may start
};

void PrintTo(const CheckRow &row, std::ostream *os)
{
    *os << row.name;
}

} // namespace

// What the pre-flight checks refuse, on a machine of eth0 (default route, 192.0.2.10/24), eth1
// (no address) and a ppp0 that is down.
class PreflightChecks : public ::testing::TestWithParam<CheckRow>
{
};

TEST_P(PreflightChecks, RefuseWhatWouldFailOrCutTheComputerOff)
{
    const CheckRow &row = GetParam();
    const SharingChecks::System machine{
        {{"eth0", true, {{0xc000020a, 24}}}, {"eth1", true, {}}, {"ppp0", false, {}}}, {"eth0"}};
    const auto alert =
        SharingChecks::problem({row.router, row.mask, row.external, row.internal, false}, machine);
    if (!*row.alert)
        EXPECT_EQ(alert, std::nullopt);
    else
        EXPECT_TRUE(alert && alert->contains(QLatin1String(row.alert)))
            << alert.value_or("none").toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PreflightChecks,
    ::testing::Values(
        CheckRow{"sound", "198.51.100.1", "255.255.255.0", "eth0", "eth1", ""},
        CheckRow{"partOver255", "198.51.100.999", "255.255.255.0", "eth0", "eth1",
                 "Router address 198.51.100.999"},
        CheckRow{"networkAddress", "198.51.100.0", "255.255.255.0", "eth0", "eth1", "Router"},
        CheckRow{"holeInMask", "198.51.100.1", "255.0.255.0", "eth0", "eth1",
                 "Subnet mask 255.0.255.0"},
        CheckRow{"internalGone", "198.51.100.1", "255.255.255.0", "eth0", "eth7", "eth7"},
        CheckRow{"overlapsExternal", "192.0.2.200", "255.255.0.0", "eth0", "eth1", "overlaps"}),
    [](const auto &row) { return std::string(row.param.name); });

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

// The real window, runner and stand-ins in the gateway of a wan/gw/lan topology whose gw has a
// default route through ext0 and int0 starts without an address.
class TruthfulSharing : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (::geteuid() != 0)
            return;
        NetnsTopology::Options options;
        options.gatewayLanAddress = false;
        topology = std::make_unique<NetnsTopology>(options);
        if (topology->ready())
            topology->exec(topology->gw(),
                           {"/usr/sbin/ip", "route", "add", "default", "via", "203.0.113.1"});
    }
    static void TearDownTestSuite() { topology.reset(); } // ends what still runs there
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        VELLORAN_REQUIRE(topology->ready(), topology->error().toStdString());
        // Each case starts from a first run, in a root of its own, and a gateway without sharing.
        ASSERT_TRUE(root.ready()) << root.error().toStdString();
        driver = std::make_unique<SharingDriver>(root, topology->gw());
        ASSERT_TRUE(driver->launched().ok) << driver->errors().toStdString();
    }
    void TearDown() override
    {
        driver.reset();
        if (!topology || !topology->ready())
            return;
        if (const pid_t natd = pidFrom("/run/natd.pid"); natd > 0)
            ::kill(natd, SIGTERM);
        gw({kNft, "add table ip velloran_ipfw; delete table ip velloran_ipfw"});
        gw({"/usr/sbin/ip", "addr", "flush", "dev", "int0"});
    }

    int gw(const QStringList &argv, QString *output = nullptr)
    {
        return topology->exec(topology->gw(), argv, output);
    }
    pid_t pidFrom(const char *file) const
    {
        QFile pids(root.hostPath(QLatin1String(file)));
        return pids.open(QIODevice::ReadOnly) ? pids.readAll().trimmed().toInt() : 0;
    }
    QString field(const char *name)
    {
        return driver->send(QStringLiteral("show")).fields.value(QLatin1String(name));
    }
    QStringList click(const char *name)
    {
        const auto reply = driver->send(QStringLiteral("click ") + QLatin1String(name));
        EXPECT_TRUE(reply.ok) << reply.text.toStdString() << driver->errors().toStdString();
        return reply.alerts;
    }
    QStringList startSharing()
    {
        EXPECT_TRUE(driver->configure(kExternal, kInternal)) << driver->errors().toStdString();
        return click("sharingButton");
    }
    bool reachesWan(const QString &ns)
    {
        const auto wan = topology->listenTcp(topology->wan(), "203.0.113.1", 8080);
        const bool connected = topology->connectTcp(ns, "203.0.113.1", 8080, 1500);
        return wan.acceptPeer(connected ? 1500 : 0).has_value();
    }
    // The status line of a name lookup that named answers from its built-in empty zones.
    QString askNameServer(const QString &ns, const QString &server)
    {
        QString output;
        topology->exec(ns, {"/usr/bin/dig", "+time=1", "+tries=1", "@" + server, "-x", "192.0.2.1"},
                       &output);
        return output.section(QLatin1String("status: "), 1).section(QLatin1Char(','), 0, 0);
    }

    // ipfw as the runner starts it: in gw, through the tool view over the bundle's stand-ins.
    int ipfw(const QString &arguments, QString *output = nullptr)
    {
        return gw(QStringList{Bundle::resourcePath() + "/velloran-toolview", "/sbin/ipfw"} +
                      arguments.split(' '),
                  output);
    }

    static inline std::unique_ptr<NetnsTopology> topology;
    PrivateRoot root;
    std::unique_ptr<SharingDriver> driver;
};

TEST_F(TruthfulSharing, RefusedStartsRunNothingAndLeaveTheNetworkAlone)
{
    struct Row {
        const char *external, *internal, *router, *alert;
    };
    const Row rows[] = {
        {nullptr, nullptr, nullptr, "(ppp0) is not up"}, // first-run defaults
        {"Ethernet Interface (ext0)", "Ethernet Interface (int0)", "198.51.100.999",
         "Router address 198.51.100.999"},
        {"Ethernet Interface (int0)", "Ethernet Interface (ext0)", "198.51.100.1",
         "cut this computer off"},
    };
    QString routes;
    gw({"/usr/sbin/ip", "route"}, &routes);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.alert);
        if (row.external) {
            ASSERT_TRUE(driver->configure(row.external, row.internal, row.router));
        }
        const QStringList alerts = click("sharingButton");
        ASSERT_EQ(alerts.size(), 1) << alerts.join('\n').toStdString();
        EXPECT_TRUE(alerts[0].contains(QLatin1String(row.alert))) << alerts[0].toStdString();
        EXPECT_EQ(field("button"), QStringLiteral("Start Internet Sharing"));
        EXPECT_EQ(pidFrom("/run/natd.pid"), 0);
        EXPECT_EQ(topology->addresses(topology->gw(), "ext0"), QStringList{"203.0.113.2/24"});
        EXPECT_EQ(topology->addresses(topology->gw(), "int0"), QStringList());
        QString now;
        gw({"/usr/sbin/ip", "route"}, &now);
        EXPECT_EQ(now, routes);
    }
}

TEST_F(TruthfulSharing, AFailingIpfwStopsTheStartBeforeIfconfig)
{
    // A table of ipfw's name that another nft session owns: ipfw can't flush it.
    QProcess holder;
    holder.start("/usr/sbin/ip", {"netns", "exec", topology->gw(), kNft, "-i"});
    ASSERT_TRUE(holder.waitForStarted());
    holder.write("add table ip velloran_ipfw { flags owner; }\n");
    holder.waitForBytesWritten(5000);
    const auto held = [&] { return gw({kNft, "list table ip velloran_ipfw"}) == 0; };
    ASSERT_TRUE(NetnsTopology::waitFor(held, 5000));
    EXPECT_EQ(startSharing(),
              QStringList{"There was an error while starting Internet Sharing (ipfw)"});
    EXPECT_EQ(field("button"), QStringLiteral("Start Internet Sharing"));
    EXPECT_EQ(topology->addresses(topology->gw(), "int0"), QStringList());
    holder.closeWriteChannel();
    holder.waitForFinished(5000);
}

TEST_F(TruthfulSharing, AForeignForwardDropIsNamedAndIpfwRuleFormsTakeEffectOrAreRefused)
{
    ASSERT_EQ(gw({kNft, "add table inet guard { chain forwarding { type filter hook forward "
                        "priority 0; policy drop; }; }"}),
              0);
    const QStringList alerts = startSharing();
    gw({kNft, "delete table inet guard"});
    ASSERT_EQ(alerts.size(), 1);
    for (const char *part : {"\"forwarding\"", "\"inet guard\"", "ufw route allow", "firewall-cmd"})
        EXPECT_TRUE(alerts[0].contains(QLatin1String(part))) << alerts[0].toStdString();
    EXPECT_EQ(field("button"), QStringLiteral("Stop Internet Sharing"));
    ASSERT_TRUE(NetnsTopology::waitFor([&] { return reachesWan(topology->lan()); }, 8000));
    // clang-format off
    const struct { const char *rule; int status; } rows[] = {
        {"recv int0 xmit ext0", 0}, {"recv int0 out", 0}, {"recv int0", 0}, {"xmit ext0", 0},
        {"via int0", 0}, {"xmit ext0 in", 1}, {"recv int0 xmit ext0 in", 1}};
    // clang-format on
    for (const auto &row : rows) {
        SCOPED_TRACE(row.rule);
        QString output;
        EXPECT_EQ(ipfw(QString("add 90 deny all from any to any %1").arg(row.rule), &output),
                  row.status)
            << output.toStdString();
        if (row.status != 0)
            continue;
        EXPECT_FALSE(reachesWan(topology->lan())) << "the rule took no effect";
        EXPECT_EQ(ipfw("delete 90"), 0);
        EXPECT_TRUE(NetnsTopology::waitFor([&] { return reachesWan(topology->lan()); }, 8000))
            << "deleting the rule let nothing through again";
    }
    // A second divert rule for the interface changes nothing.
    EXPECT_EQ(ipfw("add 96 divert natd all from any to any via ext0"), 0);
    EXPECT_TRUE(NetnsTopology::waitFor([&] { return reachesWan(topology->lan()); }, 8000));
}

TEST_F(TruthfulSharing, TheNameServerIsVelloransOwnAndServesOnlyTheLan)
{
    {
        // Port 53 held by another program: the alert names it and the box stays unticked.
        const auto held = topology->listenTcp(topology->gw(), "0.0.0.0", 53);
        ASSERT_TRUE(held.listening());
        const QStringList alerts = click("named");
        ASSERT_EQ(alerts.size(), 1);
        EXPECT_TRUE(alerts[0].contains(QLatin1String("velloran_tests"))) << alerts[0].toStdString();
        EXPECT_EQ(field("named"), QStringLiteral("0"));
    }
    FakeProcess distributions({"/usr/sbin/named", "-u", "bind"});
    driver.reset();
    driver = std::make_unique<SharingDriver>(root, topology->gw());
    EXPECT_EQ(field("named"), QStringLiteral("0")) << "the distribution's server is not ours";
    ASSERT_EQ(startSharing(), QStringList());
    EXPECT_EQ(click("named"), QStringList());
    EXPECT_TRUE(NetnsTopology::waitFor(
        [&] { return askNameServer(topology->lan(), "198.51.100.1") == "NXDOMAIN"; }, 10000));
    EXPECT_EQ(askNameServer(topology->wan(), "203.0.113.2"), QStringLiteral("REFUSED"));

    // Unticked, ours ends and the distribution's stays; so with Reset.
    const pid_t ours = pidFrom("/run/named.pid");
    click("named");
    EXPECT_EQ(field("named"), QStringLiteral("0"));
    // Gone, or a zombie nobody reaps in the test's own pid namespace.
    ASSERT_TRUE(NetnsTopology::waitFor(
        [&] {
            QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(ours));
            return !cmdline.open(QIODevice::ReadOnly) || cmdline.readAll().isEmpty();
        },
        10000));
    EXPECT_EQ(::kill(distributions.pid, 0), 0);
    EXPECT_EQ(click("named"), QStringList());
    click("resetButton");
    EXPECT_EQ(field("named"), QStringLiteral("0"));
    EXPECT_EQ(::kill(distributions.pid, 0), 0);
}
