// load_install, load_remove and the window's name-server and start-at-boot toggles for real, as
// root, in a root of the test's own whose /etc, /Library, /tmp, /run and /var are the test's.
#include "Bundle.h"
#include "WindowFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <csignal>
#include <pwd.h>
#include <sys/stat.h>

using TestSupport::readAll;
using TestSupport::writeFile;

namespace {
const QString kHints = QStringLiteral("/usr/share/dns/root.hints");
const QString kItem = QStringLiteral("/Library/StartupItems/Velloran");
const QString kUnit = QStringLiteral("/etc/systemd/system/velloran.service");
const QString kWants =
    QStringLiteral("/etc/systemd/system/multi-user.target.wants/velloran.service");

QString resources()
{
    return QFileInfo(Bundle::resourcePath()).canonicalFilePath();
}

// The private root; on its end the machine's own files must be as they were.
struct Root {
    static QStringList hostState()
    {
        QStringList state;
        for (const QString &path :
             {kItem, kUnit, kWants, QString("/etc/natd.conf"), QString("/etc/rc.common"),
              QString("/etc/named.conf"), QString("/etc/named.cache")})
            state << path + '=' + QFileInfo(path).lastModified().toString(Qt::ISODateWithMs);
        return state;
    }
    ~Root() { EXPECT_EQ(hostState(), before) << "the machine's own files changed"; }
    QString at(const QString &inside) const { return work.path() + inside; }
    QStringList staged() const { return QDir(at("/tmp")).entryList(QDir::Files | QDir::System); }
    // Runs a command inside, with SUDO_UID set to `requester` when it is given.
    int run(QStringList command, const QString &requester = {})
    {
        if (!requester.isEmpty())
            command = QStringList{"/usr/bin/env", "SUDO_UID=" + requester} + command;
        return TestSupport::run(VELLORAN_TEST_SOURCE_DIR "/private_root",
                                QStringList{work.path(), resources()} + command, &output);
    }
    bool prepare() // the root's /etc: a copy of the machine's, with nothing of Velloran's
    {
        const bool made = run({"/bin/true"}) == 0;
        for (const char *name : {"natd.conf", "rc.common", "named.conf", "named.cache"})
            QFile::remove(at("/etc/") + name);
        return made;
    }
    // The installed item is the staged one, root's and executable, with its parameters and
    // natd.conf.
    void expectInstalled(const QByteArray &script, const QByteArray &config)
    {
        struct stat st {
        };
        ASSERT_EQ(::stat(QFile::encodeName(at(kItem + "/Velloran")).constData(), &st), 0);
        EXPECT_EQ(QString::number(st.st_uid) + ' ' + QString::number(st.st_mode & 07777, 8),
                  "0 755");
        EXPECT_EQ(readAll(at(kItem + "/Velloran")), script);
        EXPECT_EQ(readAll(at(kItem + "/StartupParameters.plist")),
                  readAll(resources() + "/StartupParameters.plist"));
        EXPECT_EQ(readAll(at("/etc/natd.conf")), config);
        EXPECT_TRUE(QFileInfo(at(kWants)).isSymLink());
        EXPECT_EQ(staged(), QStringList());
    }
    void expectRemoved()
    {
        EXPECT_FALSE(QFileInfo::exists(at(kItem)) || QFileInfo::exists(at(kUnit)) ||
                     QFileInfo(at(kWants)).isSymLink());
    }
    QStringList before = hostState();
    QTemporaryDir work;
    QString output;
};
} // namespace

class BootScripts : public WindowFixture
{
protected:
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        WindowFixture::SetUp();
        ASSERT_TRUE(root.prepare()) << qPrintable(root.output);
        NATLoader::setStagingFolder(root.at("/tmp"));
        choose("eth1", "eth0");
    }
    // What Velloran does before it runs the install script: root's copy, then the two files.
    void stageFiles()
    {
        const QString params = root.at("/tmp/Velloran.StartupParameters.plist.tmp");
        QFile::remove(params);
        ASSERT_TRUE(QFile::copy(resources() + "/StartupParameters.plist", params));
        ASSERT_TRUE(loaded->loader->makeStartupItem() && loaded->loader->makeConfigFile());
        for (const char *name : {"/tmp/Velloran.tmp", "/tmp/natd.conf.tmp"})
            ASSERT_EQ(::chown(QFile::encodeName(root.at(name)).constData(), 4242, 4242), 0);
    }
    int install(const QString &script = resources() + "/load_install")
    {
        return root.run({script}, "4242");
    }
    // The install script and rc.common in another folder, with a tool view beside them.
    QString copyBundle(const QString &folder)
    {
        EXPECT_TRUE(QDir().mkpath(root.at("/tmp" + folder)));
        for (const char *name : {"/load_install", "/rc.common"})
            EXPECT_TRUE(QFile::copy(resources() + name, root.at("/tmp" + folder + name)));
        writeFile(root.at("/tmp" + folder + "/velloran-toolview"), "#!/bin/sh\nexec \"$@\"\n");
        QFile::setPermissions(root.at("/tmp" + folder + "/velloran-toolview"),
                              QFile::ReadOwner | QFile::ExeOwner);
        return "/tmp" + folder + "/load_install";
    }
    Root root;
};

TEST_F(BootScripts, InstallPutsTheItemInPlaceAndRemoveTakesItAway)
{
    writeFile(root.at("/etc/rc.common"),
              "ConsoleMessage() { logger \"$*\"; }\n"); // the machine's own
    stageFiles();
    ASSERT_EQ(install(), 0) << qPrintable(root.output);
    ASSERT_EQ(root.run({resources() + "/load_remove"}), 0);
    EXPECT_EQ(readAll(root.at("/etc/rc.common")), "ConsoleMessage() { logger \"$*\"; }\n");
    QFile::remove(root.at("/etc/rc.common"));

    type("192.168.9.1");
    stageFiles();
    const QByteArray script = readAll(root.at("/tmp/Velloran.tmp")),
                     config = readAll(root.at("/tmp/natd.conf.tmp"));
    ASSERT_EQ(install(), 0) << qPrintable(root.output);
    root.expectInstalled(script, config);
    EXPECT_TRUE(script.contains(" 192.168.9.1 netmask "));
    // The script runs under the rc.common that the machine lacked.
    EXPECT_EQ(root.run({"/bin/sh", "-n", kItem + "/Velloran"}), 0) << qPrintable(root.output);
    ASSERT_EQ(root.run({"/bin/sh", "-c", ". /etc/rc.common; ConsoleMessage \"Starting  it\""}), 0);
    EXPECT_EQ(root.output, "Starting  it\n");
    const QString unit = QString::fromUtf8(readAll(root.at(kUnit)));
    for (const QString &line :
         {QString("Type=oneshot"), QString("RemainAfterExit=yes"),
          "ExecStart=\"/var/lib/velloran/boot/velloran-toolview\" " + kItem + "/Velloran"})
        EXPECT_TRUE(unit.contains('\n' + line + '\n')) << qPrintable(unit);
    EXPECT_EQ(root.run({"/usr/bin/systemctl", "is-enabled", "velloran.service"}), 0);
    EXPECT_EQ(root.output, "enabled\n");

    for (int twice : {0, 1}) // removing what is already gone is no failure
        EXPECT_EQ(root.run({resources() + "/load_remove"}), 0) << twice << qPrintable(root.output);
    root.expectRemoved();
    EXPECT_NE(root.run({"/usr/bin/systemctl", "is-enabled", "velloran.service"}), 0);
    EXPECT_FALSE(QFileInfo::exists(root.at("/etc/rc.common")));
}

// A bundle in a folder of any name installs: the unit runs root's copies, not the folder's.
TEST_F(BootScripts, UnitNamesTheToolViewEvenInAnOddFolder)
{
    stageFiles();
    ASSERT_EQ(install(copyBundle("/Velloran \"beta\" 100% $HOME;x")), 0) << qPrintable(root.output);
    EXPECT_EQ(root.run({"/usr/bin/systemd-analyze", "verify", kUnit}), 0)
        << qPrintable(root.output);
    EXPECT_TRUE(QFileInfo(root.at(kWants)).isSymLink());
}

// What was planted in the staging folder before the install script ran as the requester (or with
// none).
class Refusal : public BootScripts,
                public ::testing::WithParamInterface<std::tuple<const char *, const char *>>
{
};

TEST_P(Refusal, InstallsNothingFromUntrustedStagedFiles)
{
    const auto [plant, requester] = GetParam();
    stageFiles();
    writeFile(root.at("/precious"), "#!/bin/sh\necho planted\n");
    ASSERT_EQ(
        TestSupport::run("/bin/sh", {"-c", QString("cd \"$0\" && ") + plant, root.at("/tmp")}), 0);
    const QStringList before = root.staged();
    EXPECT_NE(root.run({resources() + "/load_install"}, requester), 0);
    EXPECT_TRUE(root.output.contains("nothing installed") || root.output.contains("sticky"))
        << qPrintable(root.output);
    root.expectRemoved();
    EXPECT_FALSE(QFileInfo::exists(root.at("/etc/natd.conf")));
    EXPECT_EQ(readAll(root.at("/precious")), "#!/bin/sh\necho planted\n");
    EXPECT_EQ(root.staged(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Refusal,
    ::testing::Values(std::tuple("ln -sf ../precious Velloran.tmp", "4242"),
                      std::tuple("chown 65534:65534 natd.conf.tmp", "4242"),
                      std::tuple("ln -f ../precious Velloran.StartupParameters.plist.tmp", "4242"),
                      std::tuple("rm Velloran.tmp", "4242"),
                      std::tuple("rm Velloran.tmp && mkdir Velloran.tmp", "4242"),
                      std::tuple("true", ""), // only root's files count then
                      std::tuple("chmod 0777 .", "4242")),
    [](const auto &row) { return std::to_string(row.index); });

// The toggles through the real window: a driver holds it in network, PID and mount namespaces of
// the test's own, so its process lookup sees only the servers this test started.
class WindowToggles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        VELLORAN_REQUIRE(
            QFileInfo("/usr/sbin/named").isExecutable() &&
                QFileInfo("/usr/bin/dig").isExecutable() && QFileInfo::exists(kHints),
            "needs BIND 9, dig and root hints (Debian bind9, bind9-dnsutils, dns-root-data)");
        netns = QStringLiteral("vl%1t%2").arg(::getpid()).arg(++s_count);
        ASSERT_EQ(ip({"netns", "add", netns}), 0);
        for (const QStringList &args :
             {QStringList{"link", "add", "vta", "type", "veth", "peer", "name", "vtb"},
              {"addr", "add", "198.51.100.1/24", "dev", "vta"},
              {"link", "set", "lo", "up"},
              {"link", "set", "vta", "up"},
              {"link", "set", "vtb", "up"}})
            ASSERT_EQ(ip(QStringList{"-n", netns} + args), 0) << qPrintable(root.output);
        ASSERT_EQ(ip({"netns", "exec", netns, "sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1"}),
                  0);
        ASSERT_TRUE(root.prepare() && QDir().mkpath(root.at("/var/driver")))
            << qPrintable(root.output);
        QFile::remove(root.at("/var/driver/toggles"));
        ASSERT_TRUE(QFile::copy(VELLORAN_TOGGLES_DRIVER, root.at("/var/driver/toggles")));
    }
    void TearDown() override
    {
        stopDriver();
        if (netns.isEmpty())
            return;
        for (const QString &pid : pids()) // whatever still runs there was started by this test
            ::kill(pid.toInt(), SIGKILL);
        ip({"netns", "del", netns});
    }
    int ip(const QStringList &args) { return TestSupport::run("/usr/sbin/ip", args, &root.output); }
    QStringList pids()
    {
        QString text;
        TestSupport::run("/usr/sbin/ip", {"netns", "pids", netns}, &text);
        return text.split('\n', Qt::SkipEmptyParts);
    }

    // Starts the window in the test's namespaces and root, as root or as `uid` (through setpriv).
    void startDriver(uid_t uid = 0)
    {
        stopDriver();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"SUDO_UID", "SUDO_GID", "SUDO_USER", "SUDO_COMMAND"})
            environment.remove(name);
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("HOME", "/tmp");
        QStringList command{"netns",
                            "exec",
                            netns,
                            "/usr/bin/unshare",
                            "--pid",
                            "--fork",
                            "--kill-child",
                            "--mount-proc",
                            VELLORAN_TEST_SOURCE_DIR "/private_root",
                            root.work.path(),
                            resources()};
        if (uid != 0)
            command << "/usr/bin/setpriv" << QString("--reuid=%1").arg(uid)
                    << QString("--regid=%1").arg(uid) << "--init-groups"
                    << "--";
        driver = std::make_unique<QProcess>();
        driver->setProcessEnvironment(environment);
        driver->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        driver->start("/usr/sbin/ip", command << "/var/driver/toggles");
        ASSERT_TRUE(driver->waitForStarted());
    }
    void stopDriver()
    {
        if (driver && (driver->closeWriteChannel(), !driver->waitForFinished(30000)))
            driver->kill(), driver->waitForFinished();
        driver.reset();
    }
    // One command to the window; what it answered, one line each, its state last.
    std::string ask(const QString &command)
    {
        std::string lines;
        if (!driver)
            return "no driver\n";
        driver->write((command + '\n').toUtf8());
        while (driver->state() == QProcess::Running || driver->canReadLine()) {
            if (!driver->canReadLine() && !driver->waitForReadyRead(120000))
                break;
            while (driver->canReadLine()) {
                const QByteArray line = driver->readLine();
                if (line == ".\n")
                    return lines;
                lines += line.toStdString();
            }
        }
        ADD_FAILURE() << "no answer to \"" << qPrintable(command) << '"';
        return lines;
    }
    static std::string state(bool named, bool load)
    {
        return QString("state named=%1 dns=%1 load=%2 boot=%2\n")
            .arg(int(named))
            .arg(int(load))
            .toStdString();
    }

    // The one name server running, once it answers on 127.0.0.1; 0 when there is none.
    pid_t answeringServer()
    {
        pid_t pid = 0;
        const auto servers = [&] {
            QList<pid_t> found;
            for (const QString &text : pids())
                if (TestSupport::processAlive(text.toInt()) &&
                    readAll(QString("/proc/%1/cmdline").arg(text)) ==
                        QByteArray("/usr/sbin/named\0-c\0/etc/named.conf\0", 35))
                    found << text.toInt();
            return found;
        };
        if (!TestSupport::waitFor(
                [&] { return (pid = servers().size() == 1 ? servers().first() : 0) != 0; })) {
            ADD_FAILURE() << "no single named runs: " << servers().size();
            return 0;
        }
        // The reserved test networks are answered by named's built-in empty zones.
        EXPECT_TRUE(TestSupport::waitFor([&] {
            ip({"netns", "exec", netns, "dig", "+time=2", "+tries=1", "@127.0.0.1",
                "1.2.0.192.in-addr.arpa", "PTR"});
            return root.output.contains("status: NXDOMAIN");
        })) << qPrintable(root.output);
        return pid;
    }
    // The id a process has in the driver's PID namespace, as Velloran's lookup sees it.
    static QString innerPid(pid_t pid)
    {
        const QString status = QString::fromLatin1(readAll(QString("/proc/%1/status").arg(pid)));
        return QRegularExpression("\nNSpid:\\s*\\d+\\s+(\\d+)").match(status).captured(1);
    }

    static int s_count;
    Root root;
    QString netns;
    std::unique_ptr<QProcess> driver;
};

int WindowToggles::s_count = 0;

struct NameServerRow {
    const char *what;
    bool configPresent, hintsPresent;
    const char *runs; // "%" stands for the resource folder
};
void PrintTo(const NameServerRow &row, std::ostream *os)
{
    *os << row.what;
}
class NameServerToggle : public WindowToggles, public ::testing::WithParamInterface<NameServerRow>
{
};

TEST_P(NameServerToggle, StartsFromWhatIsThereAndEndsByTheWindow)
{
    const NameServerRow &row = GetParam();
    const QByteArray bundled = readAll(resources() + "/named.conf"),
                     own = bundled + "// the administrator's own\n";
    const QByteArray hints = readAll(kHints) + "; kept as it is\n";
    if (row.configPresent)
        writeFile(root.at("/etc/named.conf"), own);
    if (row.hintsPresent) { // with the clients named_setup lists, named starts directly
        writeFile(root.at("/etc/named.cache"), hints);
        writeFile(root.at("/etc/named.clients"), "acl velloran_clients { any; };\n");
    }
    const std::string runs = QString(row.runs).replace('%', resources()).toStdString();
    startDriver();
    ASSERT_EQ(ask("launch"), state(false, false));
    // A cancelled password starts nothing; only a configuration that could not be copied is said.
    ask("record");
    ask("rights 0");
    ask("prompts cancel");
    EXPECT_EQ(ask("click named"),
              (row.configPresent
                   ? ""
                   : "alert Unable to make DNS configuration file; an error occured\n") +
                  state(false, false));
    EXPECT_EQ(readAll(root.at("/etc/named.conf")), row.configPresent ? own : "");
    ask("prompts grant"); // granted the next time, the same click starts it
    EXPECT_EQ(ask("click named"), runs + state(true, false));
    startDriver();
    ask("launch");
    EXPECT_EQ(ask("click named"), runs + state(true, false));
    const pid_t first = answeringServer();
    ASSERT_NE(first, 0);
    EXPECT_EQ(readAll(root.at("/etc/named.conf")), row.configPresent ? own : bundled);
    EXPECT_EQ(readAll(root.at("/etc/named.cache")), row.hintsPresent ? hints : readAll(kHints));
    // Toggling again ends the server the lookup finds by "/usr/sbin/named".
    EXPECT_EQ(ask("click named"),
              "run /bin/kill " + innerPid(first).toStdString() + '\n' + state(false, false));
    EXPECT_TRUE(TestSupport::waitFor([&] { return !TestSupport::processAlive(first); }))
        << "named outlived the toggle";
    // Both files are in place now: the server starts directly, and reset ends it with a beep.
    EXPECT_EQ(ask("click named"), "run /usr/sbin/named -c /etc/named.conf\n" + state(true, false));
    const pid_t second = answeringServer();
    ASSERT_NE(second, 0);
    EXPECT_EQ(ask("click reset"),
              "run /bin/kill " + innerPid(second).toStdString() + "\nbeep\n" + state(false, false));
    EXPECT_TRUE(TestSupport::waitFor([&] { return !TestSupport::processAlive(second); }))
        << "named outlived the reset";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NameServerToggle,
    ::testing::Values(
        NameServerRow{"nothing set up yet", false, false,
                      "run /bin/cp %/named.conf /etc/named.conf\nrun %/named_setup\n"},
        NameServerRow{"configuration without hints", true, false, "run %/named_setup\n"},
        NameServerRow{"both in place", true, true, "run /usr/sbin/named -c /etc/named.conf\n"}),
    [](const auto &row) { return std::to_string(row.index); });

class StartAtBootToggle : public WindowToggles, public ::testing::WithParamInterface<bool>
{
};

// Installed and removed by the real scripts from the window, as root or as an ordinary user with
// sudo: Velloran stages the files as that user and the install script takes the user's files.
TEST_P(StartAtBootToggle, InstallsAndRemoves)
{
    uid_t uid = 0;
    if (GetParam()) {
        VELLORAN_REQUIRE(QFileInfo("/usr/bin/sudo").isExecutable(), "needs sudo");
        // The user exists only in the root's own /etc, with a rule for Velloran's helper alone.
        for (uid = 4242; ::getpwuid(uid); ++uid) {
        }
        const QByteArray id = QByteArray::number(uid);
        for (const auto &[file, line] :
             {std::pair{"/etc/passwd",
                        "vltoggles:x:" + id + ':' + id + "::/tmp:/usr/sbin/nologin\n"},
              std::pair{"/etc/group", "vltoggles:x:" + id + ":\n"},
              std::pair{"/etc/shadow", QByteArray("vltoggles:!:19000:0:99999:7:::\n")}})
            writeFile(root.at(file), readAll(root.at(file)) + line);
        writeFile(root.at("/etc/sudoers.d/velloran-toggles"),
                  "Defaults:vltoggles lecture=never\nvltoggles ALL=(root) NOPASSWD: " +
                      QFile::encodeName(resources()) + "/velloran-helper\n");
        QFile::setPermissions(root.at("/etc/sudoers.d/velloran-toggles"),
                              QFile::ReadOwner | QFile::ReadGroup);
    }
    startDriver(uid);
    ask("launch");
    ask("external Ethernet Interface (vtb)");
    EXPECT_EQ(ask("internal Ethernet Interface (vta)"), state(false, false));
    const QStringList generated = QString::fromStdString(ask("generated")).split('\n');
    const QByteArray script = QByteArray::fromHex(generated.value(0).section(' ', 1).toLatin1());
    const QByteArray config = QByteArray::fromHex(generated.value(1).section(' ', 1).toLatin1());
    EXPECT_EQ(script, NATLoader::startupLines(
                          "vtb", {"vta", "192.168.2.1", "netmask", "255.255.255.0"}, false)
                          ->join("")
                          .toUtf8());
    EXPECT_TRUE(config.contains("\ninterface vtb\n")) << config.constData();
    EXPECT_EQ(ask("click load"),
              ("run /bin/cp " + resources() +
               "/StartupParameters.plist /tmp/Velloran.StartupParameters.plist.tmp\nrun " +
               resources() + "/load_install\n")
                      .toStdString() +
                  state(false, true));
    root.expectInstalled(script, config);
    startDriver(uid); // the next launch finds the item
    EXPECT_EQ(ask("launch"), state(false, true));
    EXPECT_EQ(ask("click load"),
              "run " + resources().toStdString() + "/load_remove\n" + state(false, false));
    root.expectRemoved();
    startDriver(uid);
    EXPECT_EQ(ask("launch"), state(false, false));
}

INSTANTIATE_TEST_SUITE_P(AsRootAndAsUser, StartAtBootToggle, ::testing::Bool(),
                         [](const auto &row) { return row.param ? "OrdinaryUser" : "Root"; });
