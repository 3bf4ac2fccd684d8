#include "BsdToolView.h"
#include "Bundle.h"
#include "NetnsTopology.h"
#include "TestSupport.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <csignal>

namespace {

const QString kPidFile = QStringLiteral("/var/run/natd.pid");
const QMap<QString, QString> kTools{{"natd", "/usr/sbin/natd"},
                                    {"ipfw", "/sbin/ipfw"},
                                    {"ifconfig", "/sbin/ifconfig"},
                                    {"sysctl", "/usr/sbin/sysctl"}};

// One step: natd/ipfw/ifconfig/sysctl ARGS (or an absolute path: another place of the tool view)
// run in the gateway through velloran-toolview, as the boot unit runs them; "gw ARGV" runs a
// program there; "nft+ TEXT"/"nft- TEXT" wait for the ruleset to hold TEXT or not; "addr DEV"
// lists its addresses; "kill SIG" signals natd; "ps" gives natd's command line; "lan"/"wanin" try
// the LAN's way out and the WAN's way in (status 1: reached); "mark"/"same" compare the ruleset;
// "write NAME TEXT" makes a file in $DIR. `output` is exact, or a part of it after '~'.
struct Step {
    const char *what;
    int status = 0;
    const char *output = nullptr;
};
struct Journey {
    const char *name;
    std::vector<Step> steps = {};
};
void PrintTo(const Journey &journey, std::ostream *os)
{
    *os << journey.name;
}

class BsdTools : public ::testing::TestWithParam<Journey>
{
protected:
    static void SetUpTestSuite() { topology = ::geteuid() == 0 ? new NetnsTopology : nullptr; }
    static void TearDownTestSuite() { delete topology; }
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        ASSERT_TRUE(QFileInfo::exists(Bundle::resourcePath() + "/bsdtools/natd"));
        VELLORAN_REQUIRE(topology->ready(), topology->error().toStdString());
    }
    void TearDown() override
    {
        if (!topology || !topology->ready())
            return;
        // Back to the gateway as built; natd's pid file is ours to remove once natd is gone.
        const pid_t pid = natdPid();
        topology->killAll(topology->gw());
        if (pid > 0 && TestSupport::waitFor([&] { return !TestSupport::processAlive(pid); }, 2) &&
            natdPid() == pid)
            QFile::remove(kPidFile);
        for (const char *command :
             {"nft flush ruleset", "ip addr flush dev ext0", "ip addr flush dev int0",
              "ip addr add 203.0.113.2/24 dev ext0", "ip addr add 198.51.100.1/24 dev int0",
              "ip link set int0 up", "sysctl -qw net.ipv4.ip_forward=0"})
            topology->exec(topology->gw(), QString(command).split(' '));
        EXPECT_EQ(TestSupport::readAll("/proc/sys/net/ipv4/ip_forward"), hostForwarding);
    }
    static pid_t natdPid() { return TestSupport::readAll(kPidFile).trimmed().toInt(); }
    QString ruleset() const
    {
        QString output;
        topology->exec(topology->gw(), {"nft", "list", "ruleset"}, &output);
        return output;
    }
    bool reached(bool lan)
    {
        const auto [from, to, port] = lan ? std::tuple{topology->lan(), "203.0.113.1", 8080}
                                          : std::tuple{topology->wan(), "203.0.113.2", 2222};
        const auto &listener = lan ? wan : service;
        return topology->connectTcp(from, to, quint16(port), 1500) && listener.acceptPeer(1500);
    }
    int run(const QString &what, QString *output);

    static NetnsTopology *topology;
    const QByteArray hostForwarding = TestSupport::readAll("/proc/sys/net/ipv4/ip_forward");
    QTemporaryDir dir;
    QString marked;
    NetnsTopology::Listener wan = topology
                                      ? topology->listenTcp(topology->wan(), "203.0.113.1", 8080)
                                      : NetnsTopology::Listener();
    NetnsTopology::Listener service = topology
                                          ? topology->listenTcp(topology->gw(), "203.0.113.2", 2222)
                                          : NetnsTopology::Listener();
};

NetnsTopology *BsdTools::topology = nullptr;

int BsdTools::run(const QString &what, QString *output)
{
    QStringList words = QString(what).replace("$DIR", dir.path()).split(' ');
    const QString verb = words.takeFirst(), rest = words.join(' ');
    if (kTools.contains(verb) || verb.startsWith('/'))
        return topology->exec(
            topology->gw(),
            QStringList{Bundle::resourcePath() + "/velloran-toolview", kTools.value(verb, verb)} +
                words,
            output);
    if (verb == "gw")
        return topology->exec(topology->gw(), words, output);
    if (verb == "nft+" || verb == "nft-")
        return NetnsTopology::waitFor([&] { return ruleset().contains(rest) == (verb == "nft+"); },
                                      5000)
                   ? 0
                   : (*output = ruleset(), 1);
    if (verb == "addr")
        return *output = topology->addresses(topology->gw(), rest).join(' '), 0;
    if (verb == "kill") // never pid 0: that would signal this very test
        return natdPid() > 0 ? ::kill(natdPid(), rest == "KILL"   ? SIGKILL
                                                 : rest == "TERM" ? SIGTERM
                                                                  : SIGHUP)
                             : -1;
    if (verb == "ps")
        return TestSupport::run("/bin/ps", {"-o", "command=", "-p", QString::number(natdPid())},
                                output);
    if (verb == "lan" || verb == "wanin") {
        const bool lan = verb == "lan";
        // The gateway's address failed to resolve a moment ago: a client looks it up later.
        return NetnsTopology::waitFor([&] { return reached(lan); },
                                      lan && rest == "soon" ? 8000 : 0);
    }
    if (verb == "gwout") {
        const bool out = topology->connectTcp(topology->gw(), "203.0.113.1", 8080, 1000);
        wan.acceptPeer(0);
        return out ? 1 : 0;
    }
    if (verb == "nopid")
        return TestSupport::waitFor([] { return !QFileInfo::exists(kPidFile); }, 5) ? 0 : 1;
    if (verb == "mark" || verb == "same")
        return verb == "mark" ? (marked = ruleset(), 0) : (ruleset() == marked ? 0 : 1);
    if (verb == "write")
        return TestSupport::writeFile(dir.filePath(words[0]),
                                      rest.section(' ', 1).replace("\\n", "\n").toUtf8()),
               0;
    *output = "unknown step";
    return -1;
}

TEST_P(BsdTools, Journey)
{
    for (const Step &step : GetParam().steps) {
        QString output;
        const int status = run(QString::fromLatin1(step.what), &output);
        EXPECT_EQ(status, step.status) << step.what << ": " << output.toStdString();
        const QString expected = QString::fromLatin1(step.output).replace("$DIR", dir.path());
        if (step.output && expected.startsWith('~')) {
            EXPECT_TRUE(output.contains(expected.mid(1)))
                << step.what << ": " << output.toStdString();
        } else if (step.output) {
            EXPECT_EQ(output, expected) << step.what;
        }
    }
}

const std::vector<Step> kShare{
    {"natd -interface ext0"},
    {"ipfw -f flush"},
    {"ipfw add 95 divert natd all from any to any via ext0"},
    {"ipfw add 65530 pass all from any to any"},
    {"ifconfig int0 198.51.100.1 netmask 255.255.255.0"},
    {"sysctl -w net.inet.ip.forwarding=1", 0, "net.inet.ip.forwarding: 0 -> 1\n"}};
std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BsdTools,
    ::testing::Values(
        Journey{"SharingTranslatesAndDivertWithoutNatdDrops",
                std::vector<Step>{{"lan", 0}, {"gw ip addr flush dev int0"}} + kShare +
                    std::vector<Step>{{"lan soon", 1},
                                      {"wanin", 1},
                                      {"addr int0", 0, "198.51.100.1/24"},
                                      {"ps", 0, "/usr/sbin/natd -interface ext0\n"},
                                      {"gw cat /proc/sys/net/ipv4/ip_forward", 0, "1\n"},
                                      // Killed however hard, natd takes its table along.
                                      {"kill KILL"},
                                      {"nft- velloran_natd"},
                                      {"lan", 0},
                                      // The gateway's own traffic still passes.
                                      {"gwout", 1},
                                      {"natd -interface ext0"},
                                      {"lan", 1},
                                      {"kill TERM"},
                                      {"nopid"},
                                      {"nft- velloran_natd"},
                                      {"ipfw -f flush"},
                                      {"nft- velloran"}}},
        Journey{"DenyIncomingKeepsTheWanOutOnly",
                std::vector<Step>{{"natd -deny_incoming -log_denied -interface ext0"}} +
                    std::vector<Step>(kShare.begin() + 1, kShare.end()) +
                    std::vector<Step>{{"wanin", 0}, {"lan soon", 1}}},
        Journey{
            "NatdTakesItsOptionsFromAFile",
            {{"write natd.conf # written by Velloran\\n#\\nsame_ports yes\\ndeny_incoming yes\\n"
              "log_denied no\\ndynamic yes\\ninterface ext0\\n#\\n# End natd config file\\n"},
             {"natd -f $DIR/natd.conf"},
             {"nft+ iifname \"ext0\" ct state invalid,new drop"},
             {"nft+ oifname \"ext0\" masquerade"},
             {"nft- log"},
             {"ps", 0, "/usr/sbin/natd -f $DIR/natd.conf\n"},
             {"kill TERM"},
             {"nft- velloran_natd"},
             {"write bad.conf interface ext0\\nturbo yes\\n"},
             {"natd -f $DIR/bad.conf", 1, "natd: unknown option turbo\n"},
             {"nft- velloran_natd"}}},
        Journey{"NatdFollowsTheAddressOnHangupAndRefusesASecondNatd",
                {{"natd -interface ext0"},
                 {"nft+ snat to 203.0.113.2"},
                 {"mark"},
                 {"natd -dynamic -interface ext0", 1, "natd: another natd is already running\n"},
                 {"same"},
                 {"gw ip addr del 203.0.113.2/24 dev ext0"},
                 {"gw ip addr add 203.0.113.50/24 dev ext0"},
                 {"kill HUP"},
                 {"nft+ snat to 203.0.113.50"}}},
        Journey{
            "IfconfigAliasesReplacesAndRaises",
            {{"ifconfig ext0 198.51.100.1 netmask 255.255.255.0 alias"},
             {"ifconfig ext0 198.51.100.1 netmask 255.255.255.0 alias"}, // no error, as on BSD
             {"addr ext0", 0, "203.0.113.2/24 198.51.100.1/24"},
             {"ifconfig ext0 198.51.100.1 -alias"},
             {"ifconfig ext0 203.0.113.9 netmask 255.255.255.0 alias"},
             {"ifconfig ext0 203.0.113.2 -alias"},
             {"addr ext0", 0, "203.0.113.9/24"},
             {"gw ip link set int0 down"},
             {"ifconfig int0 198.51.100.5 netmask 255.255.255.128"},
             {"addr int0", 0, "198.51.100.5/25"},
             {"gw ip -o link show int0", 0, "~,UP"},
             {"ifconfig -a", 0, "~\tinet 203.0.113.9 netmask 0xffffff00 broadcast 203.0.113.255\n"},
             {"ifconfig -a", 0, "~\nint0: flags="}}},
        Journey{"IpfwKeepsRulesInNumberOrder",
                {{"ipfw add 100 deny all from any to any via int0"},
                 {"ipfw add pass all from any to any xmit int0", 0,
                  "00200 allow ip from any to any xmit int0\n"},
                 {"ipfw add 65530 pass all from any to any"},
                 {"ipfw add 95 divert natd all from any to any via ext0"},
                 {"ipfw list", 0,
                  "00095 divert 8668 ip from any to any via ext0\n"
                  "00100 deny ip from any to any via int0\n"
                  "00200 allow ip from any to any xmit int0\n"
                  "65530 allow ip from any to any\n65535 allow ip from any to any\n"},
                 {"ipfw -q delete 100"},
                 {"/usr/sbin/ipfw list", 0,
                  "00095 divert 8668 ip from any to any via ext0\n"
                  "00200 allow ip from any to any xmit int0\n"
                  "65530 allow ip from any to any\n65535 allow ip from any to any\n"}}},
        Journey{"SysctlMapsForwardingAndPassesLinuxNamesThrough",
                {{"/sbin/sysctl net.inet.ip.forwarding", 0, "net.inet.ip.forwarding: 0\n"},
                 {"sysctl -w net.ipv4.conf.int0.promote_secondaries=1"},
                 {"sysctl -n net.ipv4.conf.int0.promote_secondaries", 0, "1\n"}}}),
    [](const auto &row) { return std::string(row.param.name); });

// Each refusal is one line on stderr, a non-zero status, and nothing of ours left behind.
class Refusals : public BsdTools
{
};

TEST_P(Refusals, ExitNonZeroWithOneLineAndChangeNothing)
{
    const QString before = ruleset();
    const QString what = QString::fromLatin1(GetParam().name);
    QString output;
    EXPECT_NE(run(what, &output), 0) << output.toStdString();
    EXPECT_EQ(output.count('\n'), 1) << output.toStdString();
    EXPECT_TRUE(output.startsWith(what.section(' ', 0, 0) + ": ")) << output.toStdString();
    EXPECT_EQ(ruleset(), before);
    EXPECT_EQ(topology->addresses(topology->gw(), "int0"), QStringList{"198.51.100.1/24"});
}

INSTANTIATE_TEST_SUITE_P(
    Table, Refusals,
    ::testing::ValuesIn(std::vector<Journey>{
        {"natd -turbo -interface ext0"},
        {"natd -dynamic"},
        {"natd -interface nosuch0"},
        {"natd -same_ports maybe -interface ext0"},
        {"natd -interface ext0\";"},
        {"natd interface ext0"},
        {"natd -f /nonexistent/natd.conf"},
        {"ipfw add 95 divert natd all from any to any"},
        {"ipfw add 95 divert 1234 all from any to any via ext0"},
        {"ipfw add 65535 pass all from any to any"},
        {"ipfw add 100 pass tcp from any to any"},
        {"ipfw add 100 pass all from any to any via"},
        {"ipfw -x flush"},
        {"ipfw zero"},
        {"ifconfig int0 198.51.100.1 netmask 255.0.255.0"},
        {"ifconfig int0 198.51.100 netmask 255.255.255.0"},
        {"ifconfig nosuch0 198.51.100.1 netmask 255.255.255.0"},
        {"ifconfig int0 198.51.100.77 -alias"},
        {"ifconfig int0 198.51.100.1 netmask"},
        {"sysctl -w net.inet.ip.turbo=1"},
        {"sysctl -w net.inet.ip.forwarding=yes"},
        {"sysctl -w net.inet.ip.forwarding"},
        {"sysctl net.ipv4.no_such_key"},
        {"ipfw"}}),
    [](const auto &row) {
        QString name = QString::fromLatin1(row.param.name);
        return name.replace(QRegularExpression("[^A-Za-z0-9]+"), "_").toStdString();
    });

TEST(BsdToolView, MissingStandInsRunTheHostAsIsAndWritableOnesAreRefused)
{
    EXPECT_EQ(BsdToolView::enter("/nonexistent/bsdtools"), 0);
    EXPECT_EQ(BsdToolView::enter(nullptr), 0);
    // Root would run whatever lies there, so a folder others can write is no view.
    QTemporaryDir dir;
    ASSERT_TRUE(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                      QFile::ExeOwner | QFile::WriteGroup));
    EXPECT_EQ(BsdToolView::enter(dir.path().toLocal8Bit().constData()), EPERM);
    // The host keeps its own tools: the stand-ins exist only inside a view.
    EXPECT_FALSE(QFileInfo::exists("/usr/sbin/natd") || QFileInfo::exists("/sbin/ipfw"));
}

} // namespace
