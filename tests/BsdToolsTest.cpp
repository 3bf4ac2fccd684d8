#include "BsdToolView.h"
#include "Bundle.h"
#include "NetnsTopology.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <csignal>
#include <memory>

namespace {

const QString kNatd = QStringLiteral("/usr/sbin/natd");
const QString kIpfw = QStringLiteral("/sbin/ipfw");
const QString kIfconfig = QStringLiteral("/sbin/ifconfig");
const QString kSysctl = QStringLiteral("/usr/sbin/sysctl");
const QString kPidFile = QStringLiteral("/var/run/natd.pid");

QStringList words(const char *text)
{
    return QString::fromLatin1(text).split(QLatin1Char(' '));
}

// The exact argument vectors Velloran sends.
QStringList divertRule(const QString &interface)
{
    return words("add 95 divert natd all from any to any via") << interface;
}
const QStringList kFlush = words("-f flush");
const QStringList kPassRule = words("add 65530 pass all from any to any");
const QStringList kForwarding = words("-w net.inet.ip.forwarding=1");

class BsdTools : public ::testing::Test
{
protected:
    void SetUp() override { SetUpWith({}); }
    void SetUpWith(NetnsTopology::Options options)
    {
        VELLORAN_REQUIRE_ROOT();
        const QString standIns = Bundle::resourcePath() + QStringLiteral("/bsdtools");
        ASSERT_TRUE(QFileInfo::exists(standIns + QStringLiteral("/natd")))
            << "build the stand-ins first: " << standIns.toStdString();
        topology = std::make_unique<NetnsTopology>(options);
        VELLORAN_REQUIRE(topology->ready(), topology->error().toStdString());
    }
    void TearDown() override
    {
        // The topology ends a natd left running by its pid; its pid file is then ours to remove.
        const pid_t pid = natdPid();
        topology.reset();
        if (pid > 0 && NetnsTopology::waitFor([&] { return ::kill(pid, 0) != 0; }, 2000) &&
            natdPid() == pid)
            QFile::remove(kPidFile);
    }

    NetnsTopology::ToolRun tool(const QString &path, const QStringList &args)
    {
        return topology->runTool(path, args);
    }
    void expectSuccess(const QString &path, const QStringList &args)
    {
        const auto run = tool(path, args);
        EXPECT_EQ(run.status, 0) << path.toStdString() << " " << args.join(' ').toStdString()
                                 << ": " << run.output.toStdString();
    }
    // natd, the firewall rules, the LAN address and forwarding, in Velloran's order.
    void startSharing(const QStringList &natdArgs)
    {
        expectSuccess(kNatd, natdArgs);
        expectSuccess(kIpfw, kFlush);
        expectSuccess(kIpfw, divertRule(NetnsTopology::gwExternal()));
        expectSuccess(kIpfw, kPassRule);
        expectSuccess(kIfconfig, {NetnsTopology::gwInternal(), QStringLiteral("198.51.100.1"),
                                  QStringLiteral("netmask"), QStringLiteral("255.255.255.0")});
        expectSuccess(kSysctl, kForwarding);
    }
    static pid_t natdPid()
    {
        QFile file(kPidFile);
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toInt() : 0;
    }
    QString ruleset()
    {
        QString output;
        topology->exec(
            topology->gw(),
            {QStringLiteral("/usr/sbin/nft"), QStringLiteral("list"), QStringLiteral("ruleset")},
            &output);
        return output;
    }
    bool hasTable(const char *name) { return ruleset().contains(QLatin1String(name)); }
    bool lanReachesWan(NetnsTopology::Listener &wan, QString *source = nullptr)
    {
        if (!topology->connectTcp(topology->lan(), QStringLiteral("203.0.113.1"), 8080, 1500))
            return false;
        const auto peer = wan.acceptPeer(1500);
        if (source && peer)
            *source = *peer;
        return peer.has_value();
    }

    std::unique_ptr<NetnsTopology> topology;
};

class BsdToolsUnaddressedLan : public BsdTools
{
protected:
    void SetUp() override
    {
        NetnsTopology::Options options;
        options.gatewayLanAddress = false;
        SetUpWith(options);
    }
};

TEST_F(BsdToolsUnaddressedLan, SharingTranslatesLanTrafficAndDivertDropsItWithoutNatd)
{
    auto wan = topology->listenTcp(topology->wan(), QStringLiteral("203.0.113.1"), 8080);
    ASSERT_TRUE(wan.listening());
    EXPECT_FALSE(lanReachesWan(wan)) << "no sharing yet";

    startSharing({QStringLiteral("-interface"), NetnsTopology::gwExternal()});
    QString source;
    // The gateway's address failed to resolve a moment ago: a client looks it up again later.
    EXPECT_TRUE(NetnsTopology::waitFor([&] { return lanReachesWan(wan, &source); }, 8000));
    EXPECT_EQ(source, QStringLiteral("203.0.113.2"));
    EXPECT_EQ(topology->addresses(topology->gw(), NetnsTopology::gwInternal()),
              QStringList{QStringLiteral("198.51.100.1/24")});

    // The process lookup finds natd by its command line.
    const pid_t pid = natdPid();
    ASSERT_GT(pid, 0);
    const auto inGateway = topology->pids(topology->gw());
    EXPECT_NE(std::find(inGateway.begin(), inGateway.end(), pid), inGateway.end());
    QString command;
    TestSupport::run(QStringLiteral("/bin/ps"),
                     {QStringLiteral("-o"), QStringLiteral("command="), QStringLiteral("-p"),
                      QString::number(pid)},
                     &command);
    EXPECT_EQ(command.trimmed(), QStringLiteral("/usr/sbin/natd -interface ext0"));

    // Killed however hard, natd takes its table along; the divert rule then drops the traffic.
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    EXPECT_TRUE(NetnsTopology::waitFor([&] { return !hasTable("velloran_natd"); }, 5000));
    EXPECT_FALSE(lanReachesWan(wan)) << "divert without natd must drop";
    EXPECT_TRUE(topology->connectTcp(topology->gw(), QStringLiteral("203.0.113.1"), 8080, 1000))
        << "the gateway's own traffic through the interface still passes";
    wan.acceptPeer(0);

    // A new natd picks up the translation again; SIGTERM removes its table and pid file.
    expectSuccess(kNatd, {QStringLiteral("-interface"), NetnsTopology::gwExternal()});
    EXPECT_TRUE(lanReachesWan(wan));
    const pid_t second = natdPid();
    ASSERT_GT(second, 0);
    ASSERT_EQ(::kill(second, SIGTERM), 0);
    EXPECT_TRUE(NetnsTopology::waitFor([&] { return !QFile::exists(kPidFile); }, 5000));
    EXPECT_FALSE(hasTable("velloran_natd"));

    expectSuccess(kIpfw, kFlush);
    EXPECT_FALSE(ruleset().contains(QLatin1String("velloran"))) << ruleset().toStdString();
}

class DenyIncoming : public BsdTools, public ::testing::WithParamInterface<bool>
{
};

TEST_P(DenyIncoming, DecidesWhetherWanReachesAServiceOnTheGateway)
{
    const bool deny = GetParam();
    auto service = topology->listenTcp(topology->gw(), QStringLiteral("203.0.113.2"), 2222);
    auto wan = topology->listenTcp(topology->wan(), QStringLiteral("203.0.113.1"), 8080);
    ASSERT_TRUE(service.listening() && wan.listening());

    QStringList natdArgs;
    if (deny)
        natdArgs << QStringLiteral("-deny_incoming") << QStringLiteral("-log_denied");
    startSharing(natdArgs << QStringLiteral("-interface") << NetnsTopology::gwExternal());

    const bool reached =
        topology->connectTcp(topology->wan(), QStringLiteral("203.0.113.2"), 2222, 1500) &&
        service.acceptPeer(1500).has_value();
    EXPECT_EQ(reached, !deny);
    EXPECT_TRUE(lanReachesWan(wan)) << "answers to the LAN's own connections always pass";
}

INSTANTIATE_TEST_SUITE_P(Option, DenyIncoming, ::testing::Bool(),
                         [](const auto &row) { return row.param ? "On" : "Off"; });

TEST_F(BsdTools, NatdTakesItsOptionsFromAConfigurationFile)
{
    QTemporaryDir dir;
    const QString good = dir.filePath(QStringLiteral("natd.conf"));
    QFile file(good);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("# Config file used by natd startup script in /Library/StartupItems/Velloran\n"
               "# written by Velloran\n#\nsame_ports yes\ndeny_incoming yes\nlog_denied no\n"
               "dynamic yes\ninterface ext0\n#\n# End natd config file\n");
    file.close();
    expectSuccess(kNatd, {QStringLiteral("-f"), good});
    const QString rules = ruleset();
    EXPECT_TRUE(rules.contains(QLatin1String("iifname \"ext0\" ct state invalid,new drop")))
        << rules.toStdString();
    EXPECT_TRUE(rules.contains(QLatin1String("oifname \"ext0\" masquerade")));
    EXPECT_FALSE(rules.contains(QLatin1String("log")));
    QString command;
    TestSupport::run(QStringLiteral("/bin/ps"),
                     {QStringLiteral("-o"), QStringLiteral("command="), QStringLiteral("-p"),
                      QString::number(natdPid())},
                     &command);
    EXPECT_EQ(command.trimmed(), QStringLiteral("/usr/sbin/natd -f ") + good);
    ASSERT_EQ(::kill(natdPid(), SIGTERM), 0);
    EXPECT_TRUE(NetnsTopology::waitFor([&] { return !hasTable("velloran_natd"); }, 5000));

    const QString bad = dir.filePath(QStringLiteral("bad.conf"));
    QFile badFile(bad);
    ASSERT_TRUE(badFile.open(QIODevice::WriteOnly));
    badFile.write("interface ext0\nturbo yes\n");
    badFile.close();
    const auto run = tool(kNatd, {QStringLiteral("-f"), bad});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, QStringLiteral("natd: unknown option turbo\n"));
    EXPECT_FALSE(hasTable("velloran_natd"));
}

TEST_F(BsdTools, NatdFollowsTheInterfaceAddressOnHangup)
{
    expectSuccess(kNatd, {QStringLiteral("-interface"), NetnsTopology::gwExternal()});
    EXPECT_TRUE(ruleset().contains(QLatin1String("snat to 203.0.113.2")));
    const QString ip = QStringLiteral("/usr/sbin/ip");
    const QString ext = NetnsTopology::gwExternal();
    ASSERT_EQ(topology->exec(topology->gw(),
                             {ip, QStringLiteral("addr"), QStringLiteral("del"),
                              QStringLiteral("203.0.113.2/24"), QStringLiteral("dev"), ext}),
              0);
    ASSERT_EQ(topology->exec(topology->gw(),
                             {ip, QStringLiteral("addr"), QStringLiteral("add"),
                              QStringLiteral("203.0.113.50/24"), QStringLiteral("dev"), ext}),
              0);
    ASSERT_EQ(::kill(natdPid(), SIGHUP), 0);
    EXPECT_TRUE(NetnsTopology::waitFor(
        [&] { return ruleset().contains(QLatin1String("snat to 203.0.113.50")); }, 5000))
        << ruleset().toStdString();
}

TEST_F(BsdTools, ASecondNatdIsRefusedAndTheFirstKeepsItsTable)
{
    expectSuccess(kNatd, {QStringLiteral("-interface"), NetnsTopology::gwExternal()});
    const QString before = ruleset();
    const auto second = tool(kNatd, {QStringLiteral("-dynamic"), QStringLiteral("-interface"),
                                     NetnsTopology::gwExternal()});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.output, QStringLiteral("natd: another natd is already running\n"));
    EXPECT_EQ(ruleset(), before);
}

TEST_F(BsdTools, SingleInterfaceAliasGoesBesideTheAddressAndAwayAgain)
{
    const QString ext = NetnsTopology::gwExternal();
    expectSuccess(kIfconfig, {ext, QStringLiteral("198.51.100.1"), QStringLiteral("netmask"),
                              QStringLiteral("255.255.255.0"), QStringLiteral("alias")});
    EXPECT_EQ(topology->addresses(topology->gw(), ext),
              (QStringList{QStringLiteral("203.0.113.2/24"), QStringLiteral("198.51.100.1/24")}));
    // Adding it again is no error, as on BSD.
    expectSuccess(kIfconfig, {ext, QStringLiteral("198.51.100.1"), QStringLiteral("netmask"),
                              QStringLiteral("255.255.255.0"), QStringLiteral("alias")});
    expectSuccess(kIfconfig, {ext, QStringLiteral("198.51.100.1"), QStringLiteral("-alias")});
    EXPECT_EQ(topology->addresses(topology->gw(), ext),
              QStringList{QStringLiteral("203.0.113.2/24")});

    const auto again =
        tool(kIfconfig, {ext, QStringLiteral("198.51.100.1"), QStringLiteral("-alias")});
    EXPECT_NE(again.status, 0);
    EXPECT_EQ(again.output.count(QLatin1Char('\n')), 1) << again.output.toStdString();
}

TEST_F(BsdTools, AddressWithoutAliasReplacesTheFirstAndRemovingAPrimaryKeepsItsAliases)
{
    const QString ext = NetnsTopology::gwExternal();
    expectSuccess(kIfconfig, {ext, QStringLiteral("203.0.113.9"), QStringLiteral("netmask"),
                              QStringLiteral("255.255.255.0"), QStringLiteral("alias")});
    expectSuccess(kIfconfig, {ext, QStringLiteral("203.0.113.2"), QStringLiteral("-alias")});
    EXPECT_EQ(topology->addresses(topology->gw(), ext),
              QStringList{QStringLiteral("203.0.113.9/24")});

    const QString lan = NetnsTopology::gwInternal();
    ASSERT_EQ(
        topology->exec(topology->gw(), {QStringLiteral("/usr/sbin/ip"), QStringLiteral("link"),
                                        QStringLiteral("set"), lan, QStringLiteral("down")}),
        0);
    expectSuccess(kIfconfig, {lan, QStringLiteral("198.51.100.5"), QStringLiteral("netmask"),
                              QStringLiteral("255.255.255.128")});
    EXPECT_EQ(topology->addresses(topology->gw(), lan),
              QStringList{QStringLiteral("198.51.100.5/25")});
    QString link;
    topology->exec(topology->gw(),
                   {QStringLiteral("/usr/sbin/ip"), QStringLiteral("-o"), QStringLiteral("link"),
                    QStringLiteral("show"), lan},
                   &link);
    EXPECT_TRUE(link.contains(QLatin1String(",UP"))) << link.toStdString();
}

TEST_F(BsdTools, IpfwKeepsRulesInNumberOrder)
{
    expectSuccess(kIpfw, words("add 100 deny all from any to any via int0"));
    const auto numbered = tool(kIpfw, words("add pass all from any to any xmit int0"));
    EXPECT_EQ(numbered.output, QStringLiteral("00200 allow ip from any to any xmit int0\n"));
    expectSuccess(kIpfw, kPassRule);
    expectSuccess(kIpfw, divertRule(NetnsTopology::gwExternal()));
    EXPECT_EQ(tool(kIpfw, {QStringLiteral("list")}).output,
              QStringLiteral("00095 divert 8668 ip from any to any via ext0\n"
                             "00100 deny ip from any to any via int0\n"
                             "00200 allow ip from any to any xmit int0\n"
                             "65530 allow ip from any to any\n"
                             "65535 allow ip from any to any\n"));
    expectSuccess(kIpfw, words("-q delete 100"));
    EXPECT_FALSE(tool(kIpfw, {QStringLiteral("list")}).output.contains(QLatin1String("00100")));
}

TEST_F(BsdTools, SysctlMapsForwardingAndPassesLinuxNamesThrough)
{
    QFile hostForwarding(QStringLiteral("/proc/sys/net/ipv4/ip_forward"));
    ASSERT_TRUE(hostForwarding.open(QIODevice::ReadOnly));
    const QByteArray hostBefore = hostForwarding.readAll();

    EXPECT_EQ(tool(kSysctl, words("net.inet.ip.forwarding")).output,
              QStringLiteral("net.inet.ip.forwarding: 0\n"));
    EXPECT_EQ(tool(kSysctl, kForwarding).output,
              QStringLiteral("net.inet.ip.forwarding: 0 -> 1\n"));
    QString inside;
    topology->exec(topology->gw(),
                   {QStringLiteral("/bin/cat"), QStringLiteral("/proc/sys/net/ipv4/ip_forward")},
                   &inside);
    EXPECT_EQ(inside.trimmed(), QStringLiteral("1"));

    const auto linuxName = tool(kSysctl, words("-w net.ipv4.conf.int0.promote_secondaries=1"));
    EXPECT_EQ(linuxName.status, 0) << linuxName.output.toStdString();
    EXPECT_EQ(tool(kSysctl, words("-n net.ipv4.conf.int0.promote_secondaries")).output,
              QStringLiteral("1\n"));

    QFile again(QStringLiteral("/proc/sys/net/ipv4/ip_forward"));
    ASSERT_TRUE(again.open(QIODevice::ReadOnly));
    EXPECT_EQ(again.readAll(), hostBefore) << "the host's own forwarding never changes";
}

TEST_F(BsdTools, OtherTablesStayExactlyAsTheyWere)
{
    const QString bystander = QStringLiteral(
        "table inet bystander { chain forwarding { type filter hook forward priority 0; "
        "policy accept; "
        "tcp dport 9 drop; }; chain translation { type nat hook postrouting priority 100; "
        "oifname \"ext0\" tcp dport 7 masquerade; }; }");
    ASSERT_EQ(topology->exec(topology->gw(), {QStringLiteral("/usr/sbin/nft"), bystander}), 0);
    QString before;
    const QStringList list{QStringLiteral("/usr/sbin/nft"), QStringLiteral("list"),
                           QStringLiteral("table"), QStringLiteral("inet"),
                           QStringLiteral("bystander")};
    topology->exec(topology->gw(), list, &before);

    startSharing({QStringLiteral("-deny_incoming"), QStringLiteral("-interface"),
                  NetnsTopology::gwExternal()});
    ASSERT_EQ(::kill(natdPid(), SIGTERM), 0);
    EXPECT_TRUE(NetnsTopology::waitFor([&] { return !hasTable("velloran_natd"); }, 5000));
    expectSuccess(kIpfw, kFlush);

    QString after;
    topology->exec(topology->gw(), list, &after);
    EXPECT_EQ(after, before);
    EXPECT_FALSE(ruleset().contains(QLatin1String("velloran")));
}

TEST_F(BsdTools, IfconfigListsEveryInterfaceByName)
{
    const auto run = tool(kIfconfig, {QStringLiteral("-a")});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.output.contains(QLatin1String("\next0: flags=")));
    EXPECT_TRUE(run.output.contains(QLatin1String("\nint0: flags=")));
    EXPECT_TRUE(run.output.contains(
        QLatin1String("\tinet 203.0.113.2 netmask 0xffffff00 broadcast 203.0.113.255\n")));
}

struct Refusal {
    const char *name;
    const char *path;
    const char *args;
};

class Refusals : public BsdTools, public ::testing::WithParamInterface<Refusal>
{
};

// Each refusal is one line on stderr, a non-zero status, and nothing of ours left behind.
TEST_P(Refusals, ExitNonZeroWithOneLineAndChangeNothing)
{
    const QString before = ruleset();
    const QStringList addressesBefore =
        topology->addresses(topology->gw(), NetnsTopology::gwInternal());
    const QString args = QString::fromLatin1(GetParam().args);
    const auto run = tool(QString::fromLatin1(GetParam().path),
                          args.isEmpty() ? QStringList() : args.split(QLatin1Char(' ')));
    EXPECT_NE(run.status, 0) << run.output.toStdString();
    EXPECT_EQ(run.output.count(QLatin1Char('\n')), 1) << run.output.toStdString();
    EXPECT_TRUE(run.output.startsWith(QFileInfo(QString::fromLatin1(GetParam().path)).fileName() +
                                      QStringLiteral(": ")))
        << run.output.toStdString();
    EXPECT_EQ(ruleset(), before);
    EXPECT_EQ(topology->addresses(topology->gw(), NetnsTopology::gwInternal()), addressesBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Refusals,
    ::testing::Values(
        Refusal{"NatdUnknownOption", "/usr/sbin/natd", "-turbo -interface ext0"},
        Refusal{"NatdNoInterface", "/usr/sbin/natd", "-dynamic"},
        Refusal{"NatdMissingInterface", "/usr/sbin/natd", "-interface nosuch0"},
        Refusal{"NatdNotYesOrNo", "/usr/sbin/natd", "-same_ports maybe -interface ext0"},
        Refusal{"NatdQuoteInName", "/usr/sbin/natd", "-interface ext0\";"},
        Refusal{"NatdBareWord", "/usr/sbin/natd", "interface ext0"},
        Refusal{"NatdMissingFile", "/usr/sbin/natd", "-f /nonexistent/natd.conf"},
        Refusal{"IpfwDivertWithoutVia", "/sbin/ipfw", "add 95 divert natd all from any to any"},
        Refusal{"IpfwOtherDivertPort", "/sbin/ipfw",
                "add 95 divert 1234 all from any to any via ext0"},
        Refusal{"IpfwNumberTooHigh", "/sbin/ipfw", "add 65535 pass all from any to any"},
        Refusal{"IpfwProtocol", "/sbin/ipfw", "add 100 pass tcp from any to any"},
        Refusal{"IpfwViaNothing", "/sbin/ipfw", "add 100 pass all from any to any via"},
        Refusal{"IpfwUnknownFlag", "/sbin/ipfw", "-x flush"},
        Refusal{"IpfwUnknownCommand", "/sbin/ipfw", "zero"},
        Refusal{"IpfwNoCommand", "/sbin/ipfw", ""},
        Refusal{"IfconfigNoncontiguousMask", "/sbin/ifconfig",
                "int0 198.51.100.1 netmask 255.0.255.0"},
        Refusal{"IfconfigThreePartAddress", "/sbin/ifconfig",
                "int0 198.51.100 netmask 255.255.255.0"},
        Refusal{"IfconfigNoSuchInterface", "/sbin/ifconfig",
                "nosuch0 198.51.100.1 netmask 255.255.255.0"},
        Refusal{"IfconfigRemoveAbsent", "/sbin/ifconfig", "int0 198.51.100.77 -alias"},
        Refusal{"IfconfigMaskMissing", "/sbin/ifconfig", "int0 198.51.100.1 netmask"},
        Refusal{"SysctlUnknownBsdName", "/usr/sbin/sysctl", "-w net.inet.ip.turbo=1"},
        Refusal{"SysctlNotAnInteger", "/usr/sbin/sysctl", "-w net.inet.ip.forwarding=yes"},
        Refusal{"SysctlWriteWithoutValue", "/usr/sbin/sysctl", "-w net.inet.ip.forwarding"},
        Refusal{"SysctlUnknownLinuxName", "/usr/sbin/sysctl", "net.ipv4.no_such_key"}),
    [](const auto &row) { return std::string(row.param.name); });

TEST(BsdToolView, MissingStandInsRunTheHostAsIsAndWritableOnesAreRefused)
{
    EXPECT_EQ(BsdToolView::enter("/nonexistent/bsdtools"), 0);
    EXPECT_EQ(BsdToolView::enter(nullptr), 0);
    // Root would run whatever lies there, so a folder others can write is no view.
    QTemporaryDir dir;
    ASSERT_TRUE(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                      QFile::ExeOwner | QFile::WriteGroup |
                                                      QFile::ReadGroup | QFile::ExeGroup));
    EXPECT_EQ(BsdToolView::enter(dir.path().toLocal8Bit().constData()), EPERM);
}

TEST_F(BsdTools, TheViewShowsTheStandInsWhileTheHostKeepsItsOwnFiles)
{
    // velloran-toolview, as the boot-time unit uses it, shows the stand-ins at both paths.
    QString output;
    const QString toolview = Bundle::resourcePath() + QStringLiteral("/velloran-toolview");
    EXPECT_EQ(topology->exec(topology->gw(),
                             {toolview, QStringLiteral("/sbin/sysctl"),
                              QStringLiteral("net.inet.ip.forwarding")},
                             &output),
              0)
        << output.toStdString();
    EXPECT_EQ(output, QStringLiteral("net.inet.ip.forwarding: 0\n"));
    EXPECT_EQ(topology->exec(topology->gw(),
                             {toolview, QStringLiteral("/usr/sbin/ipfw"), QStringLiteral("list")},
                             &output),
              0);
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/usr/sbin/natd")));
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/sbin/ipfw")));
    QString hostSysctl;
    TestSupport::run(QStringLiteral("/usr/sbin/sysctl"),
                     {QStringLiteral("-n"), QStringLiteral("kernel.ostype")}, &hostSysctl);
    EXPECT_EQ(hostSysctl.trimmed(), QStringLiteral("Linux")) << "the host's sysctl is its own";
}

} // namespace
