// Velloran's least privilege: the helper's table, the real helper, starts as root, boot copies.
#include "BLAuthentication.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"
#include "desktop/Bundle.h"
#include "network/Firewalls.h"
#include "privilege/HelperCommands.h"
#include "privilege/HelperProtocol.h"
#include "privilege/LinuxAuthorization.h"
#include "privilege/PrivilegedStart.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <fcntl.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

namespace {

using TestSupport::readAll;
using TestSupport::run;
using Strings = std::vector<std::string>;

HelperCommands::Resources resources()
{
    static const auto opened = HelperCommands::openResources(
        QFileInfo(Bundle::resourcePath()).canonicalFilePath().toStdString());
    return opened;
}

// "@/" is the helper's Resources folder, "~/" one a user can change, "L/" a link to "@/".
TEST(HelperTable, TakesExactlyVelloransCommands)
{
    const QString divert = "/sbin/ipfw add 95 divert natd all from any to any via ";
    const QString res = QString::fromStdString(resources().path);
    QTemporaryDir users;
    ASSERT_EQ(::chown(QFile::encodeName(users.path()).constData(), 65534, 65534), 0);
    const auto usersResources = HelperCommands::openResources(users.path().toStdString());
    ASSERT_TRUE(QFile::link(res, users.path() + "/L"));
    const QString dhcp =
        "/usr/sbin/dnsmasq --conf-file=/dev/null --port=0 --interface=en1 --except-interface=lo "
        "--bind-interfaces --dhcp-authoritative --no-ping --dhcp-range=192.168.2.10,192.168.2.254,"
        "255.255.255.0,12h --dhcp-option=option:router,192.168.2.1 --dhcp-option=option:dns-server,"
        "192.168.2.1 --dhcp-leasefile=/var/lib/velloran/dnsmasq.leases "
        "--pid-file=/run/velloran/dnsmasq.pid";
    // clang-format off
    const QStringList accepted{
        "/usr/sbin/natd -same_ports -use_sockets -log -deny_incoming -log_denied -dynamic "
        "-interface en0", "/usr/sbin/natd -interface ppp@1", divert + "wlan+1-" + QString(8, 'x'),
        "/sbin/ipfw -f flush", divert + "en0", "/sbin/ipfw add 65530 pass all from any to any",
        "/sbin/ifconfig en1 192.168.2.1 netmask 255.255.255.0",
        "/sbin/ifconfig en1 192.168.2.1 netmask 255.0.0.0 alias",
        "/sbin/ifconfig en1 192.168.2.1 -alias", "/usr/sbin/sysctl -w net.inet.ip.forwarding=1",
        "/usr/sbin/named -c /etc/named.conf", "/usr/sbin/named -c /etc/named.conf -u bind",
        "@/named_lists", "/bin/cp @/named.conf /etc/named.conf", "@/named_setup",
        "/bin/cp @/StartupParameters.plist /tmp/Velloran.StartupParameters.plist.tmp",
        "@/load_install", "@/load_remove", "@/velloran-nm unmanage en1", "@/velloran-nm restore",
        "@/velloran-firewall read en1 en0", "@/velloran-firewall open en1 ppp@1",
        "@/velloran-firewall close en1",
        "/usr/bin/install -d -m 0755 /var/lib/velloran /run/velloran", dhcp,
        "/sbin/ifconfig en1 192.168.2.255 -alias", "/sbin/ifconfig en1 192.168.2.001 -alias"};
    const QStringList refused{
        "/bin/sh -c id", "@/velloran-nm unmanage a;b", "@/velloran-nm boot",
        "/tmp/velloran-nm restore",
        "@/velloran-firewall open en1 a;b", "@/velloran-firewall close en1 en0",
        "/tmp/velloran-firewall read en1 en0", "/usr/sbin/natd -redirect_port tcp -interface en0",
        "/usr/sbin/natd -log -log -interface en0", "/usr/sbin/natd -interface a;b",
        divert + "a;b", divert + "eth0:1", divert + QString(16, 'x'), divert + "wlån0",
        divert + "-eth0", divert + "en0 x", "/sbin/ifconfig en1 192.168.2.256 -alias",
        "/sbin/ifconfig en1 192.168.2.0001 -alias",
        "/sbin/ifconfig en1 192.168.2.1 netmask 255.255.255.0 up",
        "/sbin/ifconfig en1 192.168.2.1 netmask 255.255.255.0 -alias",
        "/usr/sbin/sysctl -w kernel.modprobe=/tmp/x",
        "/usr/sbin/sysctl -w net.inet.ip.forwarding=0",
        "/bin/cp @/named.conf /etc/shadow", "/bin/cp -@/named.conf /etc/named.conf",
        "/bin/cp ~/named.conf /etc/named.conf", "/bin/cp L/named.conf /etc/named.conf",
        "/bin/cp /tmp/named.conf /etc/named.conf", "~/load_install", "L/load_install",
        "/sbin/ifconfig en1 192.168.2.1 alias",
        "/tmp/load_install", "@/load_install x", "/bin/kill -9 1",
        "/usr/bin/install -m 4755 /tmp/x /usr/bin/x", "/usr/sbin/named -c /tmp/named.conf",
        "/usr/sbin/named -c /etc/named.conf -u root", "@/named_lists start",
        "/usr/sbin/dnsmasq --conf-file=/etc/shadow --port=0", QString(dhcp).replace("=lo", "=en0"),
        QString(dhcp).replace("=en1", "=a;b"), QString(dhcp).replace(",12h", ";12h")};
    // clang-format on
    for (const QString &command : accepted + refused) {
        Strings words;
        for (const QString &word : QString(command)
                                       .replace("L/", users.path() + "/L/")
                                       .replace("~/", users.path() + '/')
                                       .replace("@/", res + '/')
                                       .split(' '))
            words.push_back(word.toStdString());
        bool answers = !accepted.contains(command); // only the firewall's read answers back
        EXPECT_EQ(HelperCommands::check(words[0], Strings(words.begin() + 1, words.end()),
                                        command.contains("~/") ? usersResources : resources(),
                                        &answers),
                  accepted.contains(command) ? 0 : EPERM)
            << command.toStdString();
        EXPECT_EQ(answers, command.contains("firewall read") || !accepted.contains(command))
            << command.toStdString();
    }
    // The bundle's scripts and copies only from a folder nobody but root could have changed.
    VELLORAN_REQUIRE_ROOT();
    QTemporaryDir bundle;
    const std::string folder = QFileInfo(bundle.path()).canonicalFilePath().toStdString();
    for (const auto &[row, mode, owner, allowed] : {std::tuple{"RootsFolderInside", 0755, 0, 0},
                                                    {"GroupWritableOutside", 0775, 0, EPERM},
                                                    {"StickyItselfOutside", 01777, 0, EPERM},
                                                    {"UsersFolderOutside", 0755, 65534, EPERM}}) {
        ASSERT_EQ(::chmod(folder.c_str(), mode) | ::chown(folder.c_str(), owner, 0), 0);
        const auto opened = HelperCommands::openResources(folder);
        EXPECT_EQ(HelperCommands::check(folder + "/load_install", {}, opened), allowed) << row;
        EXPECT_EQ(
            HelperCommands::check("/bin/cp", {folder + "/named.conf", "/etc/named.conf"}, opened),
            allowed)
            << row;
        ::close(opened.fd);
    }
    // Whom root may end, in a /proc of the test's own and a /run/velloran of its own ('=' may).
    const auto endable = [] {
        QTemporaryDir proc;
        const bool isolated = ::unshare(CLONE_NEWNS) == 0 &&
                              ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                              ::mount("tmpfs", "/run", "tmpfs", 0, nullptr) == 0 &&
                              QDir().mkpath("/run/velloran");
        TestSupport::writeFile("/run/velloran/dnsmasq.pid", "5\n");
        const auto nul = [](const char *words) { return QByteArray(words).replace('|', '\0'); };
        const QByteArray natd = nul("/usr/sbin/natd|-interface|eth0|"),
                         dnsmasq = nul("/usr/sbin/dnsmasq|--conf-file=/dev/null|--port=0|"
                                       "--pid-file=/run/velloran/dnsmasq.pid|"),
                         named = nul("/usr/sbin/named|-c|/etc/named.conf|");
        int wrong = 0;
        for (const auto &[row, pid, uids, line] :
             {std::tuple{"!PidOneOutside", "1", "0\t0\t0\t0", natd},
              {"=PidTwoInside", "2", "0\t0\t0\t0", natd},
              {"!UsersSavedUidOutside", "3", "0\t0\t1000\t0", natd},
              {"!NoUidLineOutside", "4", "", natd},
              {"=RecordedServerInside", "5", "65534\t65534\t65534\t65534", dnsmasq},
              {"!UnrecordedServerOutside", "6", "0\t0\t0\t0", dnsmasq},
              {"!NamedPidOneOutside", "1", "0\t0\t0\t0", named},
              {"=NamedOfRootInside", "7", "0\t0\t0\t0", named}}) {
            const QString process = proc.filePath(pid);
            QDir().mkpath(process);
            TestSupport::writeFile(process + "/status",
                                   QByteArray("Name:\tx\n") + (*uids ? "Uid:\t" : "") + uids);
            TestSupport::writeFile(process + "/cmdline", line);
            if (HelperCommands::isRootsNatdOrNamed(pid, proc.path().toStdString()) !=
                (row[0] == '='))
                std::fprintf(stderr, "%s\n", row), ++wrong;
        }
        return isolated && wrong == 0 ? 3 : 1;
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(endable()), ::testing::ExitedWithCode(3), "");
}

std::string word(std::uint32_t value)
{
    return std::string(reinterpret_cast<const char *>(&value), 4);
}

// A message by hand: its length, how many strings, then each string with its length.
std::string framed(const Strings &strings, std::size_t count)
{
    std::string body = word(count);
    for (const std::string &s : strings)
        body += word(s.size()) + s;
    return word(body.size()) + body;
}

// What the helper, started as root, says to `messages` on its stdin (or /dev/null), and its exit.
std::string converse(const Strings &messages, bool pipe = true)
{
    QProcess helper;
    if (!pipe)
        helper.setStandardInputFile(QProcess::nullDevice());
    helper.start(LinuxAuthorization::helperPath());
    for (const std::string &message : messages)
        helper.write(message.data(), qint64(message.size()));
    helper.closeWriteChannel();
    EXPECT_TRUE(helper.waitForFinished(30000));
    return helper.readAllStandardOutput().toStdString() + " exit " +
           std::to_string(helper.exitCode());
}

TEST(RootHelper, RunsOnlyVelloransCommandsAnswersEachAndEndsWithThePipe)
{
    VELLORAN_REQUIRE_ROOT();
    // A process named as natd by `exec -a` whose effective user is not root is never root's to
    // stop, nor is root's /usr/sbin/natdx; root's natd is.
    QProcess impostor;
    impostor.start("/usr/bin/setpriv", {"--euid=65534", "/bin/bash", "-p", "-c",
                                        "exec -a /usr/sbin/natd \"$0\" x", VELLORAN_TEST_IDLE});
    FakeProcess natd({"/usr/sbin/natd", "-interface", "eth0"}), natdx({"/usr/sbin/natdx"});
    // Velloran's name server once it gave up root to bind is still root's to stop.
    VELLORAN_REQUIRE(getpwnam("bind"), "needs the user bind (bind9)");
    QProcess named;
    named.start("/usr/bin/setpriv",
                {"--reuid=bind", "--regid=bind", "--clear-groups", "/bin/bash", "-c",
                 "exec -a /usr/sbin/named \"$0\" -c /etc/named.conf -u bind", VELLORAN_TEST_IDLE});
    ASSERT_TRUE(TestSupport::waitFor([&] {
        return readAll(QStringLiteral("/proc/%1/cmdline").arg(impostor.processId()))
                   .startsWith("/usr/sbin/natd") &&
               readAll(QStringLiteral("/proc/%1/cmdline").arg(named.processId()))
                   .startsWith("/usr/sbin/named");
    }));
    // Each message and the helper's answer: refused (EPERM), misshapen (EINVAL) or run (0).
    const std::pair<std::string, int> exchange[] = {
        {framed({"/bin/sh", "-c", "id"}, 3), EPERM},
        {framed({"relative/tool"}, 1), EINVAL},
        {framed({""}, 1), EINVAL},
        {framed({}, 0), EINVAL},
        {framed(Strings(20, "/x"), 20), EPERM}, // a path and 19 arguments at most
        {framed(Strings(21, "/x"), 21), EINVAL},
        {framed({"/sbin/ipfw"}, 2), EINVAL},
        {framed({std::string("/sbin/ipfw\0-f", 13)}, 1), EINVAL},
        {framed({"/sbin/ipfw", "x"}, 1), EINVAL},
        {framed({"/" + std::string(4095, 'a')}, 1), EPERM}, // the longest string there may be
        {framed({"/" + std::string(4096, 'a')}, 1), EINVAL},
        {word(12) + word(1) + word(100) + "/bin", EINVAL},
        {word(9) + word(1) + word(0xffffffffu) + "/", EINVAL},
        {framed({"/bin/kill", std::to_string(impostor.processId())}, 2), EPERM},
        {framed({"/bin/kill", std::to_string(natdx.pid)}, 2), EPERM},
        {framed({"/bin/kill", std::to_string(natd.pid)}, 2), 0},
        {framed({"/bin/kill", std::to_string(named.processId())}, 2), 0}};
    Strings messages;
    std::string replies(HelperProtocol::kGreeting, 4);
    for (const auto &[sent, reply] : exchange) {
        messages.push_back(sent);
        replies += word(std::uint32_t(reply)) + word(0); // and nothing answered
    }
    // An answer longer than a reply may carry is never sent.
    const std::string longest(HelperProtocol::kMaxAnswerSize, 'a');
    EXPECT_EQ(HelperProtocol::encodeReply(0, longest), word(0) + word(longest.size()) + longest);
    EXPECT_EQ(HelperProtocol::encodeReply(0, longest + 'a'), word(EMSGSIZE) + word(0));
    // Told to end, it ends: what follows is never answered.
    messages.push_back(std::string(HelperProtocol::kEnd, 4) + framed({"/bin/sh"}, 1));
    // Velloran's own messages are framed just so, blanks and empty words too.
    EXPECT_EQ(*HelperProtocol::encode({"/bin/kill", {"", "two words"}}),
              framed({"/bin/kill", "", "two words"}, 3));
    EXPECT_EQ(converse(messages), replies + " exit 0");
    EXPECT_TRUE(TestSupport::processAlive(pid_t(impostor.processId())));
    EXPECT_TRUE(TestSupport::waitFor([&] { return !TestSupport::processAlive(natd.pid); }));
    EXPECT_TRUE(named.waitForFinished(30000));
    impostor.kill();
    impostor.waitForFinished();
    // An oversized message leaves no way to find the next one; a terminal or file is no caller.
    EXPECT_EQ(converse({word(HelperProtocol::kMaxBodySize + 1)}),
              std::string(HelperProtocol::kGreeting, 4) + " exit 1");
    EXPECT_EQ(converse({}, false), " exit 1");
}

// Not the helper's pipe, nor Velloran's from its first moment (its version into a full pipe).
TEST(RootHelper, CannotBeTracedOrHaveItsPipeCopiedOut)
{
    VELLORAN_REQUIRE_ROOT();
    QProcess helper;
    helper.start(LinuxAuthorization::helperPath());
    ASSERT_TRUE(helper.waitForReadyRead(30000)); // it greeted: it is set up
    FakeProcess ordinary({"idle"});
    EXPECT_TRUE(TestSupport::canCopyDescriptor(ordinary.pid));
    EXPECT_FALSE(TestSupport::canCopyDescriptor(pid_t(helper.processId())));
    int full[2];
    ASSERT_EQ(pipe2(full, O_NONBLOCK), 0);
    while (write(full[1], "velloran", 8) > 0) {
    }
    QProcess velloran, idle;
    velloran.setStandardOutputFile(QStringLiteral("/proc/self/fd/%1").arg(full[1]));
    const QStringList nobody{"--reuid=65534", "--regid=65534", "--clear-groups"};
    velloran.start("/usr/bin/setpriv",
                   nobody +
                       QStringList{VELLORAN_TEST_BUNDLE "/Contents/MacOS/Velloran", "--version"});
    idle.start("/usr/bin/setpriv", nobody + QStringList{VELLORAN_TEST_IDLE});
    EXPECT_TRUE(TestSupport::waitFor([&] {
        return readAll(QStringLiteral("/proc/%1/syscall").arg(velloran.processId()))
            .startsWith(QByteArray::number(SYS_write) + " 0x1 ");
    })) << "Velloran never came to print its version";
    EXPECT_FALSE(TestSupport::canCopyDescriptor(pid_t(velloran.processId()), 65534, 65534));
    EXPECT_TRUE(TestSupport::canCopyDescriptor(pid_t(idle.processId()), 65534, 65534));
    ::close(full[0]);
    ::close(full[1]);
}

// As root the Linux service starts tools itself, exactly as its helper does for an ordinary user.
TEST(PrivilegedStart, ToolsRunExactlyAsAskedAsRootInACleanDetachedStartAndFailuresSayWhy)
{
    VELLORAN_REQUIRE_ROOT();
    BLAuthentication *auth = BLAuthentication::sharedInstance();
    QTemporaryDir folder;
    CapturedFeedback feedback;
    // The first tool waits before it writes; without the runner's wait the second would win.
    RecordingTool tool(folder.path(), "slow-first"), failing(folder.path(), "exit3"),
        plain(folder.path(), "plainfile"), late(folder.path(), "linger"),
        killed(folder.path(), "killed");
    QFile::setPermissions(plain.path(), QFile::ReadOwner | QFile::WriteOwner);
    const QString missing = folder.path() + "/no-such-tool";
    const QStringList arguments{"-interface", "en0", "two words", "", "-dynamic"};
    EXPECT_TRUE(auth->executeCommand(tool.path(), arguments));
    EXPECT_FALSE(auth->executeCommand(failing.path(), {"add", "95"})); // ends non-zero at once
    EXPECT_FALSE(auth->executeCommand(killed.path()));                 // ends by a signal at once
    EXPECT_TRUE(auth->executeCommand(tool.path()));
    EXPECT_FALSE(auth->executeCommand(missing, {"-f", "flush"}));
    EXPECT_FALSE(auth->executeCommand(plain.path()));
    EXPECT_FALSE(auth->executeCommand("bin/true"));
    EXPECT_EQ(
        RecordingTool::journal(folder.path()),
        QStringList({"slow-first " + arguments.join(' '), "exit3 add 95", "killed", "slow-first"}));
    QStringList said; // each failure beeps, then logs its status and the tool's path
    for (const auto &[code, path] : {std::pair{PrivilegedStart::kToolFailed, failing.path()},
                                     {PrivilegedStart::kToolFailed, killed.path()},
                                     {ENOENT, missing},
                                     {EACCES, plain.path()},
                                     {EINVAL, QString("bin/true")}})
        said << "beep"
             << QStringLiteral("log Error %1 in AuthorizationExecuteWithPrivileges").arg(code)
             << "log \nPath: " + path;
    EXPECT_EQ(feedback.events, said);
    const auto starts = tool.starts();
    ASSERT_EQ(starts.size(), 2);
    EXPECT_EQ(starts[0].argv, QStringList{tool.path()} + arguments);
    const RecordingTool::Start &start = starts[0];
    EXPECT_EQ(QStringList({QString::number(start.uid), start.cwd, start.stdinTarget,
                           start.stdoutTarget, start.fds.join(',')}),
              QStringList({"0", "/", "/dev/null", "/dev/null", "0,1,2"}));
    EXPECT_EQ(start.sid, start.pid) << "the tool leads a session of its own";
    EXPECT_EQ(start.environment, QStringList{QString::fromLatin1(PrivilegedStart::kToolPath)});

    // A tool still running when the wait ends counts as started, and a later start collects it.
    const QByteArray path = late.path().toLocal8Bit();
    char *const argv[] = {const_cast<char *>(path.constData()), nullptr};
    EXPECT_EQ(PrivilegedStart::start(path.constData(), argv, "/nonexistent", 50), 0);
    ASSERT_TRUE(TestSupport::waitFor([&] { return !late.starts().isEmpty(); }));
    const QString process = QStringLiteral("/proc/%1").arg(late.starts().first().pid);
    EXPECT_TRUE(QFileInfo::exists(process)) << "the start waited for the tool to end";
    EXPECT_TRUE(TestSupport::waitFor([&] {
        PrivilegedStart::reapFinished();
        return !QFileInfo::exists(process);
    }));

    // A tool that answers, through a folder as the helper runs it: whole within limit and wait.
    std::string answer;
    const int bin = ::open("/bin", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const auto capture = [&](std::vector<const char *> words, std::size_t limit, int waitMs) {
        words.push_back(nullptr);
        return PrivilegedStart::capture(words[0][0] == '/' ? -1 : bin, words[0],
                                        const_cast<char *const *>(words.data()), answer, limit,
                                        waitMs);
    };
    EXPECT_EQ(capture({"echo", "two words"}, 10, 5000), 0);
    EXPECT_EQ(answer, "two words\n");
    EXPECT_EQ(capture({"echo", "two words"}, 9, 5000), PrivilegedStart::kToolFailed);
    EXPECT_EQ(capture({"/bin/sh", "-c", "echo x; exit 3"}, 10, 5000), PrivilegedStart::kToolFailed);
    EXPECT_EQ(capture({"/bin/sleep", "5"}, 10, 100), ETIMEDOUT);
    EXPECT_EQ(answer, "");
    ::close(bin);
}

// What root's firewall reader answers is read only in its exact shape, at most 16 lines.
TEST(FirewallVerdict, IsTakenOnlyInItsOwnShape)
{
    using Firewalls::Block;
    const QByteArray line = "ufw\tchain INPUT (policy DROP)\tdns\n";
    for (const QByteArray &good :
         {QByteArray(), line, line.repeated(16), QByteArray("ufw\t ~\tdns\n")})
        EXPECT_EQ(Firewalls::verdict(Firewalls::parseVerdict(good).value_or(QList<Block>())), good);
    for (const QByteArray &bad :
         QList<QByteArray>{line.repeated(17), line.chopped(1), "shell\tchain INPUT\tdns\n",
                           "ufw\tchain\tssh\n", "ufw\tchain\tdns\tmore\n", "ufw\t\tdns\n",
                           "ufw\tchain\x1b[2J\tdns\n", "ufw\tchain\x7f\tdns\n"})
        EXPECT_FALSE(Firewalls::parseVerdict(bad)) << bad.toStdString();
}

// Who the tools run for: sudo's or pkexec's word, never a mix of both.
TEST(RequestingUser, ComesFromTheProgramThatStartedTheHelper)
{
    EXPECT_STREQ(PrivilegedStart::requestingUser("1000", nullptr), "1000");
    EXPECT_STREQ(PrivilegedStart::requestingUser(nullptr, "1001"), "1001");
    EXPECT_STREQ(PrivilegedStart::requestingUser("", "1001"), "1001");
    EXPECT_EQ(PrivilegedStart::requestingUser("1000", "1001"), nullptr);
}

// Start at boot installed from a bundle a test user owns, in a root of the test's own.
TEST(BootFromUsersBundle, UnitRunsRootsOwnCopiesAndRefusesAUsersFolderOnTheirWay)
{
    VELLORAN_REQUIRE_ROOT();
    QTemporaryDir work;
    QString output;
    const QString bundle = work.path() + "/tmp/bundle", boot = "/var/lib/velloran/boot/",
                  res = QString::fromStdString(resources().path);
    const auto inRoot = [&](const QStringList &command) {
        return run(VELLORAN_PRIVATE_ROOT,
                   QStringList{work.path(), res, "/usr/bin/env", "SUDO_UID=0"} + command, &output);
    };
    // Stages the three files as Velloran does, then runs the install script.
    const auto stage = [&] {
        for (const auto &[name, from] :
             {std::pair{"Velloran.tmp", "/golden/Velloran.plain"},
              {"natd.conf.tmp", "/golden/natd.conf.all"},
              {"Velloran.StartupParameters.plist.tmp", "/../resources/StartupParameters.plist"}})
            TestSupport::writeFile(work.path() + "/tmp/" + name,
                                   readAll(VELLORAN_TEST_SOURCE_DIR + QString(from)));
    };
    const auto install = [&] { return stage(), inRoot({"/tmp/bundle/load_install"}); };
    ASSERT_EQ(inRoot({"/bin/true"}), 0) << qPrintable(output);
    ASSERT_EQ(run("/bin/cp", {"-r", res, bundle}), 0);
    ASSERT_EQ(run("/bin/chown", {"-R", "4243", bundle}), 0);
    ASSERT_EQ(install(), 0) << qPrintable(output);
    EXPECT_TRUE(readAll(work.path() + "/etc/systemd/system/velloran.service")
                    .contains("\nExecStart=\"" + boot.toUtf8() +
                              "velloran-toolview\" /Library/StartupItems/Velloran/Velloran\n"));
    for (const char *name : {"velloran-toolview", "velloran-nm", "bsdtools", "bsdtools/natd"})
        EXPECT_EQ(QFileInfo(work.path() + boot + name).ownerId(), 0u) << name;
    // In what the unit runs, /usr/sbin/natd stays root's copy whatever the user changes.
    TestSupport::writeFile(work.path() + "/tmp/natd.orig", readAll(bundle + "/bsdtools/natd"));
    TestSupport::writeFile(bundle + "/bsdtools/natd", "#!/bin/sh\nid >/tmp/owned\n");
    EXPECT_EQ(
        inRoot({boot + "velloran-toolview", "/usr/bin/cmp", "/usr/sbin/natd", "/tmp/natd.orig"}), 0)
        << qPrintable(output);
    // A folder or stand-in of the user's on the way is refused by the install or the tool view.
    for (const QString path :
         {"/var/lib/velloran", "/var", "/var/lib", "/var/lib/velloran/boot/bsdtools",
          "/var/lib/velloran/boot/bsdtools/ipfw"}) {
        const bool atInstall = path == "/var" || path.endsWith("velloran");
        ASSERT_EQ(::chown(QFile::encodeName(work.path() + path).constData(), 4243, 4243), 0);
        EXPECT_NE(atInstall ? install() : inRoot({boot + "velloran-toolview", "/bin/true"}), 0);
        EXPECT_TRUE(
            output.contains(atInstall ? "does not belong to root" : "cannot enter the tool view"))
            << qPrintable(path + ": " + output);
        ASSERT_EQ(::chown(QFile::encodeName(work.path() + path).constData(), 0, 0), 0);
    }
    // Sticky keeps others from renaming what lies in a folder, not from writing the folder itself.
    for (const auto &[path, installs] : {std::pair{"/var/lib/velloran", false}, {"/var", true}}) {
        const QByteArray folder = QFile::encodeName(work.path() + path);
        ::chmod(folder.constData(), 01777);
        EXPECT_EQ(install() == 0, installs) << path << ": " << qPrintable(output);
        ::chmod(folder.constData(), 0755);
    }
    // Root writes the files it made again only into a folder of root's alone.
    stage();
    for (const char *mode : {"700", "720", "702"}) {
        const QString made = QString("/var/made") + mode;
        ASSERT_TRUE(QDir().mkpath(work.path() + made));
        ::chmod(QFile::encodeName(work.path() + made).constData(),
                QString(mode).toUInt(nullptr, 8));
        EXPECT_EQ(inRoot({res + "/velloran-bootfiles", "0", "/tmp/Velloran.tmp",
                          "/tmp/natd.conf.tmp", "/tmp/Velloran.StartupParameters.plist.tmp",
                          res + "/StartupParameters.plist", made}) == 0,
                  mode == std::string("700"))
            << mode << ": " << qPrintable(output);
    }
    ASSERT_EQ(inRoot({"/tmp/bundle/load_remove"}), 0) << qPrintable(output);
    EXPECT_FALSE(QFileInfo::exists(work.path() + boot));
}

} // namespace
