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
                              "/usr/bin/install -m 4755 /tmp/x /usr/bin/x"};
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
