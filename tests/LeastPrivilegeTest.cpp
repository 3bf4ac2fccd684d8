#include "Bundle.h"
#include "HelperCommands.h"
#include "HelperProtocol.h"
#include "LinuxAuthorization.h"
#include "NATLoader.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <linux/capability.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>

namespace {

using TestSupport::readAll;
using TestSupport::run;
using TestSupport::waitFor;
using Args = std::vector<std::string>;

std::string resources()
{
    return QFileInfo(Bundle::resourcePath()).canonicalFilePath().toStdString();
}

// A process shows its new command line a moment after the spawn returns.
bool showsAsNatd(qint64 pid)
{
    return waitFor([pid] {
        return readAll(QStringLiteral("/proc/%1/cmdline").arg(pid)).startsWith("/usr/sbin/natd");
    });
}

// Every command Velloran sends is in the helper's table; the near misses are not. Words split at
// blanks; "@" is the helper's Resources folder.
TEST(HelperTable, TakesExactlyVelloransCommands)
{
    const QString divert = "/sbin/ipfw add 95 divert natd all from any to any via ";
    const QStringList accepted{
        "/usr/sbin/natd -same_ports -use_sockets -log -deny_incoming -log_denied -dynamic "
        "-interface en0",
        "/usr/sbin/natd -interface ppp@1",
        "/sbin/ipfw -f flush",
        divert + "en0",
        "/sbin/ipfw add 65530 pass all from any to any",
        "/sbin/ifconfig en1 192.168.2.1 netmask 255.255.255.0",
        "/sbin/ifconfig en1 192.168.2.1 netmask 255.0.0.0 alias",
        "/sbin/ifconfig en1 192.168.2.1 -alias",
        "/usr/sbin/sysctl -w net.inet.ip.forwarding=1",
        "/usr/sbin/named -c /etc/named.conf",
        "/bin/cp @/named.conf /etc/named.conf",
        "/bin/cp @/StartupParameters.plist /tmp/Velloran.StartupParameters.plist.tmp",
        "@/named_setup",
        "@/load_install",
        "@/load_remove"};
    const QStringList refused{"/bin/sh -c id",
                              "/usr/sbin/natd -redirect_port tcp -interface en0",
                              "/usr/sbin/natd -log -log -interface en0",
                              divert + "a;b",
                              "/sbin/ifconfig en1 192.168.2.256 -alias",
                              "/usr/sbin/sysctl -w kernel.modprobe=/tmp/x",
                              "/bin/cp @/named.conf /etc/shadow",
                              "/tmp/load_install",
                              "@/load_install x",
                              "/bin/kill -9 1"};
    for (const QString &command : accepted + refused) {
        Args words;
        for (const QString &word : command.split(' '))
            words.push_back(word.startsWith('@') ? resources() + word.mid(1).toStdString()
                                                 : word.toStdString());
        const Args arguments(words.begin() + 1, words.end());
        EXPECT_EQ(HelperCommands::check(words[0], arguments, resources()),
                  accepted.contains(command) ? 0 : EPERM)
            << command.toStdString();
    }
}

// The real helper, started as root on a socket pair as Velloran starts it.
class RealHelper : public ::testing::Test
{
protected:
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        const QByteArray path = LinuxAuthorization::helperPath().toLocal8Bit();
        char *const argv[] = {const_cast<char *>(path.constData()), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pair[1], 0);
        posix_spawn_file_actions_adddup2(&actions, pair[1], 1);
        ASSERT_EQ(posix_spawn(&helper, argv[0], &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(pair[1]);
        channel = pair[0];
        char greeting[4];
        ASSERT_EQ(recv(channel, greeting, 4, MSG_WAITALL), 4);
    }
    void TearDown() override
    {
        close(channel);
        if (helper > 0)
            waitpid(helper, nullptr, 0);
    }
    std::int32_t ask(const std::string &path, const Args &arguments)
    {
        const std::string message = *HelperProtocol::encode({path, arguments});
        std::int32_t status = -1;
        send(channel, message.data(), message.size(), MSG_NOSIGNAL);
        recv(channel, &status, sizeof status, MSG_WAITALL);
        return status;
    }
    pid_t helper = -1;
    int channel = -1;
};

TEST_F(RealHelper, RefusesAShellAndOthersProcessesAndStopsRootsNatd)
{
    QTemporaryDir folder;
    EXPECT_EQ(ask("/bin/sh", {"-c", "touch " + folder.filePath("ran").toStdString()}), EPERM);
    EXPECT_FALSE(QFileInfo::exists(folder.filePath("ran"))) << "the shell ran";

    // Another user's process named as natd by `exec -a`: never root's to stop.
    QProcess impostor;
    impostor.start("/usr/bin/setpriv",
                   {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/bash", "-c",
                    "exec -a /usr/sbin/natd \"$0\" x", VELLORAN_TEST_IDLE});
    ASSERT_TRUE(impostor.waitForStarted() && showsAsNatd(impostor.processId()));
    EXPECT_EQ(ask("/bin/kill", {std::to_string(impostor.processId())}), EPERM);
    EXPECT_TRUE(TestSupport::processAlive(pid_t(impostor.processId())));
    impostor.kill();
    impostor.waitForFinished();

    FakeProcess natd({"/usr/sbin/natd", "-interface", "eth0"});
    ASSERT_TRUE(showsAsNatd(natd.pid));
    EXPECT_EQ(ask("/bin/kill", {std::to_string(natd.pid)}), 0);
    EXPECT_TRUE(waitFor([&] { return !TestSupport::processAlive(natd.pid); }));
}

// A process of the same user (root without CAP_SYS_PTRACE here) can't copy the helper's pipe
// out of it with pidfd_getfd, though it can from an ordinary process of that user.
TEST_F(RealHelper, SameUserCannotCopyTheChannelOut)
{
    FakeProcess ordinary({"idle"});
    const pid_t getter = fork();
    if (getter == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2]{};
        syscall(SYS_capget, &header, caps);
        caps[0].effective &= ~(1u << CAP_SYS_PTRACE);
        syscall(SYS_capset, &header, caps);
        const long fromHelper = syscall(SYS_pidfd_getfd, syscall(SYS_pidfd_open, helper, 0), 0, 0);
        const int helperError = errno;
        const long fromOrdinary =
            syscall(SYS_pidfd_getfd, syscall(SYS_pidfd_open, ordinary.pid, 0), 0, 0);
        _exit((fromHelper < 0 && helperError == EPERM ? 1 : 0) | (fromOrdinary >= 0 ? 2 : 0));
    }
    int status = 0;
    ASSERT_EQ(waitpid(getter, &status, 0), getter);
    EXPECT_EQ(WEXITSTATUS(status), 3) << "1: the helper refused; 2: the ordinary process gave";
}

// Start at boot installed from a bundle a test user owns, in a root of the test's own.
class BootFromUsersBundle : public ::testing::Test
{
protected:
    static constexpr uid_t kUser = 4243;
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        ASSERT_TRUE(work.isValid());
        ASSERT_EQ(inRoot({"/bin/true"}), 0) << qPrintable(output);
        const QString res = QString::fromStdString(resources());
        ASSERT_EQ(run("/bin/cp", {"-r", res, bundle()}), 0);
        ASSERT_EQ(run("/bin/chown", {"-R", QString::number(kUser), bundle()}), 0);
    }
    // Stages the three files as Velloran does, then runs the bundle's install script.
    int install()
    {
        const auto script =
            NATLoader::startupLines("en0", {"en1", "192.0.2.1", "netmask", "255.0.0.0"}, false);
        for (const auto &[name, bytes] :
             {std::pair{"Velloran.tmp", script->join(QString()).toUtf8()},
              {"natd.conf.tmp",
               NATLoader::natConfigLines({"-interface", "en0"})->join(QString()).toUtf8()},
              {"Velloran.StartupParameters.plist.tmp",
               readAll(bundle() + "/StartupParameters.plist")}})
            TestSupport::writeFile(work.path() + "/tmp/" + name, bytes);
        return inRoot({"/tmp/bundle/load_install"});
    }
    int inRoot(const QStringList &command)
    {
        const QStringList root{work.path(), QString::fromStdString(resources()), "/usr/bin/env"};
        return run(VELLORAN_TEST_SOURCE_DIR "/private_root",
                   root + QStringList{"SUDO_UID=0"} + command, &output);
    }
    QString bundle() const { return work.path() + "/tmp/bundle"; }
    QString copy(const char *name) const { return work.path() + "/var/lib/velloran/boot/" + name; }
    QTemporaryDir work;
    QString output;
};

TEST_F(BootFromUsersBundle, UnitRunsRootsCopiesWhateverTheUserChangesAfterwards)
{
    ASSERT_EQ(install(), 0) << qPrintable(output);
    EXPECT_TRUE(readAll(work.path() + "/etc/systemd/system/velloran.service")
                    .contains("\nExecStart=\"/var/lib/velloran/boot/velloran-toolview\" "
                              "/Library/StartupItems/Velloran/Velloran\n"));
    const QByteArray natd = readAll(bundle() + "/bsdtools/natd");
    TestSupport::writeFile(bundle() + "/bsdtools/natd", "#!/bin/sh\nid >/tmp/owned\n");
    TestSupport::writeFile(work.path() + "/tmp/natd.orig", natd);
    for (const char *name : {"velloran-toolview", "bsdtools", "bsdtools/natd"})
        EXPECT_EQ(QFileInfo(copy(name)).ownerId(), 0u) << name;
    // In what the unit runs, /usr/sbin/natd is root's unchanged copy.
    EXPECT_EQ(inRoot({"/var/lib/velloran/boot/velloran-toolview", "/usr/bin/cmp", "/usr/sbin/natd",
                      "/tmp/natd.orig"}),
              0)
        << qPrintable(output);

    ASSERT_EQ(inRoot({"/tmp/bundle/load_remove"}), 0) << qPrintable(output);
    EXPECT_FALSE(QFileInfo::exists(copy("")));
}

// A folder or stand-in of the user's on the way to what root runs at boot is refused, by the
// install and by the tool view the unit starts.
TEST_F(BootFromUsersBundle, PlantedUsersFileOnTheUnitsPathIsRefused)
{
    for (const auto &[path, atInstall] : {std::pair{"/var/lib/velloran", true},
                                          {"/var", true},
                                          {"/var/lib", false},
                                          {"/var/lib/velloran/boot/bsdtools", false},
                                          {"/var/lib/velloran/boot/bsdtools/ipfw", false}}) {
        ASSERT_EQ(install(), 0) << qPrintable(output);
        const QByteArray planted = QFile::encodeName(work.path() + path);
        ASSERT_EQ(::chown(planted.constData(), kUser, kUser), 0);
        EXPECT_NE(atInstall ? install()
                            : inRoot({"/var/lib/velloran/boot/velloran-toolview", "/bin/true"}),
                  0)
            << path;
        EXPECT_TRUE(
            output.contains(atInstall ? "does not belong to root" : "cannot enter the tool view"))
            << qPrintable(output);
        ASSERT_EQ(::chown(planted.constData(), 0, 0), 0);
    }
}

// One rule for every writer: the boot script, natd.conf and the helper agree, and the kernel
// takes every name they accept.
TEST(InterfaceNames, OneRuleForEveryWriter)
{
    VELLORAN_REQUIRE_ROOT();
    const std::pair<QString, bool> rows[] = {{"en0", true},
                                             {"wlan+1", true},
                                             {"veth@lan", true},
                                             {QStringLiteral("wlån0"), true},
                                             {"abcdefghijklmno", true},
                                             {"abcdefghijklmnop", false},
                                             {QStringLiteral("abcdefghijklmnå"), false},
                                             {"eth0:1", false},
                                             {"a/b", false},
                                             {"a b", false},
                                             {"", false},
                                             {"..", false},
                                             {"a;b", false},
                                             {"$x", false},
                                             {"`x`", false},
                                             {"a'b", false},
                                             {"a\\b", false},
                                             {"a*", false},
                                             {"a#b", false},
                                             {"a=b", false},
                                             {"a,b", false},
                                             {"a\nb", false},
                                             {QStringLiteral("a\u00a0b"), false}};
    for (const auto &[name, accepted] : rows) {
        SCOPED_TRACE(name.toStdString());
        const auto script =
            NATLoader::startupLines(name, {name, "192.0.2.1", "netmask", "255.255.255.0"}, false);
        EXPECT_EQ(script.has_value(), accepted);
        EXPECT_EQ(NATLoader::natConfigLines({"-interface", name}).has_value(), accepted);
        const Args divert{"add", "95",  "divert",          "natd", "all", "from", "any", "to",
                          "any", "via", name.toStdString()};
        EXPECT_EQ(HelperCommands::check("/sbin/ipfw", divert, resources()) == 0, accepted);
        if (!accepted)
            continue;
        EXPECT_TRUE(script->contains("/sbin/ipfw add 95 divert natd all from any to any via " +
                                     name + '\n'));
        EXPECT_TRUE(
            script->contains("/sbin/ifconfig " + name + " 192.0.2.1 netmask 255.255.255.0\n"));
        // The kernel takes the name too.
        EXPECT_EQ(
            run("/usr/bin/unshare", {"-n", "/usr/sbin/ip", "link", "add", name, "type", "bridge"}),
            0);
    }
}

} // namespace
