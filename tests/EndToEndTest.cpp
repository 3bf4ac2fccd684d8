#include "Bundle.h"
#include "NetnsTopology.h"
#include "SharingSession.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <csignal>
#include <memory>

namespace {

const QString kExternal = QStringLiteral("Ethernet Interface (ext0)");
const QString kInternal = QStringLiteral("Ethernet Interface (int0)");
const QString kStart = QStringLiteral("Start Internet Sharing");
const QString kStop = QStringLiteral("Stop Internet Sharing");
const QString kNft = QStringLiteral("/usr/sbin/nft");

std::string describe(const SharingDriver::Reply &reply)
{
    return reply.text.toStdString();
}

// The machine's own boot-time files: the tests must leave every one as it was.
QStringList hostBootFiles()
{
    QStringList state;
    for (const char *path : {"/Library/StartupItems/Velloran", "/etc/natd.conf", "/etc/rc.common",
                             "/etc/systemd/system/velloran.service"}) {
        const QFileInfo info{QString::fromLatin1(path)};
        state << info.filePath() + QLatin1Char('=') +
                     (info.exists() ? info.lastModified().toString(Qt::ISODateWithMs)
                                    : QStringLiteral("absent"));
    }
    return state;
}

} // namespace

// Velloran as the user runs it: the real window on the offscreen platform, root's privileged
// runner and the BSD tool view, inside the gateway namespace of a wan/gw/lan topology, in a root of
// the test's own. The gateway's LAN interface starts without an address: Velloran gives it one.
class EndToEnd : public ::testing::Test
{
protected:
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        ASSERT_TRUE(QFileInfo::exists(Bundle::resourcePath() + QStringLiteral("/bsdtools/natd")))
            << "build the stand-ins first";
        hostBefore = hostBootFiles();
        root = std::make_unique<PrivateRoot>();
        ASSERT_TRUE(root->ready()) << root->error().toStdString();
        makeTopology();
    }
    void TearDown() override
    {
        driver.reset();
        // Ends natd and whatever else runs in the namespaces by pid, then removes them.
        topology.reset();
        root.reset();
        if (!hostBefore.isEmpty()) {
            EXPECT_EQ(hostBootFiles().join(' ').toStdString(), hostBefore.join(' ').toStdString())
                << "the machine's own files changed";
        }
    }

    void makeTopology()
    {
        NetnsTopology::Options options;
        options.gatewayLanAddress = false;
        topology = std::make_unique<NetnsTopology>(options);
        VELLORAN_REQUIRE(topology->ready(), topology->error().toStdString());
    }

    // A fresh launch of Velloran in the gateway; the previous one, if any, must have quit.
    void launch()
    {
        driver = std::make_unique<SharingDriver>(*root, topology->gw());
        ASSERT_TRUE(driver->launched().ok) << describe(driver->launched());
        ASSERT_EQ(driver->launched().alerts, QStringList());
    }
    void relaunch()
    {
        ASSERT_TRUE(driver->quit()) << driver->errors().toStdString();
        launch();
    }
    QString field(const char *name)
    {
        const auto reply = driver->send(QStringLiteral("state"));
        EXPECT_TRUE(reply.ok) << describe(reply);
        return reply.fields.value(QLatin1String(name));
    }
    // A click whose action must run through without any alert.
    void click(const char *objectName)
    {
        const auto reply = driver->send(QStringLiteral("click ") + QLatin1String(objectName));
        EXPECT_TRUE(reply.ok) << describe(reply) << driver->errors().toStdString();
        EXPECT_EQ(reply.alerts, QStringList()) << driver->errors().toStdString();
    }

    QString ruleset()
    {
        QString output;
        topology->exec(topology->gw(), {kNft, QStringLiteral("list"), QStringLiteral("ruleset")},
                       &output);
        return output;
    }
    bool velloranRulesLeft() { return ruleset().contains(QLatin1String("velloran")); }
    bool natdTableGone()
    {
        return NetnsTopology::waitFor(
            [&] { return !ruleset().contains(QLatin1String("velloran_natd")); }, 5000);
    }
    pid_t natdPid() const
    {
        QFile file(root->hostPath(QStringLiteral("/run/natd.pid")));
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toInt() : 0;
    }

    NetnsTopology::Listener wanService()
    {
        auto wan = topology->listenTcp(topology->wan(), QStringLiteral("203.0.113.1"), 8080);
        EXPECT_TRUE(wan.listening());
        return wan;
    }
    bool lanReachesWan(const NetnsTopology::Listener &wan, QString *source = nullptr)
    {
        const bool connected =
            topology->connectTcp(topology->lan(), QStringLiteral("203.0.113.1"), 8080, 1500);
        // A half-open attempt may still be queued; take it either way so the next check is fresh.
        const auto peer = wan.acceptPeer(connected ? 1500 : 0);
        if (source && peer)
            *source = *peer;
        return connected && peer.has_value();
    }

    // As a LAN client retries: the gateway's address it failed to resolve before is looked up
    // again only on a later try.
    bool lanReachesWanSoon(const NetnsTopology::Listener &wan, QString *source = nullptr)
    {
        return NetnsTopology::waitFor([&] { return lanReachesWan(wan, source); }, 8000);
    }

    QStringList hostBefore;
    std::unique_ptr<PrivateRoot> root;
    std::unique_ptr<NetnsTopology> topology;
    std::unique_ptr<SharingDriver> driver;
};

TEST_F(EndToEnd, StartSharesStopCutsAndOtherTablesStayUnchanged)
{
    const QString bystander = QStringLiteral(
        "table inet bystander { chain forwarding { type filter hook forward priority 0; "
        "policy accept; tcp dport 9 drop; }; chain translation { type nat hook postrouting "
        "priority 100; oifname \"ext0\" tcp dport 7 masquerade; }; }");
    ASSERT_EQ(topology->exec(topology->gw(), {kNft, bystander}), 0);
    const QStringList listBystander{kNft, QStringLiteral("list"), QStringLiteral("table"),
                                    QStringLiteral("inet"), QStringLiteral("bystander")};
    QString before;
    topology->exec(topology->gw(), listBystander, &before);
    const auto bystanderNow = [&] {
        QString now;
        topology->exec(topology->gw(), listBystander, &now);
        return now;
    };

    auto wan = wanService();
    EXPECT_FALSE(lanReachesWan(wan)) << "nothing shared yet";

    launch();
    EXPECT_EQ(field("button"), kStart);
    ASSERT_TRUE(driver->configure(kExternal, kInternal)) << driver->errors().toStdString();
    click("sharingButton");
    EXPECT_EQ(field("button"), kStop);
    QString source;
    EXPECT_TRUE(lanReachesWanSoon(wan, &source)) << ruleset().toStdString();
    EXPECT_EQ(source, QStringLiteral("203.0.113.2"));
    EXPECT_EQ(topology->addresses(topology->gw(), NetnsTopology::gwInternal()),
              QStringList{QStringLiteral("198.51.100.1/24")});
    EXPECT_EQ(bystanderNow(), before);

    // Sharing outlives the application; the next launch finds it and stops it.
    relaunch();
    EXPECT_EQ(field("button"), kStop);
    EXPECT_EQ(field("external"), kExternal);
    EXPECT_EQ(field("internal"), kInternal);
    click("sharingButton");
    EXPECT_EQ(field("button"), kStart);
    EXPECT_TRUE(natdTableGone());
    EXPECT_FALSE(lanReachesWan(wan));
    EXPECT_FALSE(velloranRulesLeft()) << ruleset().toStdString();
    EXPECT_EQ(topology->addresses(topology->gw(), NetnsTopology::gwInternal()), QStringList());
    EXPECT_EQ(topology->addresses(topology->gw(), NetnsTopology::gwExternal()),
              QStringList{QStringLiteral("203.0.113.2/24")});
    EXPECT_FALSE(QFileInfo::exists(root->hostPath(QStringLiteral("/run/natd.pid"))));
    EXPECT_EQ(bystanderNow(), before);
}

class EndToEndDenyIncoming : public EndToEnd, public ::testing::WithParamInterface<bool>
{
};

TEST_P(EndToEndDenyIncoming, DecidesWhetherWanReachesAServiceOnTheGateway)
{
    const bool deny = GetParam();
    auto service = topology->listenTcp(topology->gw(), QStringLiteral("203.0.113.2"), 2222);
    ASSERT_TRUE(service.listening());
    auto wan = wanService();

    launch();
    ASSERT_TRUE(driver->configure(kExternal, kInternal)) << driver->errors().toStdString();
    if ((field("deny") == QLatin1String("1")) != deny)
        click("denyIncoming");
    ASSERT_EQ(field("deny"), deny ? QStringLiteral("1") : QStringLiteral("0"));
    click("sharingButton");
    ASSERT_EQ(field("button"), kStop);

    const bool reached =
        topology->connectTcp(topology->wan(), QStringLiteral("203.0.113.2"), 2222, 1500) &&
        service.acceptPeer(1500).has_value();
    EXPECT_EQ(reached, !deny);
    EXPECT_TRUE(lanReachesWanSoon(wan)) << "answers to the LAN's own connections always pass";
}

INSTANTIATE_TEST_SUITE_P(Option, EndToEndDenyIncoming, ::testing::Bool(),
                         [](const auto &row) { return row.param ? "Ticked" : "Unticked"; });

TEST_F(EndToEnd, OneInterfaceInBothMenusGetsTheLanAddressBesideItsOwn)
{
    launch();
    ASSERT_TRUE(driver->configure(kExternal, kExternal)) << driver->errors().toStdString();
    click("sharingButton");
    EXPECT_EQ(field("button"), kStop);
    EXPECT_EQ(topology->addresses(topology->gw(), NetnsTopology::gwExternal()),
              (QStringList{QStringLiteral("203.0.113.2/24"), QStringLiteral("198.51.100.1/24")}));

    // The stop removes the recorded alias even though the router fields changed meanwhile.
    const auto typed = driver->send(QStringLiteral("router 198.51.100.7"));
    ASSERT_TRUE(typed.ok) << describe(typed);
    click("sharingButton");
    EXPECT_EQ(field("button"), kStart);
    EXPECT_EQ(topology->addresses(topology->gw(), NetnsTopology::gwExternal()),
              QStringList{QStringLiteral("203.0.113.2/24")});
    EXPECT_EQ(topology->addresses(topology->gw(), NetnsTopology::gwInternal()), QStringList());
    EXPECT_TRUE(natdTableGone());
    EXPECT_FALSE(velloranRulesLeft()) << ruleset().toStdString();
}

TEST_F(EndToEnd, NatdKilledFromOutsideStopsTrafficAndARelaunchOffersToStart)
{
    auto wan = wanService();
    launch();
    ASSERT_TRUE(driver->configure(kExternal, kInternal)) << driver->errors().toStdString();
    click("sharingButton");
    ASSERT_TRUE(lanReachesWanSoon(wan));

    const pid_t pid = natdPid();
    ASSERT_GT(pid, 0);
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    ASSERT_TRUE(cmdline.open(QIODevice::ReadOnly));
    EXPECT_EQ(cmdline.readAll(), QByteArray("/usr/sbin/natd\0-interface\0ext0\0", 31));
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    EXPECT_TRUE(natdTableGone());

    EXPECT_FALSE(lanReachesWan(wan)) << "the divert rule drops what no natd takes";
    EXPECT_TRUE(topology->connectTcp(topology->gw(), QStringLiteral("203.0.113.1"), 8080, 1000))
        << "the gateway's own traffic through the interface still passes";
    wan.acceptPeer(0);

    relaunch();
    EXPECT_EQ(field("button"), kStart);
    EXPECT_EQ(field("running"), QStringLiteral("0"));
}

TEST_F(EndToEnd, StartAtBootBringsSharingUpInAFreshGateway)
{
    launch();
    ASSERT_TRUE(driver->configure(kExternal, kInternal)) << driver->errors().toStdString();
    ASSERT_EQ(field("load"), QStringLiteral("0"));
    click("load");
    EXPECT_EQ(field("load"), QStringLiteral("1"));
    EXPECT_EQ(field("button"), kStart) << "ticking the box starts nothing now";
    ASSERT_TRUE(driver->quit()) << driver->errors().toStdString();
    driver.reset();

    const QString item = QStringLiteral("/Library/StartupItems/Velloran/Velloran");
    ASSERT_TRUE(QFileInfo(root->hostPath(item)).isExecutable());
    EXPECT_TRUE(QFileInfo::exists(root->hostPath(QStringLiteral("/etc/natd.conf"))));

    // What systemd would run at boot, word for word from the installed unit.
    QFile unit(root->hostPath(QStringLiteral("/etc/systemd/system/velloran.service")));
    ASSERT_TRUE(unit.open(QIODevice::ReadOnly));
    const auto match = QRegularExpression(QStringLiteral("\nExecStart=\"([^\"]+)\" (\\S+)\n"))
                           .match(QString::fromUtf8(unit.readAll()));
    ASSERT_TRUE(match.hasMatch());
    const QStringList execStart{match.captured(1), match.captured(2)};
    EXPECT_EQ(execStart.last(), item);
    EXPECT_TRUE(QFileInfo(root->hostPath(QStringLiteral(
                              "/etc/systemd/system/multi-user.target.wants/velloran.service")))
                    .isSymLink());

    // The machine starts again: a fresh gateway, nothing shared, no window.
    topology.reset();
    makeTopology();
    auto wan = wanService();
    EXPECT_FALSE(lanReachesWan(wan));
    QString output;
    EXPECT_EQ(root->run(topology->gw(), execStart, &output), 0) << output.toStdString();
    EXPECT_TRUE(output.startsWith(QStringLiteral("Starting Velloran Services\n")))
        << output.toStdString();
    QString source;
    EXPECT_TRUE(lanReachesWanSoon(wan, &source)) << ruleset().toStdString();
    EXPECT_EQ(source, QStringLiteral("203.0.113.2"));

    // The window opened afterwards shows what the boot started.
    launch();
    EXPECT_EQ(field("button"), kStop);
    EXPECT_EQ(field("load"), QStringLiteral("1"));
}
