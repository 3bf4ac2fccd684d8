// The boot scripts and the window's toggles for real, as root, in a private root in the gateway.
#include "desktop/Bundle.h"
#include "NetnsTopology.h"
#include "TestSupport.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/inotify.h>
#include <sys/wait.h>

using TestSupport::readAll;
using TestSupport::waitFor;

namespace {

// What the root holds of start at boot, a line each ($0: the resource folder).
const char *const kLook = R"sh(exec 2>/dev/null
cd /Library/StartupItems/Velloran && stat -c '%n %u %a' * && sh -n Velloran &&
    cmp StartupParameters.plist "$0/StartupParameters.plist" &&
    systemd-analyze verify /etc/systemd/system/velloran.service && echo item ok
echo "boot $(systemctl is-enabled velloran.service)
$(ls -d /tmp/*.tmp /etc/natd.conf) rc $(. /etc/rc.common && ConsoleMessage 'a  b')"
grep -E '^(Type|RemainAfterExit|ExecStart)=' /etc/systemd/system/velloran.service)sh";

// Staged as user 4242 would (Velloran's files, the bundle's parameters), before the row's plant.
const QString kStage =
    "cd \"$0\" && cp \"$2/Velloran.plain\" tmp/Velloran.tmp && cp "
    "\"$2/natd.conf.all\" tmp/natd.conf.tmp && cp \"$1/StartupParameters.plist\" "
    "tmp/Velloran.StartupParameters.plist.tmp && chown 4242:4242 tmp/*.tmp && "
    "echo own >precious && ";
const char *const kOrdinaryUser =
    "useradd -MU vltoggles && echo \"vltoggles ALL=(root) NOPASSWD: "
    "$0/velloran-helper\" >/etc/sudoers.d/vltoggles && id -u vltoggles";

// A second program of the user's, holding the staged script open: rewrites it once Velloran has.
[[noreturn]] void rewriteOnceWritten(int script, int watch, uid_t uid)
{
    static const char kRewritten[] = "#!/bin/sh\nchmod 4755 /bin/sh\n";
    alignas(inotify_event) char event[4096];
    _exit(setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0 &&
                  read(watch, event, sizeof event) > 0 && ftruncate(script, 0) == 0 &&
                  pwrite(script, kRewritten, sizeof kRewritten - 1, 0) > 0
              ? 0
              : 1);
}

// Velloran's name server, as the window starts it and where it writes its pid.
#define START_NAMED "run /usr/sbin/named -c /etc/named.conf -u bind\n"
const QString kNamedPid = "/var/lib/velloran/named/named.pid";

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
        ASSERT_TRUE(QFile::copy(VELLORAN_TEST_IDLE, at("/tmp/idle"))); // for a row's processes
        for (const char *name : {"natd.conf", "rc.common", "named.conf", "named.cache"})
            QFile::remove(at("/etc/") + name);
        // The window is pid 1 of a PID namespace of its own: its lookup sees this test's alone.
        const QString driver = at(PrivateRoot::driverPath());
        ASSERT_TRUE(QFile::rename(driver, driver + ".real"));
        TestSupport::writeFile(driver,
                               "#!/bin/sh\nexec env -u SUDO_UID -u SUDO_USER HOME=/tmp unshare -pf "
                               "--kill-child --mount-proc $VELLORAN_AS \"$0.real\"\n");
        QFile::setPermissions(driver, QFile::ReadOwner | QFile::ExeOwner);
    }
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
        const QStringList dig{"dig", "+tries=1", "@127.0.0.1", "1.2.0.192.in-addr.arpa", "PTR"};
        EXPECT_TRUE(waitFor(
            [&] { return net.exec(net.gw(), dig, &output) == 0 && output.contains("NXDOMAIN"); }));
        return readAll(at(kNamedPid)).trimmed().toStdString();
    }
    NetnsTopology net{{}};
    PrivateRoot root;
    std::unique_ptr<SharingDriver> window;
    QString output;
};

struct Row {
    const char *name, *first, *second;
};

void PrintTo(const Row &row, std::ostream *os)
{
    *os << row.name;
}

class Rows : public BootScripts, public ::testing::WithParamInterface<Row>
{
};

// Rows: what is planted among the staged files, the requester; only "Inside" rows install.
using StagedFiles = Rows;

TEST_P(StagedFiles, InstallOnlyWhatRootMakesAgainFromTrustedOnes)
{
    ASSERT_EQ(TestSupport::run("/bin/sh", {"-c", kStage + GetParam().first, at("/"), res(),
                                           VELLORAN_TEST_SOURCE_DIR "/golden"}),
              0);
    const std::string before = look();
    const QByteArray staged = readAll(at("/tmp/Velloran.tmp")) + readAll(at("/tmp/natd.conf.tmp"));
    const bool inside = QString(GetParam().name).startsWith("Inside");
    EXPECT_EQ(run({res() + "/load_install"}, GetParam().second) == 0, inside) << qPrintable(output);
    if (inside) {
        const QString item = at("/Library/StartupItems/Velloran/Velloran");
        EXPECT_EQ(readAll(item) + readAll(at("/etc/natd.conf")), staged);
        return;
    }
    EXPECT_TRUE(output.contains(QRegularExpression("nothing installed|sticky")))
        << qPrintable(output);
    EXPECT_EQ(look() + readAll(at("/precious")).toStdString(), before + "own\n");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StagedFiles,
    ::testing::Values(
        Row{"InsideVelloransFiles", "true", "4242"},
        Row{"InsideNameServerLinesInFilesOfRoot",
            "cp $2/Velloran.named tmp/Velloran.tmp && chown 0:0 tmp/*.tmp", "4242"},
        Row{"ScriptOneByteOff", "sed -i s/Services/Servicez/ tmp/Velloran.tmp", "4242"},
        Row{"ScriptExtraLine", "sed -i '/65530/a chmod 4755 /bin/sh' tmp/Velloran.tmp", "4242"},
        Row{"ConfigWithAPidFile", "echo pid_file /etc/shadow >>tmp/natd.conf.tmp", "4242"},
        Row{"ParametersOneByteMore", "echo >>tmp/Velloran.StartupParameters.plist.tmp", "4242"},
        Row{"ScriptALink", "ln -sf ../precious tmp/Velloran.tmp", "4242"},
        Row{"ConfigOfAnotherUser", "chown 65534:65534 tmp/natd.conf.tmp", "4242"},
        Row{"SecondName", "ln -f precious tmp/Velloran.StartupParameters.plist.tmp", "4242"},
        Row{"ScriptMissing", "rm tmp/Velloran.tmp", "4242"},
        Row{"ScriptAFolder", "rm tmp/Velloran.tmp && mkdir tmp/Velloran.tmp", "4242"},
        Row{"NoRequesterOnlyRootsCount", "true", "0"},
        Row{"StagingNotSticky", "chmod 0777 tmp", "4242"}),
    [](const auto &row) { return std::string(row.param.name); });

// Rows: how the administrator set up the name server, what the first click runs ("%": resources).
using NameServerToggle = Rows;

TEST_P(NameServerToggle, StartsFromWhatIsThereAndEndsByTheWindow)
{
    ASSERT_EQ(run({"/bin/sh", "-c", GetParam().first, res()}), 0) << qPrintable(output);
    const QByteArray conf = readAll(at("/etc/named.conf")), hints = readAll(at("/etc/named.cache"));
    const std::string runs = QString(GetParam().second).replace('%', res()).toStdString();
    EXPECT_EQ(launch(), state(false, false));
    // A cancelled password starts nothing; only a configuration that could not be copied is said.
    ask("record"), ask("rights 0"), ask("prompts cancel");
    EXPECT_EQ(
        ask("click named"),
        (!conf.isEmpty() ? "" : "alert Unable to make DNS configuration file; an error occured\n") +
            state(false, false));
    ask("prompts grant"); // granted the next time, the same click starts it
    EXPECT_EQ(ask("click named"), runs + state(true, false));
    launch();
    EXPECT_EQ(ask("click named"), runs + state(true, false));
    // Toggling again ends the server the lookup finds; the administrator's files stay theirs.
    std::string pid = answeringServer();
    EXPECT_EQ(ask("click named"), "run /bin/kill " + pid + '\n' + state(false, false));
    EXPECT_EQ(readAll(at("/etc/named.conf")) + readAll(at("/etc/named.cache")),
              (conf.isEmpty() ? readAll(res() + "/named.conf") : conf) +
                  (hints.isEmpty() ? readAll("/usr/share/dns/root.hints") : hints));
    EXPECT_TRUE(waitFor([&] { return !QFileInfo::exists(at(kNamedPid)); }));
    // Both files are in place now: the server starts directly, and reset ends it with a beep.
    EXPECT_EQ(ask("click named"), START_NAMED + state(true, false));
    pid = answeringServer();
    EXPECT_EQ(ask("click reset"), "run /bin/kill " + pid + "\nbeep\n" + state(false, false));
    EXPECT_TRUE(waitFor([&] { return !QFileInfo::exists(at(kNamedPid)); }));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NameServerToggle,
    ::testing::Values(
        Row{"NothingSetUpYet", "true",
            "run /bin/cp %/named.conf /etc/named.conf\nrun %/named_setup\n"},
        Row{"ConfigurationWithoutHints", "cp $0/named.conf /etc && echo // >>/etc/named.conf",
            "run %/named_setup\n"},
        // Another user's natd (LAN names, one with a plugin), root's natdx and stale named: lists
        // hold only ours.
        Row{"SetUpBesideAnotherUsersNatdAndNamed",
            "echo own >/precious && ln -s /precious /etc/named.clients && mkdir -p "
            "/var/lib/velloran/named || exit; bash -c 'exec -a /usr/sbin/natdx /tmp/idle "
            "-interface int0' & r=$!; setpriv --reuid=65534 --regid=65534 --clear-groups "
            "bash -c 'for w in int0 \"$0\"; do exec -a /usr/sbin/natd /tmp/idle -interface "
            "\"$w\" & done; exec -a /usr/sbin/named /tmp/idle -c /etc/named.conf -u bind' "
            "\"$(printf 'x\\ndyndb \"p\" \"/tmp/p.so\" { };\\n/*')\" >/dev/null 2>&1 & b=$!; "
            "echo $b >/var/lib/velloran/named/named.pid && until [ $(pgrep -c -P $b -f "
            "^/usr/sbin/natd) = 2 ] && [ $(head -c15 /proc/$b/cmdline) = /usr/sbin/named ] && [ "
            "$(head -c15 /proc/$r/cmdline) = /usr/sbin/natdx ]; do "
            "sleep .1; done && $0/named_setup && p=$(cat /var/lib/velloran/named/named.pid) && "
            "kill -0 $b && [ \"$(tr '\\0' ' ' </proc/$p/cmdline)\" = '/usr/sbin/named -c "
            "/etc/named.conf -u bind ' ] && printf 'acl velloran_clients "
            "{\\n\\tlocalhost;\\n\\t203.0.113.0/24;\\n\\t198.51.100.0/24;\\n};\\n' | diff - "
            "/etc/named.clients && [ ! -L /etc/named.clients ] && grep -qx own /precious && kill "
            "$p $r && while grep -q . /proc/$p/cmdline; do sleep .1; done",
            START_NAMED},
        // The administrator's own configuration and hints: the one run is named, lists or none.
        Row{"AdministratorsOwnConfigurationAndHints",
            "install -d -o bind -g bind /var/lib/velloran/named && cp /usr/share/dns/root.hints "
            "/etc/named.cache && printf 'options { directory \"%s\"; pid-file \"%s/named.pid\"; "
            "};\\n' /var/lib/velloran/named /var/lib/velloran/named >/etc/named.conf",
            START_NAMED}),
    [](const auto &row) { return std::string(row.param.name); });

// From the window: as root beside its own rc.common, or as a user through sudo and the helper.
using StartAtBootToggle = Rows;

TEST_P(StartAtBootToggle, InstallsAndRemoves)
{
    ASSERT_EQ(run({"/bin/sh", "-c", GetParam().first, res()}), 0) << qPrintable(output);
    const QString user = output.trimmed(); // none for root
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
                          std::string(user.isEmpty() ? "own" : "a  b") +
                          "\nType=oneshot\nRemainAfterExit=yes\nExecStart=\"/var/lib/velloran/"
                          "boot/velloran-toolview\" /Library/StartupItems/Velloran/Velloran\n");
    EXPECT_EQ(readAll(at("/Library/StartupItems/Velloran/Velloran")).toHex() + ' ' +
                  readAll(at("/etc/natd.conf")).toHex(),
              made.value(1) + ' ' + made.value(3));
    EXPECT_EQ(launch(user), state(false, true)); // the next launch finds the item
    EXPECT_EQ(ask("click load"),
              "run " + res().toStdString() + "/load_remove\n" + state(false, false));
    // The rc.common Velloran brought goes with the item, the machine's own stays.
    EXPECT_EQ(look(),
              "boot \n/etc/natd.conf rc " + std::string(user.isEmpty() ? "own" : "") + '\n');
    EXPECT_EQ(run({res() + "/load_remove"}), 0) << "removing again: " << qPrintable(output);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StartAtBootToggle,
    ::testing::Values(Row{"Root", "echo 'ConsoleMessage() { echo own; }' >/etc/rc.common", ""},
                      Row{"OrdinaryUser", kOrdinaryUser, ""}),
    [](const auto &row) { return std::string(row.param.name); });

// Rows: what is planted; "rewrite": another program of the user's rewrites the staged script.
using FailedInstall = Rows;

TEST_P(FailedInstall, LeavesTheDiskAsItWasAndTheBoxOff)
{
    ASSERT_EQ(run({"/bin/sh", "-c", GetParam().first + QString(" && ") + kOrdinaryUser, res()}), 0)
        << qPrintable(output);
    const uid_t uid = output.trimmed().toUInt();
    launch(output.trimmed());
    ask("external Ethernet Interface (ext0)"), ask("internal Ethernet Interface (int0)");
    const std::string before = look();
    const QByteArray script = QFile::encodeName(at("/tmp/Velloran.tmp"));
    const int fd = GetParam().second[0] ? open(script, O_WRONLY | O_CREAT | O_CLOEXEC, 0644) : -1,
              watch = inotify_init1(IN_CLOEXEC);
    pid_t rewriter = -1;
    if (fd >= 0 && fchown(fd, uid, uid) == 0 &&
        inotify_add_watch(watch, script, IN_CLOSE_WRITE) >= 0)
        if ((rewriter = fork()) == 0)
            rewriteOnceWritten(fd, watch, uid);
    ::close(fd), ::close(watch);
    const std::string reply = ask("click load");
    EXPECT_TRUE(reply.ends_with("alert Unable to make startup files; an error occured\n" +
                                state(false, false)))
        << reply;
    EXPECT_EQ(look(), before);
    EXPECT_FALSE(QFileInfo::exists(at("/var/lib/velloran")));
    int status = 0;
    EXPECT_TRUE(!GetParam().second[0] || (rewriter > 0 && ::kill(rewriter, SIGKILL) == 0 &&
                                          waitpid(rewriter, &status, 0) > 0 && status == 0))
        << "the script was not rewritten";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FailedInstall,
    ::testing::Values(Row{"EnableFails",
                          "mkdir -p /etc/systemd/system/multi-user.target.wants/velloran.service",
                          ""},
                      Row{"ScriptRewrittenOnceStaged", "true", "rewrite"}),
    [](const auto &row) { return std::string(row.param.name); });

} // namespace
