#include "Bundle.h"
#include "NetnsTopology.h"
#include "SharingSession.h"
#include "TestSupport.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <csignal>

namespace {

using TestSupport::processAlive;
using TestSupport::readAll;
using TestSupport::waitFor;

const QString kRootHints = QStringLiteral("/usr/share/dns/root.hints");

struct Row {
    const char *what;
    bool configPresent, hintsPresent;
};
void PrintTo(const Row &row, std::ostream *os)
{
    *os << row.what;
}

// The bundle's named, started by named_setup as root in the gateway of the shared topology and
// a root of the test's own. The LAN (198.51.100.0/24) and the WAN (203.0.113.0/24) are attached;
// 192.0.2.1, on the WAN's side behind 203.0.113.1, stands for a host further away.
class NameServer : public ::testing::TestWithParam<Row>
{
protected:
    static void SetUpTestSuite()
    {
        if (::geteuid() != 0)
            return;
        topology = new NetnsTopology;
        topology->exec(topology->wan(), {"ip", "addr", "add", "192.0.2.1/32", "dev", "lo"});
        topology->exec(topology->gw(),
                       {"ip", "route", "add", "192.0.2.0/24", "via", "203.0.113.1"});
    }
    static void TearDownTestSuite() { delete topology; }
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        VELLORAN_REQUIRE(QFileInfo("/usr/sbin/named").isExecutable(), "needs BIND 9 (bind9)");
        VELLORAN_REQUIRE(QFileInfo("/usr/bin/dig").isExecutable(), "needs dig (bind9-dnsutils)");
        VELLORAN_REQUIRE(QFileInfo::exists(kRootHints), "needs root hints (dns-root-data)");
        ASSERT_TRUE(topology->ready()) << topology->error().toStdString();
        // The root's /etc starts as a copy of the machine's, without a name server set up.
        QString output;
        ASSERT_EQ(root.run(topology->gw(), {"/bin/true"}, &output), 0) << output.toStdString();
        QFile::remove(root.hostPath("/etc/named.conf"));
        QFile::remove(root.hostPath("/etc/named.cache"));
    }
    void TearDown() override
    {
        if (topology)
            topology->killAll(topology->gw());
    }

    // "NXDOMAIN ra"-style: the status and whether recursion is available; empty when no answer.
    QString query(const QString &from, const QString &server, const QString &name, const char *type)
    {
        QString output;
        QStringList argv{"dig", "+time=2", "+tries=1", "@" + server, name, type};
        if (from == "far")
            argv << "-b"
                 << "192.0.2.1";
        topology->exec(from == "far" ? topology->wan() : from, argv, &output);
        const auto status = QRegularExpression("status: ([A-Z]+)").match(output).captured(1);
        const auto flags = QRegularExpression(";; flags:([a-z ]*);").match(output).captured(1);
        return status + (flags.split(' ').contains("ra") ? " ra" : "");
    }
    pid_t setUpAndStart()
    {
        QString output;
        EXPECT_EQ(root.run(topology->gw(), {resources + "/named_setup"}, &output), 0)
            << output.toStdString();
        pid_t pid = 0;
        EXPECT_TRUE(waitFor([&] {
            return processAlive(pid = readAll(root.hostPath("/run/named.pid")).trimmed().toInt());
        })) << "named wrote no pid file";
        EXPECT_TRUE(waitFor([&] {
            return !query(topology->gw(), "127.0.0.1", "a.test", "A").isEmpty();
        })) << "named does not answer";
        return pid;
    }
    void stop(pid_t pid)
    {
        ::kill(pid, SIGTERM);
        EXPECT_TRUE(waitFor([&] { return !processAlive(pid); })) << "named outlived SIGTERM";
        EXPECT_FALSE(QFileInfo::exists(root.hostPath("/run/named.pid")));
    }

    static NetnsTopology *topology;
    const QString resources = QFileInfo(Bundle::resourcePath()).canonicalFilePath();
    PrivateRoot root;
};

NetnsTopology *NameServer::topology = nullptr;

TEST_P(NameServer, StartsFromWhatIsThereAndKeepsTheAdministratorsFiles)
{
    const Row &row = GetParam();
    const QByteArray bundled = readAll(resources + "/named.conf");
    const QByteArray ownConfig = bundled + "// the administrator's own\n";
    const QByteArray ownHints = readAll(kRootHints) + "; kept as it is\n";
    if (row.configPresent)
        TestSupport::writeFile(root.hostPath("/etc/named.conf"), ownConfig);
    if (row.hintsPresent)
        TestSupport::writeFile(root.hostPath("/etc/named.cache"), ownHints);

    const pid_t pid = setUpAndStart();
    EXPECT_EQ(readAll(QStringLiteral("/proc/%1/cmdline").arg(pid)),
              QByteArray("/usr/sbin/named\0-c\0/etc/named.conf\0", 35));
    EXPECT_EQ(readAll(root.hostPath("/etc/named.conf")), row.configPresent ? ownConfig : bundled);
    EXPECT_EQ(readAll(root.hostPath("/etc/named.cache")),
              row.hintsPresent ? ownHints : readAll(kRootHints));
    // Setting up again while it runs keeps the one server.
    EXPECT_EQ(root.run(topology->gw(), {resources + "/named_setup"}), 0);
    EXPECT_EQ(topology->pids(topology->gw()), std::vector<pid_t>{pid});
    stop(pid);
}

INSTANTIATE_TEST_SUITE_P(Rows, NameServer,
                         ::testing::Values(Row{"nothing set up yet", false, false},
                                           Row{"configuration without hints", true, false},
                                           Row{"both in place", true, true}));

// Names under the reserved test networks are answered by named's built-in empty zones; any
// other name needs recursion, which can only fail here (SERVFAIL) since nothing leads out.
class NameServerQueries : public NameServer
{
};

TEST_F(NameServerQueries, ResolvesForAttachedNetworksOnly)
{
    const pid_t pid = setUpAndStart();
    const QString gw = topology->gw(), lan = topology->lan(), wan = topology->wan();
    const struct {
        QString from, server, name;
        const char *type, *expected;
    } rows[] = {
        {gw, "127.0.0.1", "1.2.0.192.in-addr.arpa", "PTR", "NXDOMAIN ra"},
        {gw, "127.0.0.1", "velloran.test", "A", "SERVFAIL ra"},
        {lan, "198.51.100.1", "2.100.51.198.in-addr.arpa", "PTR", "NXDOMAIN ra"},
        {lan, "198.51.100.1", "velloran.test", "A", "SERVFAIL ra"},
        {wan, "203.0.113.2", "velloran.test", "A", "SERVFAIL ra"},
        {"far", "203.0.113.2", "velloran.test", "A", "REFUSED"},
        {"far", "203.0.113.2", "2.113.0.203.in-addr.arpa", "PTR", "REFUSED"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(query(row.from, row.server, row.name, row.type), row.expected)
            << row.from.toStdString() << " asks for " << row.name.toStdString();
    stop(pid);
    EXPECT_EQ(query(lan, "198.51.100.1", "velloran.test", "A"), "");
}

} // namespace
