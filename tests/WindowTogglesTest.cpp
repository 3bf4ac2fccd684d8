#include "Bundle.h"
#include "NATLoader.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <pwd.h>
#include <sys/stat.h>

namespace {

using TestSupport::processAlive;
using TestSupport::readAll;
using TestSupport::waitFor;
using TestSupport::writeFile;

const QString kRootHints = QStringLiteral("/usr/share/dns/root.hints");
const QByteArray kNamedCommandLine("/usr/sbin/named\0-c\0/etc/named.conf\0", 35);

std::string lines(const QStringList &list)
{
    return (list.join('\n') + '\n').toStdString();
}

// What the window shows after a command, as the driver reports it.
QString shown(bool named, bool dns, bool load, bool boot)
{
    return QStringLiteral("state named=%1 dns=%2 load=%3 boot=%4")
        .arg(int(named))
        .arg(int(dns))
        .arg(int(load))
        .arg(int(boot));
}

} // namespace

// The name-server and start-at-boot toggles through the real window, for real: a driver holds
// the window inside network, PID and mount namespaces of the test's own and a root whose /etc,
// /Library, /tmp, /run and /var are the test's. In its own PID namespace Velloran's process
// lookup sees only the servers this test started, and they all end with the driver.
class WindowToggles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        VELLORAN_REQUIRE(QFileInfo(QStringLiteral("/usr/sbin/named")).isExecutable(),
                         "needs BIND 9 (Debian bind9)");
        VELLORAN_REQUIRE(QFileInfo(QStringLiteral("/usr/bin/dig")).isExecutable(),
                         "needs dig (Debian bind9-dnsutils)");
        VELLORAN_REQUIRE(QFileInfo::exists(kRootHints), "needs root hints (Debian dns-root-data)");
        ASSERT_TRUE(work.isValid());
        hostBefore = hostState();
        netns = QStringLiteral("vl%1t%2").arg(::getpid()).arg(++s_count);
        ASSERT_EQ(ip({"netns", "add", netns}), 0) << qPrintable(output);
        netnsMade = true;
        ASSERT_EQ(ip({"netns", "exec", netns, "sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1",
                      "net.ipv6.conf.default.disable_ipv6=1"}),
                  0);
        ASSERT_EQ(ip({"-n", netns, "link", "set", "lo", "up"}), 0);
        // The interface menus list these two; names are the namespace's own.
        ASSERT_EQ(ip({"-n", netns, "link", "add", "vta", "type", "veth", "peer", "name", "vtb"}), 0)
            << qPrintable(output);
        ASSERT_EQ(ip({"-n", netns, "addr", "add", "198.51.100.1/24", "dev", "vta"}), 0);
        for (const char *name : {"vta", "vtb"})
            ASSERT_EQ(ip({"-n", netns, "link", "set", name, "up"}), 0);

        // The root's /etc starts as a copy of the machine's, without a name server set up.
        ASSERT_EQ(TestSupport::run(privateRoot(), {work.path(), resources(), "/bin/true"}, &output),
                  0)
            << qPrintable(output);
        QFile::remove(etc(QStringLiteral("named.conf")));
        QFile::remove(etc(QStringLiteral("named.cache")));
        QFile::remove(etc(QStringLiteral("natd.conf")));
        ASSERT_TRUE(QDir().mkpath(work.path() + QStringLiteral("/var/driver")));
        QFile::remove(work.path() + driverInside());
        ASSERT_TRUE(
            QFile::copy(QStringLiteral(VELLORAN_TOGGLES_DRIVER), work.path() + driverInside()));
    }

    void TearDown() override
    {
        stopDriver();
        if (netnsMade) {
            // Whatever still runs in the namespace was started by this test.
            QString pids;
            TestSupport::run(QStringLiteral("/usr/sbin/ip"), {"netns", "pids", netns}, &pids);
            for (const QString &pid : pids.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
                ::kill(pid.toInt(), SIGKILL);
            TestSupport::run(QStringLiteral("/usr/sbin/ip"), {"netns", "del", netns});
            EXPECT_EQ(hostState(), hostBefore) << "the machine's own files changed";
        }
    }

    static QString privateRoot()
    {
        return QStringLiteral(VELLORAN_TEST_SOURCE_DIR "/private_root");
    }
    static QString driverInside() { return QStringLiteral("/var/driver/velloran_toggles_driver"); }
    static QString resources() { return QFileInfo(Bundle::resourcePath()).canonicalFilePath(); }
    QString etc(const QString &name) const { return work.path() + QStringLiteral("/etc/") + name; }
    QString stage() const { return work.path() + QStringLiteral("/tmp"); }
    QString item() const { return work.path() + QStringLiteral("/Library/StartupItems/Velloran"); }
    QString wants() const
    {
        return etc(QStringLiteral("systemd/system/multi-user.target.wants/velloran.service"));
    }
    QStringList staged() const { return QDir(stage()).entryList(QDir::Files | QDir::System); }

    int ip(const QStringList &args) { return TestSupport::run("/usr/sbin/ip", args, &output); }

    static QStringList hostState()
    {
        QStringList state;
        for (const char *path :
             {"/etc/named.conf", "/etc/named.cache", "/etc/natd.conf",
              "/Library/StartupItems/Velloran", "/etc/systemd/system/velloran.service"}) {
            const QFileInfo info{QString::fromLatin1(path)};
            state << info.filePath() + QLatin1Char('=') +
                         (info.exists() ? info.lastModified().toString(Qt::ISODateWithMs)
                                        : QStringLiteral("absent"));
        }
        return state;
    }

    // Starts the window in the test's namespaces and root, as root or as `uid` (through setpriv).
    void startDriver(uid_t uid = 0)
    {
        stopDriver();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"SUDO_UID", "SUDO_GID", "SUDO_USER", "SUDO_COMMAND"})
            environment.remove(QLatin1String(name));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("HOME"), QStringLiteral("/tmp"));
        QStringList command{"netns",       "exec",      netns,          "/usr/bin/unshare",
                            "--pid",       "--fork",    "--kill-child", "--mount-proc",
                            privateRoot(), work.path(), resources()};
        if (uid != 0)
            command << "/usr/bin/setpriv" << QStringLiteral("--reuid=%1").arg(uid)
                    << QStringLiteral("--regid=%1").arg(uid) << "--init-groups"
                    << "--";
        command << driverInside();
        driver = std::make_unique<QProcess>();
        driver->setProcessEnvironment(environment);
        driver->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        driver->start(QStringLiteral("/usr/sbin/ip"), command);
        ASSERT_TRUE(driver->waitForStarted());
    }

    void stopDriver()
    {
        if (!driver)
            return;
        driver->closeWriteChannel();
        if (!driver->waitForFinished(30000)) {
            driver->kill();
            driver->waitForFinished();
        }
        driver.reset();
    }

    // One command to the window, its answer as text for readable failures.
    std::string ask(const QString &command) { return lines(send(command)); }
    // One command to the window; the lines it answered, the last one its state.
    QStringList send(const QString &command)
    {
        QStringList lines;
        if (!driver) {
            ADD_FAILURE() << "no driver";
            return lines;
        }
        driver->write((command + QLatin1Char('\n')).toUtf8());
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 120000) {
            while (driver->canReadLine()) {
                const QString line = QString::fromUtf8(driver->readLine()).chopped(1);
                if (line == QLatin1String("."))
                    return lines;
                lines << line;
            }
            if (driver->state() == QProcess::NotRunning) {
                ADD_FAILURE() << "the driver ended during \"" << qPrintable(command) << '"';
                return lines;
            }
            driver->waitForReadyRead(1000);
        }
        ADD_FAILURE() << "no answer to \"" << qPrintable(command) << '"';
        return lines;
    }

    // The name servers of this test, by their ids on the machine.
    QList<pid_t> servers()
    {
        QString pids;
        TestSupport::run(QStringLiteral("/usr/sbin/ip"), {"netns", "pids", netns}, &pids);
        QList<pid_t> found;
        for (const QString &text : pids.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const pid_t pid = text.toInt();
            if (processAlive(pid) &&
                readAll(QStringLiteral("/proc/%1/cmdline").arg(pid)) == kNamedCommandLine)
                found << pid;
        }
        return found;
    }

    // The id a process has in the driver's PID namespace, as Velloran's lookup sees it.
    static QString innerPid(pid_t pid)
    {
        const QString status =
            QString::fromLatin1(readAll(QStringLiteral("/proc/%1/status").arg(pid)));
        const auto match =
            QRegularExpression(QStringLiteral("\nNSpid:\\s*([0-9\\s]+)\n")).match(status);
        return match.captured(1)
            .split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts)
            .value(1);
    }

    // The one server this test runs, once it answers a query on 127.0.0.1; 0 when there is none.
    pid_t answeringServer()
    {
        pid_t pid = 0;
        if (!waitFor([&] {
                const auto found = servers();
                pid = found.size() == 1 ? found.first() : 0;
                return pid != 0;
            })) {
            ADD_FAILURE() << "no single named runs: " << servers().size();
            return 0;
        }
        QString status;
        const bool answered = waitFor([&] {
            ip({"netns", "exec", netns, "dig", "+time=2", "+tries=1", "@127.0.0.1",
                "1.2.0.192.in-addr.arpa", "PTR"});
            status =
                QRegularExpression(QStringLiteral("status: ([A-Z]+)")).match(output).captured(1);
            return !status.isEmpty();
        });
        EXPECT_TRUE(answered) << "named does not answer on 127.0.0.1";
        // The reserved test networks are answered by named's built-in empty zones.
        EXPECT_EQ(status, QStringLiteral("NXDOMAIN")) << qPrintable(output);
        return pid;
    }

    static int s_count;
    QTemporaryDir work;
    QString netns, output;
    bool netnsMade = false;
    QStringList hostBefore;
    std::unique_ptr<QProcess> driver;
};

int WindowToggles::s_count = 0;

struct NameServerRow {
    const char *what;
    bool configPresent;
    bool hintsPresent;
    QStringList runs; // relative to the resource folder where they start with '%'
};

void PrintTo(const NameServerRow &row, std::ostream *os)
{
    *os << row.what;
}

class NameServerToggle : public WindowToggles, public ::testing::WithParamInterface<NameServerRow>
{
protected:
    void SetUp() override
    {
        WindowToggles::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        const NameServerRow &row = GetParam();
        bundled = readAll(resources() + QStringLiteral("/named.conf"));
        ownConfig = bundled + "// the administrator's own\n";
        ownHints = readAll(kRootHints) + "; kept as it is\n";
        if (row.configPresent)
            writeFile(etc(QStringLiteral("named.conf")), ownConfig);
        if (row.hintsPresent) {
            writeFile(etc(QStringLiteral("named.cache")), ownHints);
            writeFile(etc(QStringLiteral("named.clients")), "acl velloran_clients { any; };\n");
        }
        startDriver();
        ASSERT_EQ(ask(QStringLiteral("launch")),
                  lines(QStringList{shown(false, false, false, false)}));
    }
    QStringList expectedRuns() const
    {
        QStringList runs;
        for (QString run : GetParam().runs)
            runs << QStringLiteral("run ") + run.replace(QLatin1Char('%'), resources());
        return runs;
    }
    QByteArray bundled, ownConfig, ownHints;
};

TEST_P(NameServerToggle, StartsFromWhatIsThereAndEndsByTheWindow)
{
    const NameServerRow &row = GetParam();
    EXPECT_EQ(ask(QStringLiteral("click named")),
              lines(expectedRuns() << shown(true, true, false, false)));
    const pid_t first = answeringServer();
    ASSERT_NE(first, 0);
    EXPECT_EQ(readAll(etc(QStringLiteral("named.conf"))), row.configPresent ? ownConfig : bundled);
    EXPECT_EQ(readAll(etc(QStringLiteral("named.cache"))),
              row.hintsPresent ? ownHints : readAll(kRootHints));

    // Toggling again ends the server the lookup finds by "/usr/sbin/named".
    EXPECT_EQ(
        ask(QStringLiteral("click named")),
        lines(QStringList{"run /bin/kill " + innerPid(first), shown(false, false, false, false)}));
    EXPECT_TRUE(waitFor([&] { return !processAlive(first); })) << "named outlived the toggle";

    // Both files are in place now: the server starts directly, and reset ends it.
    EXPECT_EQ(ask(QStringLiteral("click named")),
              lines(QStringList{"run /usr/sbin/named -c /etc/named.conf",
                                shown(true, true, false, false)}));
    const pid_t second = answeringServer();
    ASSERT_NE(second, 0);
    EXPECT_EQ(ask(QStringLiteral("click reset")),
              lines(QStringList{"run /bin/kill " + innerPid(second), "beep",
                                shown(false, false, false, false)}));
    EXPECT_TRUE(waitFor([&] { return !processAlive(second); })) << "named outlived the reset";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NameServerToggle,
    ::testing::Values(NameServerRow{"nothing set up yet",
                                    false,
                                    false,
                                    {"/bin/cp %/named.conf /etc/named.conf", "%/named_setup"}},
                      NameServerRow{"configuration without hints", true, false, {"%/named_setup"}},
                      NameServerRow{
                          "both in place", true, true, {"/usr/sbin/named -c /etc/named.conf"}}));

// A cancelled password request starts nothing; only a configuration that could not be copied
// is worth an alert. A server that could not be started is not shown as running.
TEST_P(NameServerToggle, CancelledPasswordLeavesTheServerOff)
{
    const NameServerRow &row = GetParam();
    send(QStringLiteral("record"));
    send(QStringLiteral("rights 0"));
    send(QStringLiteral("prompts cancel"));
    QStringList expected;
    if (!row.configPresent)
        expected << QStringLiteral("alert Unable to make DNS configuration file; an error occured");
    expected << shown(false, false, false, false);
    EXPECT_EQ(ask(QStringLiteral("click named")), lines(expected));
    EXPECT_EQ(readAll(etc(QStringLiteral("named.conf"))), row.configPresent ? ownConfig : "");
    EXPECT_TRUE(servers().isEmpty());

    // Granted the next time, the same click starts it.
    send(QStringLiteral("prompts grant"));
    EXPECT_EQ(ask(QStringLiteral("click named")),
              lines(expectedRuns() << shown(true, true, false, false)));
}

// Start at boot installed and removed from the window by the real scripts.
class StartAtBootToggle : public WindowToggles
{
protected:
    void SetUp() override
    {
        WindowToggles::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        expectedScript =
            NATLoader::startupLines(QStringLiteral("vtb"),
                                    {"vta", "192.168.2.1", "netmask", "255.255.255.0"}, false)
                .value_or(QStringList())
                .join(QString())
                .toUtf8();
    }

    // Launches, chooses the interfaces and turns start at boot on and off again, checking what
    // the scripts left on disk each time.
    void turnOnAndOff(uid_t uid)
    {
        startDriver(uid);
        send(QStringLiteral("launch"));
        send(QStringLiteral("external Ethernet Interface (vtb)"));
        EXPECT_EQ(ask(QStringLiteral("internal Ethernet Interface (vta)")),
                  lines(QStringList{shown(false, false, false, false)}));
        QStringList generated = send(QStringLiteral("generated"));
        ASSERT_EQ(generated.size(), 3);
        const QByteArray script = QByteArray::fromHex(generated[0].section(' ', 1).toLatin1());
        const QByteArray config = QByteArray::fromHex(generated[1].section(' ', 1).toLatin1());
        EXPECT_EQ(script, expectedScript);
        EXPECT_TRUE(config.contains("\ninterface vtb\n")) << config.constData();

        EXPECT_EQ(ask(QStringLiteral("click load")),
                  lines(QStringList{"run /bin/cp " + resources() +
                                        "/StartupParameters.plist "
                                        "/tmp/Velloran.StartupParameters.plist.tmp",
                                    "run " + resources() + "/load_install",
                                    shown(false, false, true, true)}));
        const QFileInfo installed(item() + QStringLiteral("/Velloran"));
        EXPECT_EQ(readAll(installed.filePath()), script);
        EXPECT_EQ(installed.ownerId(), 0u);
        struct stat st {
        };
        ASSERT_EQ(::stat(QFile::encodeName(installed.filePath()).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        EXPECT_EQ(readAll(item() + QStringLiteral("/StartupParameters.plist")),
                  readAll(resources() + QStringLiteral("/StartupParameters.plist")));
        EXPECT_EQ(readAll(etc(QStringLiteral("natd.conf"))), config);
        EXPECT_TRUE(QFileInfo(wants()).isSymLink());
        EXPECT_EQ(staged(), QStringList());

        // The next launch finds the item and shows start at boot on.
        startDriver(uid);
        EXPECT_EQ(ask(QStringLiteral("launch")),
                  lines(QStringList{shown(false, false, true, true)}));
        EXPECT_EQ(ask(QStringLiteral("click load")),
                  lines(QStringList{"run " + resources() + "/load_remove",
                                    shown(false, false, false, false)}));
        EXPECT_FALSE(QFileInfo::exists(item()));
        EXPECT_FALSE(QFileInfo(wants()).isSymLink());
        EXPECT_FALSE(QFileInfo::exists(etc(QStringLiteral("systemd/system/velloran.service"))));

        startDriver(uid);
        EXPECT_EQ(ask(QStringLiteral("launch")),
                  lines(QStringList{shown(false, false, false, false)}));
    }

    QByteArray expectedScript;
};

TEST_F(StartAtBootToggle, InstallsAndRemovesAsRoot)
{
    turnOnAndOff(0);
}

// An ordinary user with sudo: Velloran stages the files as that user, root's cp writes the
// parameters list into the file the user made, and the install script takes the user's files.
TEST_F(StartAtBootToggle, InstallsAndRemovesForAnOrdinaryUser)
{
    VELLORAN_REQUIRE(QFileInfo(QStringLiteral("/usr/bin/sudo")).isExecutable(), "needs sudo");
    // The user exists only in the root's own /etc, with a rule for Velloran's helper alone.
    uid_t uid = 4242;
    while (::getpwuid(uid))
        ++uid;
    const QByteArray name = "vltoggles";
    const QByteArray id = QByteArray::number(uid);
    for (const auto &[file, line] :
         {std::pair{"passwd", name + ":x:" + id + ':' + id + "::/tmp:/usr/sbin/nologin\n"},
          std::pair{"group", name + ":x:" + id + ":\n"},
          std::pair{"shadow", name + ":!:19000:0:99999:7:::\n"}}) {
        QFile account(etc(QLatin1String(file)));
        ASSERT_TRUE(account.open(QIODevice::Append));
        account.write(line);
    }
    const QString rule = etc(QStringLiteral("sudoers.d/velloran-toggles"));
    writeFile(rule, "Defaults:" + name + " lecture=never\n" + name + " ALL=(root) NOPASSWD: " +
                        QFile::encodeName(resources()) + "/velloran-helper\n");
    QFile::setPermissions(rule, QFile::ReadOwner | QFile::ReadGroup);

    turnOnAndOff(uid);
}
