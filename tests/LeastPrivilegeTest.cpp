#include "Bundle.h"
#include "HelperCommands.h"
#include "NATLoader.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>

namespace {

using TestSupport::readAll;
using TestSupport::run;
using Args = std::vector<std::string>;

std::string resources()
{
    return QFileInfo(Bundle::resourcePath()).canonicalFilePath().toStdString();
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
        "@/load_remove",
        "/usr/bin/install -d -m 0755 /var/lib/velloran /run/velloran",
        "/usr/sbin/dnsmasq --conf-file=/dev/null --port=0 --interface=en1 --except-interface=lo "
        "--bind-interfaces --dhcp-authoritative --no-ping --dhcp-range=192.168.2.10,192.168.2.254,"
        "255.255.255.0,12h --dhcp-option=option:router,192.168.2.1 --dhcp-option=option:dns-server,"
        "192.168.2.1 --dhcp-leasefile=/var/lib/velloran/dnsmasq.leases "
        "--pid-file=/run/velloran/dnsmasq.pid"};
    const QStringList refused{"/bin/sh -c id",
                              "/usr/sbin/natd -redirect_port tcp -interface en0",
                              "/usr/sbin/natd -log -log -interface en0",
                              divert + "a;b",
                              "/sbin/ifconfig en1 192.168.2.256 -alias",
                              "/usr/sbin/sysctl -w kernel.modprobe=/tmp/x",
                              "/bin/cp @/named.conf /etc/shadow",
                              "/tmp/load_install",
                              "@/load_install x",
                              "/bin/kill -9 1",
                              "/usr/sbin/dnsmasq --conf-file=/etc/shadow --port=0",
                              "/usr/bin/install -m 4755 /tmp/x /usr/bin/x",
                              "/sbin/ifconfig en1 192.168.2.1 netmask 255.255.255.0 up",
                              "/usr/sbin/named -c /tmp/named.conf"};
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

// Start at boot installed from a bundle a test user owns, in a root of the test's own.
class BootFromUsersBundle : public ::testing::Test
{
protected:
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        ASSERT_EQ(inRoot({"/bin/true"}), 0) << qPrintable(output);
        ASSERT_EQ(run("/bin/cp", {"-r", QString::fromStdString(resources()), bundle}), 0);
        ASSERT_EQ(run("/bin/chown", {"-R", "4243", bundle}), 0);
    }
    // Stages the three files as Velloran does, then runs the bundle's install script.
    int install()
    {
        const auto script =
            NATLoader::startupLines("en0", {"en1", "192.0.2.1", "netmask", "255.0.0.0"}, false);
        TestSupport::writeFile(work.path() + "/tmp/Velloran.tmp", script->join("").toUtf8());
        TestSupport::writeFile(work.path() + "/tmp/natd.conf.tmp",
                               NATLoader::natConfigLines({"-interface", "en0"})->join("").toUtf8());
        TestSupport::writeFile(work.path() + "/tmp/Velloran.StartupParameters.plist.tmp",
                               readAll(bundle + "/StartupParameters.plist"));
        return inRoot({"/tmp/bundle/load_install"});
    }
    int inRoot(const QStringList &command)
    {
        return run(VELLORAN_TEST_SOURCE_DIR "/private_root",
                   QStringList{work.path(), QString::fromStdString(resources()), "/usr/bin/env",
                               "SUDO_UID=0"} +
                       command,
                   &output);
    }
    QTemporaryDir work;
    const QString bundle = work.path() + "/tmp/bundle", boot = "/var/lib/velloran/boot/";
    QString output;
};

TEST_F(BootFromUsersBundle, UnitRunsRootsOwnCopiesAndRefusesAUsersFolderOnTheirWay)
{
    ASSERT_EQ(install(), 0) << qPrintable(output);
    EXPECT_TRUE(readAll(work.path() + "/etc/systemd/system/velloran.service")
                    .contains("\nExecStart=\"" + boot.toUtf8() +
                              "velloran-toolview\" /Library/StartupItems/Velloran/Velloran\n"));
    TestSupport::writeFile(work.path() + "/tmp/natd.orig", readAll(bundle + "/bsdtools/natd"));
    TestSupport::writeFile(bundle + "/bsdtools/natd", "#!/bin/sh\nid >/tmp/owned\n");
    for (const char *name : {"velloran-toolview", "bsdtools", "bsdtools/natd"})
        EXPECT_EQ(QFileInfo(work.path() + boot + name).ownerId(), 0u) << name;
    // In what the unit runs, /usr/sbin/natd is root's unchanged copy.
    EXPECT_EQ(
        inRoot({boot + "velloran-toolview", "/usr/bin/cmp", "/usr/sbin/natd", "/tmp/natd.orig"}), 0)
        << qPrintable(output);
    // A folder or stand-in of the user's on the way is refused by the install or the tool view.
    for (const auto &[path, atInstall] : {std::pair{"/var/lib/velloran", true},
                                          {"/var", true},
                                          {"/var/lib", false},
                                          {"/var/lib/velloran/boot/bsdtools", false},
                                          {"/var/lib/velloran/boot/bsdtools/ipfw", false}}) {
        const QByteArray planted = QFile::encodeName(work.path() + path);
        ASSERT_EQ(::chown(planted.constData(), 4243, 4243), 0);
        EXPECT_NE(atInstall ? install() : inRoot({boot + "velloran-toolview", "/bin/true"}), 0)
            << path;
        EXPECT_TRUE(
            output.contains(atInstall ? "does not belong to root" : "cannot enter the tool view"))
            << qPrintable(output);
        ASSERT_EQ(::chown(planted.constData(), 0, 0), 0);
    }
    ASSERT_EQ(inRoot({"/tmp/bundle/load_remove"}), 0) << qPrintable(output);
    EXPECT_FALSE(QFileInfo::exists(work.path() + boot));
}

// One rule for every writer: the boot script, natd.conf and the helper take the same names.
TEST(InterfaceNames, OneRuleForEveryWriter)
{
    const QStringList good{"en0", "wlan+1", "veth@lan", QStringLiteral("wlån0"), "abcdefghijklmno"};
    const QStringList bad{"abcdefghijklmnop",
                          QStringLiteral("abcdefghijklmnå"),
                          "eth0:1",
                          "a/b",
                          "a b",
                          "",
                          "..",
                          "a;b",
                          "$x",
                          "`x`",
                          "a'b",
                          "a\\b",
                          "a*",
                          "a#b",
                          "a=b",
                          "a,b",
                          "a\nb",
                          QStringLiteral("a\u00a0b")};
    for (const QString &name : good + bad) {
        const Args divert{"add", "95",  "divert",          "natd", "all", "from", "any", "to",
                          "any", "via", name.toStdString()};
        const QStringList address{name, "192.0.2.1", "netmask", "255.255.255.0"};
        EXPECT_EQ(QList<bool>({NATLoader::startupLines(name, address, false).has_value(),
                               NATLoader::natConfigLines({"-interface", name}).has_value(),
                               HelperCommands::check("/sbin/ipfw", divert, resources()) == 0}),
                  QList<bool>(3, good.contains(name)))
            << name.toStdString();
    }
}

} // namespace
