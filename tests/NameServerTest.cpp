#include "Bundle.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>
#include <csignal>

namespace {

using TestSupport::processAlive;
using TestSupport::readAll;
using TestSupport::waitFor;
using TestSupport::writeFile;

const QString kRootHints = QStringLiteral("/usr/share/dns/root.hints");

} // namespace

struct Reply {
    QString status; // NOERROR, NXDOMAIN, SERVFAIL, REFUSED, or empty when nothing came back
    bool recursionAvailable = false;
};

// The bundle's named, started by named_setup as root in a network namespace "srv" and a root of
// the test's own. srv is attached to 198.51.100.0/24 (host "cli") and 192.0.2.0/24 (router
// "rtr"); "far" sits on 203.0.113.0/24 behind rtr. No namespace has a route out.
class NameServer : public ::testing::Test
{
protected:
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        VELLORAN_REQUIRE(QFileInfo(QStringLiteral("/usr/sbin/named")).isExecutable(),
                         "needs BIND 9 (Debian bind9)");
        VELLORAN_REQUIRE(QFileInfo(QStringLiteral("/usr/bin/dig")).isExecutable(),
                         "needs dig (Debian bind9-dnsutils)");
        ASSERT_TRUE(work.isValid());
        prefix = QStringLiteral("vl%1n%2").arg(::getpid()).arg(++s_count);
        for (const char *name : {"srv", "cli", "rtr", "far"}) {
            const QString netns = ns(name);
            ASSERT_EQ(ip({"netns", "add", netns}), 0) << qPrintable(output);
            made << netns;
            ASSERT_EQ(inNs(name, {"sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1",
                                  "net.ipv6.conf.default.disable_ipv6=1"}),
                      0);
            ASSERT_EQ(ip({"-n", netns, "link", "set", "lo", "up"}), 0);
        }
        link("srv", "s0", "198.51.100.1/24", "cli", "c0", "198.51.100.2/24");
        link("srv", "s1", "192.0.2.1/24", "rtr", "r0", "192.0.2.2/24");
        link("rtr", "r1", "203.0.113.1/24", "far", "f0", "203.0.113.2/24");
        ASSERT_EQ(ip({"-n", ns("far"), "route", "add", "192.0.2.0/24", "via", "203.0.113.1"}), 0);
        ASSERT_EQ(ip({"-n", ns("srv"), "route", "add", "203.0.113.0/24", "via", "192.0.2.2"}), 0);
        ASSERT_EQ(inNs("rtr", {"sysctl", "-qw", "net.ipv4.ip_forward=1"}), 0);

        // The root's /etc starts as a copy of the machine's, without a name server set up.
        ASSERT_EQ(inRoot({"/bin/true"}), 0) << qPrintable(output);
        QFile::remove(etc(QStringLiteral("named.conf")));
        QFile::remove(etc(QStringLiteral("named.cache")));
    }

    void TearDown() override
    {
        // Whatever still runs in the test's namespaces was started by this test.
        for (const QString &netns : made) {
            QString pids;
            TestSupport::run(QStringLiteral("/usr/sbin/ip"), {"netns", "pids", netns}, &pids);
            for (const QString &pid : pids.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
                stop(pid.toInt());
            TestSupport::run(QStringLiteral("/usr/sbin/ip"), {"netns", "del", netns});
        }
    }

    QString ns(const char *name) const { return prefix + QLatin1String(name); }
    QString resources() const { return QFileInfo(Bundle::resourcePath()).canonicalFilePath(); }
    QString etc(const QString &name) const { return work.path() + QStringLiteral("/etc/") + name; }

    int ip(const QStringList &args) { return TestSupport::run("/usr/sbin/ip", args, &output); }
    int inNs(const char *name, const QStringList &command)
    {
        return ip(QStringList{"netns", "exec", ns(name)} + command);
    }
    int inRoot(const QStringList &command)
    {
        return inNs("srv", QStringList{QStringLiteral(VELLORAN_TEST_SOURCE_DIR "/private_root"),
                                       work.path(), resources()} +
                               command);
    }
    void link(const char *a, const char *aIf, const char *aAddr, const char *b, const char *bIf,
              const char *bAddr)
    {
        const QString left = prefix + QLatin1String(aIf), right = prefix + QLatin1String(bIf);
        ASSERT_EQ(ip({"link", "add", left, "type", "veth", "peer", "name", right}), 0)
            << qPrintable(output);
        ASSERT_EQ(ip({"link", "set", left, "netns", ns(a)}), 0);
        ASSERT_EQ(ip({"link", "set", right, "netns", ns(b)}), 0);
        ASSERT_EQ(ip({"-n", ns(a), "addr", "add", aAddr, "dev", left}), 0);
        ASSERT_EQ(ip({"-n", ns(b), "addr", "add", bAddr, "dev", right}), 0);
        ASSERT_EQ(ip({"-n", ns(a), "link", "set", left, "up"}), 0);
        ASSERT_EQ(ip({"-n", ns(b), "link", "set", right, "up"}), 0);
    }

    Reply query(const char *from, const char *server, const char *name, const char *type)
    {
        inNs(from, {"dig", "+time=2", "+tries=1", QStringLiteral("@") + server, name, type});
        Reply reply;
        const auto status = QRegularExpression(QStringLiteral("status: ([A-Z]+)")).match(output);
        if (status.hasMatch())
            reply.status = status.captured(1);
        const auto flags = QRegularExpression(QStringLiteral(";; flags:([a-z ]*);")).match(output);
        reply.recursionAvailable = flags.captured(1).split(' ').contains(QStringLiteral("ra"));
        return reply;
    }

    pid_t serverPid()
    {
        return readAll(work.path() + QStringLiteral("/run/named.pid")).trimmed().toInt();
    }

    // Starts the server the way Velloran's toggle does once /etc/named.conf may be missing.
    pid_t setUpAndStart()
    {
        EXPECT_EQ(inRoot({resources() + QStringLiteral("/named_setup")}), 0) << qPrintable(output);
        pid_t pid = 0;
        EXPECT_TRUE(waitFor([&] { return processAlive(pid = serverPid()); }))
            << "named wrote no pid file";
        EXPECT_TRUE(waitFor([&] {
            return !query("srv", "127.0.0.1", "velloran.test", "A").status.isEmpty();
        })) << "named does not answer";
        return pid;
    }

    static void stop(pid_t pid)
    {
        if (!processAlive(pid))
            return;
        ::kill(pid, SIGTERM);
        if (!waitFor([&] { return !processAlive(pid); }))
            ::kill(pid, SIGKILL);
    }

    static int s_count;
    QTemporaryDir work;
    QString prefix, output;
    QStringList made;
};

int NameServer::s_count = 0;

struct SetupRow {
    const char *what;
    bool configPresent;
    bool hintsPresent;
};

void PrintTo(const SetupRow &row, std::ostream *os)
{
    *os << row.what;
}

class NameServerSetup : public NameServer, public ::testing::WithParamInterface<SetupRow>
{
};

TEST_P(NameServerSetup, StartsFromWhatIsThereAndKeepsTheAdministratorsFiles)
{
    const SetupRow &row = GetParam();
    VELLORAN_REQUIRE(QFileInfo::exists(kRootHints), "needs root hints (Debian dns-root-data)");
    const QByteArray bundled = readAll(resources() + QStringLiteral("/named.conf"));
    const QByteArray ownConfig = bundled + "// the administrator's own\n";
    const QByteArray ownHints = readAll(kRootHints) + "; kept as it is\n";
    if (row.configPresent)
        writeFile(etc(QStringLiteral("named.conf")), ownConfig);
    if (row.hintsPresent)
        writeFile(etc(QStringLiteral("named.cache")), ownHints);

    const pid_t pid = setUpAndStart();
    ASSERT_TRUE(processAlive(pid));
    EXPECT_EQ(readAll(QStringLiteral("/proc/%1/cmdline").arg(pid)),
              QByteArray("/usr/sbin/named\0-c\0/etc/named.conf\0", 35));
    EXPECT_EQ(readAll(etc(QStringLiteral("named.conf"))), row.configPresent ? ownConfig : bundled);
    EXPECT_EQ(readAll(etc(QStringLiteral("named.cache"))),
              row.hintsPresent ? ownHints : readAll(kRootHints));

    // Setting up again while it runs keeps the one server.
    EXPECT_EQ(inRoot({resources() + QStringLiteral("/named_setup")}), 0) << qPrintable(output);
    QString pids;
    TestSupport::run(QStringLiteral("/usr/sbin/ip"), {"netns", "pids", ns("srv")}, &pids);
    EXPECT_EQ(pids.split(QLatin1Char('\n'), Qt::SkipEmptyParts), QStringList{QString::number(pid)});

    ::kill(pid, SIGTERM);
    EXPECT_TRUE(waitFor([&] { return !processAlive(pid); })) << "named outlived SIGTERM";
}

INSTANTIATE_TEST_SUITE_P(Rows, NameServerSetup,
                         ::testing::Values(SetupRow{"nothing set up yet", false, false},
                                           SetupRow{"configuration without hints", true, false},
                                           SetupRow{"both in place", true, true}));

struct QueryRow {
    const char *what;
    const char *from;
    const char *server;
    const char *name;
    const char *type;
    const char *status;
    bool recursionAvailable;
};

void PrintTo(const QueryRow &row, std::ostream *os)
{
    *os << row.what;
}

// Names under the reserved test networks are answered by named's built-in empty zones; any
// other name needs recursion, which can only fail here (SERVFAIL) since nothing leads out.
TEST_F(NameServer, ResolvesForAttachedNetworksOnlyAndEndsByItsPid)
{
    const QueryRow rows[] = {
        {"loopback, local answer", "srv", "127.0.0.1", "1.2.0.192.in-addr.arpa", "PTR", "NXDOMAIN",
         true},
        {"loopback, recursion", "srv", "127.0.0.1", "velloran.test", "A", "SERVFAIL", true},
        {"attached host", "cli", "198.51.100.1", "2.100.51.198.in-addr.arpa", "PTR", "NXDOMAIN",
         true},
        {"attached host, recursion", "cli", "198.51.100.1", "velloran.test", "A", "SERVFAIL", true},
        {"router on the other attached network", "rtr", "192.0.2.1", "velloran.test", "A",
         "SERVFAIL", true},
        {"host behind the router", "far", "192.0.2.1", "velloran.test", "A", "REFUSED", false},
        {"host behind the router, local answer", "far", "192.0.2.1", "2.113.0.203.in-addr.arpa",
         "PTR", "REFUSED", false},
    };

    const pid_t pid = setUpAndStart();
    ASSERT_TRUE(processAlive(pid));
    for (const QueryRow &row : rows) {
        const Reply reply = query(row.from, row.server, row.name, row.type);
        EXPECT_EQ(reply.status, QLatin1String(row.status)) << row.what << "\n"
                                                           << qPrintable(output);
        EXPECT_EQ(reply.recursionAvailable, row.recursionAvailable) << row.what;
    }

    ::kill(pid, SIGTERM);
    EXPECT_TRUE(waitFor([&] { return !processAlive(pid); })) << "named outlived SIGTERM";
    EXPECT_FALSE(QFileInfo::exists(work.path() + QStringLiteral("/run/named.pid")));
    EXPECT_TRUE(query("cli", "198.51.100.1", "velloran.test", "A").status.isEmpty());
}
