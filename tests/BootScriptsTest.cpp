// load_install, load_remove and the window's name-server and start-at-boot toggles for real, as
// root, in a root of the test's own (tests/private_root) inside the topology's gateway namespace.
#include "Bundle.h"
#include "NetnsTopology.h"
#include "SharingSession.h"
#include "TestSupport.h"

#include <QFileInfo>
#include <QRegularExpression>

using TestSupport::readAll;
using TestSupport::waitFor;
using TestSupport::writeFile;

namespace {
const QString kHints = "/usr/share/dns/root.hints";
// What the root holds of start at boot, a line each ($0: the resource folder).
const char *const kLook = R"sh(exec 2>/dev/null
cd /Library/StartupItems/Velloran && stat -c '%n %u %a' * && sh -n Velloran &&
    cmp StartupParameters.plist "$0/StartupParameters.plist" &&
    systemd-analyze verify /etc/systemd/system/velloran.service && echo item ok
echo "boot $(systemctl is-enabled velloran.service)
$(ls -d /tmp/*.tmp /etc/natd.conf) rc $(. /etc/rc.common && ConsoleMessage 'a  b')"
grep -E '^(Type|RemainAfterExit|ExecStart)=' /etc/systemd/system/velloran.service)sh";
// Files staged as user 4242's (a plain script, and the bundle's parameters), before the row's
// plant.
const QString kStage = "cd \"$0\" && echo '#!/bin/sh' | tee tmp/Velloran.tmp >tmp/natd.conf.tmp "
                       "&& cp \"$1/StartupParameters.plist\" tmp/Velloran.StartupParameters."
                       "plist.tmp && chown 4242:4242 tmp/*.tmp && echo own >precious && ";

QString res()
{
    return QFileInfo(Bundle::resourcePath()).canonicalFilePath();
}
std::string state(bool named, bool load)
{
    return QString("state named=%1 dns=%1 load=%2 boot=%2\n").arg(named).arg(load).toStdString();
}

class BootScripts : public ::testing::Test
{
protected:
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        ASSERT_TRUE(net.ready() && root.ready()) << qPrintable(net.error() + root.error());
        ASSERT_EQ(run({"/bin/true"}), 0) << qPrintable(output); // the root's /etc, without ours
        for (const char *name : {"natd.conf", "rc.common", "named.conf", "named.cache"})
            QFile::remove(at("/etc/") + name);
        // The window is pid 1 of a PID namespace of its own: its lookup sees this test's alone.
        const QString driver = at(PrivateRoot::driverPath());
        ASSERT_TRUE(QFile::rename(driver, driver + ".real"));
        writeFile(driver, "#!/bin/sh\nexec env -u SUDO_UID -u SUDO_USER HOME=/tmp unshare -pf "
                          "--kill-child --mount-proc $VELLORAN_AS \"$0.real\"\n");
        QFile::setPermissions(driver, QFile::ReadOwner | QFile::ExeOwner);
    }
    void TearDown() override { window.reset(), net.killAll(net.gw()); }
    QString at(const QString &inside) const { return root.hostPath(inside); }
    int run(const QStringList &argv, const QString &requester = "0")
    {
        return root.run(net.gw(), QStringList{"/usr/bin/env", "SUDO_UID=" + requester} + argv,
                        &output);
    }
    std::string look() { return run({"/bin/sh", "-c", kLook, res()}), output.toStdString(); }
    std::string launch(const QString &user = {}) // as root, or as `user` through setpriv
    {
        window.reset();
        const QString as = "setpriv --reuid=%1 --regid=%1 --init-groups";
        qputenv("VELLORAN_AS", user.isEmpty() ? "" : as.arg(user).toUtf8());
        window = std::make_unique<SharingDriver>(root, net.gw());
        return window->launched().text.toStdString();
    }
    std::string ask(const QString &command) { return window->send(command).text.toStdString(); }
    std::string answeringServer() // named's pid in the window's namespace, once it answers
    {
        EXPECT_TRUE(waitFor([&] {
            net.exec(net.gw(), {"dig", "+tries=1", "@127.0.0.1", "1.2.0.192.in-addr.arpa", "PTR"},
                     &output);
            return output.contains("status: NXDOMAIN");
        })) << qPrintable(output);
        return readAll(at("/run/named.pid")).trimmed().toStdString();
    }
    NetnsTopology net;
    PrivateRoot root;
    std::unique_ptr<SharingDriver> window;
    QString output;
};

// Rows: what is planted among the staged files, and the requesting user.
using Staging = std::tuple<const char *, const char *, const char *>;
class StagedFiles : public BootScripts, public ::testing::WithParamInterface<Staging>
{
};

TEST_P(StagedFiles, InstallNothingFromUntrustedOnes)
{
    const auto [name, plant, requester] = GetParam();
    ASSERT_EQ(TestSupport::run("/bin/sh", {"-c", kStage + plant, at("/"), res()}), 0);
    const std::string before = look();
    EXPECT_NE(run({res() + "/load_install"}, requester), 0);
    EXPECT_TRUE(output.contains(QRegularExpression("nothing installed|sticky")))
        << qPrintable(output);
    EXPECT_EQ(look() + readAll(at("/precious")).toStdString(), before + "own\n");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StagedFiles,
    ::testing::Values(
        Staging{"ScriptALink", "ln -sf ../precious tmp/Velloran.tmp", "4242"},
        Staging{"ConfigOfAnotherUser", "chown 65534:65534 tmp/natd.conf.tmp", "4242"},
        Staging{"SecondName", "ln -f precious tmp/Velloran.StartupParameters.plist.tmp", "4242"},
        Staging{"ScriptMissing", "rm tmp/Velloran.tmp", "4242"},
        Staging{"ScriptAFolder", "rm tmp/Velloran.tmp && mkdir tmp/Velloran.tmp", "4242"},
        Staging{"NoRequesterOnlyRootsCount", "true", "0"},
        Staging{"StagingNotSticky", "chmod 0777 tmp", "4242"}),
    [](const auto &row) { return std::get<0>(row.param); });

// Rows: name, named.conf and root hints there before, what the first click runs ("%": resources).
using NameServerRow = std::tuple<const char *, bool, bool, const char *>;
class NameServerToggle : public BootScripts, public ::testing::WithParamInterface<NameServerRow>
{
};

TEST_P(NameServerToggle, StartsFromWhatIsThereAndEndsByTheWindow)
{
    const auto [name, present, hinted, first] = GetParam();
    const QByteArray conf = readAll(res() + "/named.conf"), hints = readAll(kHints) + ";\n";
    if (present)
        writeFile(at("/etc/named.conf"), conf + "//\n");
    if (hinted) { // with the clients listed, named starts directly
        writeFile(at("/etc/named.cache"), hints);
        writeFile(at("/etc/named.clients"), "acl velloran_clients { any; };\n");
    }
    const std::string runs = QString(first).replace('%', res()).toStdString();
    EXPECT_EQ(launch(), state(false, false));
    // A cancelled password starts nothing; only a configuration that could not be copied is said.
    ask("record"), ask("rights 0"), ask("prompts cancel");
    EXPECT_EQ(ask("click named"),
              (present ? "" : "alert Unable to make DNS configuration file; an error occured\n") +
                  state(false, false));
    EXPECT_EQ(readAll(at("/etc/named.conf")), present ? conf + "//\n" : "");
    ask("prompts grant"); // granted the next time, the same click starts it
    EXPECT_EQ(ask("click named"), runs + state(true, false));
    launch();
    EXPECT_EQ(ask("click named"), runs + state(true, false));
    // Toggling again ends the server the lookup finds; the administrator's files stay theirs.
    std::string pid = answeringServer();
    EXPECT_EQ(ask("click named"), "run /bin/kill " + pid + '\n' + state(false, false));
    EXPECT_EQ(readAll(at("/etc/named.conf")) + readAll(at("/etc/named.cache")),
              (present ? conf + "//\n" : conf) + (hinted ? hints : readAll(kHints)));
    EXPECT_TRUE(waitFor([&] { return !QFileInfo::exists(at("/run/named.pid")); }));
    // Both files are in place now: the server starts directly, and reset ends it with a beep.
    EXPECT_EQ(ask("click named"), "run /usr/sbin/named -c /etc/named.conf\n" + state(true, false));
    pid = answeringServer();
    EXPECT_EQ(ask("click reset"), "run /bin/kill " + pid + "\nbeep\n" + state(false, false));
    EXPECT_TRUE(waitFor([&] { return !QFileInfo::exists(at("/run/named.pid")); }));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NameServerToggle,
    ::testing::Values(
        NameServerRow{"NothingSetUpYet", false, false,
                      "run /bin/cp %/named.conf /etc/named.conf\nrun %/named_setup\n"},
        NameServerRow{"ConfigurationWithoutHints", true, false, "run %/named_setup\n"},
        NameServerRow{"BothInPlace", true, true, "run /usr/sbin/named -c /etc/named.conf\n"}),
    [](const auto &row) { return std::get<0>(row.param); });

class StartAtBootToggle : public BootScripts, public ::testing::WithParamInterface<bool>
{
};

// Installed and removed by the real scripts from the window: as root on a machine with its own
// rc.common, or as an ordinary user (sudo, the helper alone) where the install takes their files.
TEST_P(StartAtBootToggle, InstallsAndRemoves)
{
    QString user;
    if (GetParam()) {
        ASSERT_EQ(run({"/usr/sbin/useradd", "-M", "-U", "-s", "/sbin/nologin", "vltoggles"}), 0);
        ASSERT_EQ(run({"/usr/bin/id", "-u", "vltoggles"}), 0);
        user = output.trimmed();
        writeFile(at("/etc/sudoers.d/vltoggles"),
                  "vltoggles ALL=(root) NOPASSWD: " + QFile::encodeName(res()) +
                      "/velloran-helper\n");
    } else {
        writeFile(at("/etc/rc.common"), "ConsoleMessage() { echo own; }\n");
    }
    const std::string rc = user.isEmpty() ? "own" : "";
    launch(user);
    ask("external Ethernet Interface (ext0)");
    EXPECT_EQ(ask("internal Ethernet Interface (int0)"), state(false, false));
    const QStringList made =
        QString::fromStdString(ask("generated")).split(QRegularExpression("[ \n]"));
    EXPECT_EQ(ask("click load"), "run /bin/cp " + res().toStdString() +
                                     "/StartupParameters.plist /tmp/Velloran.StartupParameters."
                                     "plist.tmp\nrun " +
                                     res().toStdString() + "/load_install\n" + state(false, true));
    // Root's own item with the parameters, its unit enabled, under the machine's rc.common or ours.
    EXPECT_EQ(look(), "StartupParameters.plist 0 644\nVelloran 0 755\nitem ok\nboot enabled\n"
                      "/etc/natd.conf rc " +
                          (user.isEmpty() ? rc : "a  b") +
                          "\nType=oneshot\nRemainAfterExit=yes\nExecStart=\"/var/lib/velloran/"
                          "boot/velloran-toolview\" /Library/StartupItems/Velloran/Velloran\n");
    EXPECT_EQ(readAll(at("/Library/StartupItems/Velloran/Velloran")).toHex() + ' ' +
                  readAll(at("/etc/natd.conf")).toHex(),
              made.value(1) + ' ' + made.value(3));
    EXPECT_TRUE(readAll(at("/etc/natd.conf")).contains("\ninterface ext0\n"));
    EXPECT_EQ(launch(user), state(false, true)); // the next launch finds the item
    EXPECT_EQ(ask("click load"),
              "run " + res().toStdString() + "/load_remove\n" + state(false, false));
    // The rc.common Velloran brought goes with the item, the machine's own stays.
    EXPECT_EQ(look(), "boot \n/etc/natd.conf rc " + rc + '\n');
    EXPECT_EQ(run({res() + "/load_remove"}), 0) << "removing again: " << qPrintable(output);
    EXPECT_EQ(launch(user), state(false, false));
}

INSTANTIATE_TEST_SUITE_P(AsRootAndAsUser, StartAtBootToggle, ::testing::Bool(),
                         [](const auto &row) { return row.param ? "OrdinaryUser" : "Root"; });

} // namespace
