#include "desktop/Bundle.h"
#include "NetnsTopology.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <csignal>
#include <pwd.h>
#include <sys/socket.h>
#include <thread>

namespace {

using TestSupport::readAll;
const QStringList kTools{"/usr/sbin/natd", "/sbin/ipfw", "/sbin/ifconfig", "/usr/sbin/sysctl"};
const QByteArray kLeaseScript =
    "#!/bin/sh\n[ \"$1\" = bound ] || exit 0\necho \"$ip $router $dns\" "
    ">\"$0.lease\"\nip addr add $ip/$mask dev $interface\n"
    "ip route add default via $router\n";
// Steps that only look, tried again for a while until they match: the network settles.
const QStringList kLooks =
    QString("nft addr cat ps kill lan>wan wan>gw gw>wan dig ? fakes nm said flowing").split(' ');

// "STEP" ends with status 0; "STEP => N" with status N; "STEP => N OUTPUT" with that output:
// exactly, holding each part of "~PART~PART", or lacking the part of "!PART".
struct Journey {
    const char *name;
    std::vector<const char *> steps;
    friend void PrintTo(const Journey &journey, std::ostream *os) { *os << journey.name; }
};

// A LAN client's TCP stream to the WAN, a byte every 20 ms; the longest pause seen at the WAN.
struct Stream {
    explicit Stream(const NetnsTopology &net)
        : listener(net.listenTcp(net.wan(), "203.0.113.1", 9000)), thread([this, &net] {
              int out = -1;
              net.connectTcp(net.lan(), "203.0.113.1", 9000, 1500, &out);
              const int in =
                  out < 0 ? -1 : ::accept4(*listener.fd, nullptr, nullptr, SOCK_NONBLOCK);
              for (char bytes[256]; in >= 0 && !done; QThread::msleep(20)) {
                  ::send(out, "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                  if (const qint64 now = QDeadlineTimer::current().deadline();
                      ::recv(in, bytes, sizeof bytes, 0) > 0)
                      worst = std::max(worst.load(), now - last.exchange(now));
              }
              ::close(in), ::close(out);
          })
    {}
    ~Stream() { done = true, thread.join(); }
    NetnsTopology::Listener listener;
    std::atomic<bool> done = false;
    std::atomic<qint64> worst = 0, last = QDeadlineTimer::current().deadline();
    std::thread thread;
};

bool matches(const QString &output, const QString &expected)
{
    const QStringList parts = expected.mid(1).split('~');
    if (expected.startsWith('~'))
        return std::all_of(parts.begin(), parts.end(), [&](auto &p) { return output.contains(p); });
    return expected.startsWith('!') ? !output.contains(expected.mid(1)) : output == expected;
}

} // namespace

// One topology, int0 without an address, gw routed via wan; each journey in a root of its own.
class Netns : public ::testing::TestWithParam<Journey>
{
protected:
    static void SetUpTestSuite()
    {
        net = ::geteuid() == 0 ? new NetnsTopology({.gatewayLanAddress = false}) : nullptr;
        if (net)
            net->exec(net->gw(), {"ip", "route", "add", "default", "via", "203.0.113.1"});
    }
    static void TearDownTestSuite() { delete std::exchange(net, nullptr); }
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        for (const char *path :
             {"/usr/sbin/named", "/usr/bin/dig", "/usr/sbin/dnsmasq", "/sbin/udhcpc"})
            VELLORAN_REQUIRE(QFileInfo::exists(path), std::string("needs ") + path);
        VELLORAN_REQUIRE(net->ready(), net->error().toStdString());
        run("gw nft add table inet bystander { chain f { type filter hook forward priority 0; "
            "tcp dport 9 drop; }; }",
            &bystander);
        ASSERT_EQ(run("gw nft list table inet bystander", &bystander), 0);
        wan = net->listenTcp(net->wan(), "203.0.113.1", 8080);
        service = net->listenTcp(net->gw(), "203.0.113.2", 2222);
    }
    void TearDown() override
    {
        driver.reset();
        stream.reset();
        if (!net || !net->ready())
            return;
        QString now;
        run("gw nft list table inet bystander", &now);
        EXPECT_EQ(now, bystander) << "another table changed";
        net->killAll(net->gw()); // and back to the topology as it was built
        // int0 under the name a journey gave it
        for (const QString name : {"int@0", "int;0"})
            for (const QString step : {"gw ip link set %1 down", "gw ip link set %1 name int0"})
                run(step.arg(name), &now);
        for (const char *step :
             {"gw nft flush ruleset", "gw ip addr flush dev ext0", "gw ip addr flush dev int0",
              "gw ip addr add 203.0.113.2/24 dev ext0", "gw ip link set int0 up",
              "gw ip route replace default via 203.0.113.1", "lan ip addr flush dev lan0",
              "lan ip addr add 198.51.100.2/24 dev lan0",
              "lan ip route replace default via 198.51.100.1", "wan ip addr flush dev wan0",
              "wan ip addr add 203.0.113.1/24 dev wan0",
              "wan ip route del 198.51.100.0/24", "gw ip link set ext0 mtu 1500",
              "wan ip link set wan0 mtu 1500", "wan nft flush ruleset", "lan nft flush ruleset"})
            run(step, &now);
    }

    int run(QString what, QString *out);
    bool check(const QString &step, QString *out);

    static inline NetnsTopology *net = nullptr;
    const QString resources = QFileInfo(Bundle::resourcePath()).canonicalFilePath();
    PrivateRoot root;
    std::unique_ptr<SharingDriver> driver;
    QString bystander, marked;
    std::unique_ptr<Stream> stream;
    QMap<QString, pid_t> pids; // by pid file, which may go before its process
    NetnsTopology::Listener wan, service;
    std::vector<std::unique_ptr<FakeProcess>> fakes;
};

int Netns::run(QString what, QString *out)
{
    QStringList words = what.replace("$LAN", net->lan()).split(' ');
    const QString verb = words.takeFirst(), rest = words.join(' '), file = root.hostPath(rest);
    const auto ns = [&](const QString &n) {
        return n == "gw" ? net->gw() : n == "lan" ? net->lan() : net->wan();
    };
    const auto reply = [&](const SharingDriver::Reply &answer) {
        *out = answer.ok ? answer.alerts.join('\n') : answer.text;
        return answer.ok ? int(answer.alerts.size()) : -1;
    };
    const QString tool = kTools.filter('/' + verb).value(0);
    if (!tool.isEmpty()) // as the runner and the boot unit start them
        words = QStringList{"velloran-toolview", tool} + words;
    if (!tool.isEmpty() || verb == "root") { // a program of the bundle, or one by its path
        if (!words[0].startsWith('/'))
            words[0] = resources + '/' + words[0];
        return root.run(net->gw(), words, out);
    }
    if (verb == "gw" || verb == "lan" || verb == "wan")
        return net->exec(ns(verb), words, out);
    if (verb == "nft" || verb == "mark" || verb == "same") { // the ruleset or a listing, undated
        net->exec(net->gw(), words.isEmpty() ? QStringList{"nft", "list", "ruleset"} : words, out);
        out->remove(QRegularExpression("(?m)^#.*\n"));
        return verb == "mark" ? (marked = *out, 0) : int(verb == "same" && marked != *out);
    }
    if (verb == "addr") { // after the window has seen what the kernel told it
        if (driver)
            driver->send("state");
        return *out = net->addresses(net->gw(), rest).join(' '), 0;
    }
    if (verb == "cat")
        return QFileInfo::exists(file) ? (*out = readAll(file), 0) : 1;
    if (verb == "write") { // in place of the root's file, never through a link out of it
        QFile::remove(root.hostPath(words[0]));
        QDir().mkpath(QFileInfo(root.hostPath(words[0])).path());
        return TestSupport::writeFile(root.hostPath(words[0]), rest.section(' ', 1).toUtf8()), 0;
    }
    if (verb == "ps" || verb == "kill") { // the process of a pid file, even once the file is gone
        pid_t &pid = pids[words[0]];
        if (const pid_t now = readAll(root.hostPath(words[0])).trimmed().toInt(); now > 0)
            pid = now;
        if (verb == "kill") // a live one, never pid 0 (this very test); waits for its end
            return !TestSupport::processAlive(pid) ||
                           ::kill(pid, words[1] == "KILL" ? SIGKILL : SIGTERM)
                       ? -1
                       : !TestSupport::waitFor([pid] { return !TestSupport::processAlive(pid); });
        // Its command line, and whose it is: one user's in every uid, or "?".
        const QByteArray status = readAll(QStringLiteral("/proc/%1/status").arg(pid));
        const auto ids = status.mid(status.indexOf("\nUid:") + 5).split('\n')[0].simplified();
        const passwd *user = ids.split(' ').count(ids.split(' ')[0]) == 4
                                 ? ::getpwuid(ids.split(' ')[0].toUInt())
                                 : nullptr;
        *out = readAll(QStringLiteral("/proc/%1/cmdline").arg(pid)).replace('\0', ' ') + '(' +
               (user ? user->pw_name : "?") + ')';
        return !TestSupport::processAlive(pid);
    }
    if (verb.size() > 1 && verb.contains('>')) { // 1 when reached, and the source seen there
        const bool toWan = verb.endsWith("wan");
        const bool connected =
            net->connectTcp(ns(verb.section('>', 0, 0)), toWan ? "203.0.113.1" : "203.0.113.2",
                            toWan ? 8080 : 2222, 500); // a veth answers in well under that
        // A half-open attempt may still be queued; take it either way so the next try is fresh.
        *out = (toWan ? wan : service).acceptPeer(connected ? 1500 : 0).value_or("");
        return connected && !out->isEmpty();
    }
    if (verb == "dig") { // "NXDOMAIN ra": the status, and whether recursion is offered
        net->exec(ns(words[0]), QStringList{"dig", "+time=1", "+tries=1"} + words.mid(1), out);
        *out = QRegularExpression("status: ([A-Z]+)").match(*out).captured(1) +
               (QRegularExpression(";; flags:[a-z ]* ra[ ;]").match(*out).hasMatch() ? " ra" : "");
        return 0;
    }
    if (verb == "lease") { // "ADDRESS ROUTER DNS" as udhcpc in lan takes them
        const QString script = root.hostPath("/tmp/udhcpc");
        TestSupport::writeFile(script, kLeaseScript);
        QFile::setPermissions(script, QFile::ReadOwner | QFile::ExeOwner);
        const int status = net->exec(
            net->lan(), QString("/sbin/udhcpc -f -n -q -t 5 -T 1 -i lan0 -s " + script).split(' '));
        return *out = readAll(script + ".lease"), status;
    }
    if (verb == "launch" || verb == "relaunch" || verb == "quit") {
        const bool quit = verb == "launch" || (driver && driver->quit());
        driver.reset();
        if (verb != "quit" && quit)
            driver = std::make_unique<SharingDriver>(root, net->gw());
        return reply(driver ? driver->launched() : SharingDriver::Reply{quit, "did not quit"});
    }
    if (verb == ">" || verb == "?") { // a command to the window, or a field of it
        const auto answer =
            driver ? driver->send(verb == ">" ? rest : "show") : SharingDriver::Reply{};
        return verb == ">" ? reply(answer) : (*out = answer.fields.value(rest), !answer.ok);
    }
    if (verb == "said" && driver) { // logged or alerted since "said -"; as many as it logged
        driver->send("state");
        const QStringList lines =
            driver->said.split('\n').filter(QRegularExpression("^(log|alert) "));
        if (rest == "-")
            driver->said.clear();
        return *out = lines.join('\n'), int(lines.filter(QRegularExpression("^log ")).size());
    }
    if (verb == "flowing" && (stream || (stream = std::make_unique<Stream>(*net)))) // from now on
        return *out = QString::number(stream->worst), // no pause yet as long as the bound (ms)
               stream->worst >= rest.toInt() ||
                   QDeadlineTimer::current().deadline() - stream->last > 500;
    if (verb == "idle") { // not a single system call of the window in ten seconds
        const QString trace = QString("-s INT 10 strace -c -f -p %1").arg(driver->pid());
        TestSupport::run("timeout", trace.split(' '), out);
        return !out->contains("attached") || out->contains("total");
    }
    if (verb == "boot") { // what systemd runs at boot, word for word from the installed unit
        const QString unit = root.hostPath("/etc/systemd/system/%1velloran.service");
        const QString text = readAll(unit.arg(""));
        const auto pre = QRegularExpression("\nExecStartPre=-\"([^\"]+)\" (\\S+)\n").match(text);
        const auto exec = QRegularExpression("\nExecStart=\"([^\"]+)\" (\\S+)\n").match(text);
        if (pre.hasMatch()) // a step of its own, whose failure systemd ignores
            root.run(net->gw(), {pre.captured(1), pre.captured(2)});
        return exec.hasMatch() && QFileInfo(unit.arg("multi-user.target.wants/")).isSymLink()
                   ? root.run(net->gw(), {exec.captured(1), exec.captured(2)}, out)
                   : -1;
    }
    if (verb == "nm") // NetworkManager's state of a device
        return root.run(net->gw(),
                        {"/usr/bin/nmcli", "-g", "GENERAL.STATE", "device", "show", rest}, out);
    if (verb == "fake") // a process of that command line
        return fakes.push_back(std::make_unique<FakeProcess>(words)), 0;
    if (verb == "fakes")
        return std::any_of(fakes.begin(), fakes.end(), [](auto &f) { return ::kill(f->pid, 0); });
    if (verb == "no") { // a refusal: one line on stderr and a status other than 0
        const int status = run(rest, out);
        return status == 0 || out->count('\n') != 1 || !out->startsWith(words[0] + ": ");
    }
    return *out = "unknown step", -1;
}

bool Netns::check(const QString &step, QString *out)
{
    const QString what = step.section(" => ", 0, 0), expected = step.section(" => ", 1);
    QElapsedTimer clock;
    for (clock.start();; QThread::msleep(100)) {
        const int status = run(what, out);
        if (status == expected.section(' ', 0, 0).toInt() &&
            (!expected.contains(' ') || matches(*out, expected.section(' ', 1))))
            return true;
        if (!kLooks.contains(what.section(' ', 0, 0)) || clock.hasExpired(8000))
            return out->prepend(QString("status %1: ").arg(status)), false;
    }
}

TEST_P(Netns, Journey)
{
    for (const char *step : GetParam().steps) {
        QString out;
        ASSERT_TRUE(check(QString::fromUtf8(step), &out)) << step << ": " << out.toStdString();
    }
}

#define CONFIGURE_WITH(lan)                                                                        \
    "> external Ethernet Interface (ext0)", "> internal Ethernet Interface (" lan ")",             \
        "> router 198.51.100.1", "> subnet 255.255.255.0"
#define CONFIGURE CONFIGURE_WITH("int0")
#define NOT_SHARING "? button => 0 Start Internet Sharing"
#define SHARING "? button => 0 Stop Internet Sharing"
#define TRANSLATED "lan>wan => 1 203.0.113.2"
#define STOPPED "nft => 0 !velloran", "cat /run/natd.pid => 1"
#define MOVED                                                                                      \
    "log Restored Internet Sharing: the address of ext0 changed, so natd and ipfw ran again."
#define NAMED_PID "/var/lib/velloran/named/named.pid"
#define OWN_NAMED "/usr/sbin/named -c /etc/named.conf -u bind (bind)"
#define RENAME(name)                                                                               \
    "gw ip link set int0 down", "gw ip link set int0 name " name, "gw ip link set " name " up",    \
        "launch", CONFIGURE_WITH(name)
#define REFUSED(name)                                                                              \
    "The interface name \"" name "\" can't be used for sharing: Velloran takes "                   \
    "1 to 15 ASCII letters, digits and . _ + @ -, not beginning with -."

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, Netns, ::testing::Values(
    // Listed as on BSD; refused with one line, changing nothing.
    Journey{"StandInsListAsOnBsdAndRefuseWithOneLine", {
        "ifconfig int0 198.51.100.1 netmask 255.255.255.0", "ifconfig -a => 0 ~\nint0: "
        "flags=~\tinet 198.51.100.1 netmask 0xffffff00 broadcast 198.51.100.255\n",
        "ipfw add 100 deny all from any to any via int0", "ipfw add pass all from any to any xmit "
        "int0 => 0 00200 allow ip from any to any xmit int0\n",
        "ipfw add 65530 pass all from any to any",
        "ipfw add 95 divert natd all from any to any via ext0", "ipfw -q delete 100",
        "root velloran-toolview /usr/sbin/ipfw list => 0 00095 divert 8668 ip from any to any via "
        "ext0\n00200 allow ip from any to any xmit int0\n65530 allow ip from any to any\n65535 "
        "allow ip from any to any\n", "mark", "no natd -logx -interface ext0", "no natd -dynamic",
        "no natd -interface nosuch0", "no natd -same_ports maybe -interface ext0",
        "no natd -interface ext0\";", "no natd interface ext0", "no natd -f /nonexistent/natd.conf",
        "write /tmp/m.conf interface ext0", "write /tmp/n.conf config /tmp/m.conf",
        "no natd -f /tmp/n.conf", "no ipfw add 0 pass all from any to any",
        "no ifconfig int0 198.51.100.1/33",
        "no sysctl net.ipv4.no_such_key", "no sysctl net..ipv4.ip_forward", "no ipfw add 95 divert natd all from any to any",
        "no ipfw add 65535 pass all from any to any", "no ipfw -x flush", "no ipfw zero", "no ipfw",
        "no ipfw add 95 divert 1234 all from any to any via ext0",
        "no ipfw add 100 pass tcp from any to any", "no ipfw add 100 pass all from any to any via",
        "no ipfw add 90 deny all from any to any xmit ext0 in",
        "no ifconfig int0 198.51.100.1 netmask 255.0.255.0",
        "ifconfig int0 198.51.100.77 -alias", "no ifconfig nosuch0 198.51.100.77 -alias",
        "no ifconfig int0 198.51.100 netmask 255.255.255.0",
        "no ifconfig int0 198.51.100.1 netmask",
        "no ifconfig nosuch0 198.51.100.1 netmask 255.255.255.0",
        "no sysctl -w net.inet.ip.turbo=1", "no sysctl -w net.inet.ip.forwarding=yes",
        "no sysctl -w net.inet.ip.forwarding", "same", "addr int0 => 0 198.51.100.1/24"}},
    // Sharing outlives the window; natd killed takes its table along, and a relaunch sees it gone.
    Journey{"StartSharesRelaunchFindsItStopCutsAndCleansUpNatdKilledIsSeen", {
        "lan>wan => 0", "launch", NOT_SHARING, CONFIGURE, "> click sharingButton", SHARING,
        TRANSLATED, "addr int0 => 0 198.51.100.1/24", "ipfw add 90 deny all from any to any recv "
        "int0 xmit ext0", "lan>wan => 0", "wan>gw => 1", "ipfw -q delete 90", TRANSLATED,
        "gw cat /proc/sys/net/ipv4/ip_forward => 0 1\n",
        "natd -dynamic -interface ext0 => 1 natd: another natd is already running\n", "wan>gw => 1",
        "relaunch", SHARING, "? external => 0 Ethernet Interface (ext0)",
        "? internal => 0 Ethernet Interface (int0)", "> click sharingButton", NOT_SHARING, STOPPED,
        "lan>wan => 0", "addr int0 => 0 ", "addr ext0 => 0 203.0.113.2/24", "> click sharingButton",
        TRANSLATED, "ps /run/natd.pid => 0 /usr/sbin/natd -interface ext0 (root)", "quit",
        // Without natd the divert drops what is forwarded and passes this computer's own traffic.
        "kill /run/natd.pid KILL", "nft => 0 !velloran_natd",
        "wan ip route add 198.51.100.0/24 via 203.0.113.2", "lan>wan => 0", "gw>wan => 1",
        "wan>gw => 1", "launch", NOT_SHARING, "? running => 0 0"}},
    // What breaks comes back by itself while the rights are held, never showing the LAN's
    // addresses to the WAN; three times a minute at most. Without rights the window says so.
    Journey{"BrokenSharingIsRestoredWithRightsAndStoppedWithoutThem", {
        "launch", CONFIGURE, "> click sharingButton", SHARING, "flowing 1000", "idle",
        "said -", "kill /run/natd.pid KILL", "said => 1 log Restored Internet Sharing: natd ended, "
        "so natd and ipfw ran again.", "flowing 5000", "said -", "gw nft flush ruleset",
        "nft => 0 ~velloran_ipfw~velloran_natd", "flowing 5000", "said => 0 ",
        "gw nft add table inet bystander { chain f { type filter hook forward priority 0; tcp "
        "dport 9 drop; }; }", "gw nft add table inet marked { chain f { type filter hook "
        "forward priority 0; meta mark 0x7 drop; }; }", "wan nft add table ip spy { chain c { "
        "type filter hook prerouting priority 0; ip saddr 198.51.100.0/24 counter; }; }",
        "gw sleep 1", // bystander and marked: silent
        "gw nft add table inet guard { chain f { type filter hook forward priority 0; policy "
        "drop; }; }", "said => 0 alert Another firewall on this computer now blocks Internet "
        "Sharing on int0:\\n- nftables, table inet guard, chain f (policy drop), drops the traffic "
        "forwarded between int0 and ext0.\\n\"Allow for Velloran\" lets that traffic through for "
        "as long as sharing runs; the firewall's saved settings stay as they are.", "said -",
        "gw ip addr flush dev ext0", "gw ip addr add 203.0.113.3/24 dev ext0",
        "gw ip route replace default via 203.0.113.1", "said => 1 " MOVED, "gw sleep 1",
        "gw nft delete table inet guard", "lan>wan => 1 203.0.113.3", "wan nft list table ip spy "
        "=> 0 ~counter packets 0 ", "> click sharingButton", "> click sharingButton",
        "said - => 1 " MOVED, // the guard named once
        "kill /run/natd.pid KILL", "kill /run/natd.pid KILL", "kill /run/natd.pid KILL",
        "kill /run/natd.pid KILL", "said => 3 ~alert Sharing stopped: natd ended again after "
        "three restores within a minute, so Velloran stopped trying. Press Start Internet Sharing "
        "to share again.", NOT_SHARING, "nft => 0 !velloran", "lan>wan => 0", // seen untranslated
        "wan nft list table ip spy => 0 !counter packets 0 ", "> click sharingButton", "> record",
        "> rights 0", "> prompts cancel", "said -", "kill /run/natd.pid KILL", "said => 0 alert "
        "Sharing stopped: natd ended. Press Start Internet Sharing to share again.", NOT_SHARING,
        "nft => 0 !velloran_natd", "ipfw show => 0 ~divert"}},
    // A foreign drop is named; refused rights keep sharing; a dynamic natd follows the address.
    Journey{"DenyIncomingKeepsTheWanOutAForeignDropIsNamedAndARefusedStopKeepsSharing", {
        "gw nft add table inet guard { chain forwarding { type filter hook forward priority 0; "
        "policy drop; }; }", "gw nft add table ip star { chain f { type filter hook input "
        "priority 0; iifname \"int*\" udp dport 67 drop; }; }", "launch", CONFIGURE,
        "? deny => 0 0", "> click denyIncoming", "? deny => 0 1", "> click dynamic",
        "> answer Start Anyway", "> click sharingButton => 1 ~nftables, table inet guard, chain "
        "forwarding (policy drop), drops the traffic forwarded between int0 and ext0.\\n~table ip "
        "star, chain f, drops DHCP (udp 67) from int0", "gw nft delete table inet guard",
        "gw nft delete table ip star", SHARING, "wan>gw => 0", TRANSLATED, "> record",
        "> rights 0", "> prompts cancel",
        "> click sharingButton => 1 There was an error terminating DidivevuZidazar", SHARING,
        TRANSLATED, "gw ip addr flush dev ext0", "gw ip addr add 203.0.113.3/24 dev ext0",
        "gw ip route replace default via 203.0.113.1", "lan>wan => 1 203.0.113.3"}},
    // named serves only the LAN on a shared wire; Stop removes the alias the fields no longer say.
    Journey{"OneInterfaceInBothMenusGetsTheLanAddressBesideItsOwn", {
        "launch", CONFIGURE, "> internal Ethernet Interface (ext0)", "? dhcpEnabled => 0 0",
        "> click sharingButton", SHARING, "addr ext0 => 0 203.0.113.2/24 198.51.100.1/24",
        "> click named", "wan ip addr add 198.51.100.3/24 dev wan0",
        "dig wan -b 198.51.100.3 @198.51.100.1 1.2.0.192.in-addr.arpa PTR => 0 NXDOMAIN ra",
        "dig wan -b 203.0.113.1 @198.51.100.1 1.2.0.192.in-addr.arpa PTR => 0 REFUSED",
        "> router 198.51.100.7", "> click sharingButton", NOT_SHARING,
        "addr ext0 => 0 203.0.113.2/24", "addr int0 => 0 ", STOPPED}},
    // A name with "@" is shared, and at boot too.
    Journey{"ANameWithAtIsSharedAndStartAtBootBringsItAndDhcpUpWithoutTheWindow", {
        RENAME("int@0"), "> click dhcp", "> click denyIncoming", "> click sharingButton",
        TRANSLATED, "> click sharingButton", "> click load", NOT_SHARING, "quit", "lan>wan => 0",
        "boot => 0 ~Starting Velloran Services\n", TRANSLATED, "wan>gw => 0",
        "ps /run/velloran/dnsmasq.pid => 0 ~--interface=int@0 ", "launch", SHARING}},
    // One with ";" is refused, in the same words, by the window, the boot files and every tool.
    Journey{"ANameWithASemicolonIsRefusedByEveryWriterInOneMessage", {
        RENAME("int;0"), "mark", "> click sharingButton => 1 " REFUSED("int;0"),
        "> click load => 1 Unable to make startup files; an error occured",
        "no natd -interface int;0 => 0 natd: " REFUSED("int;0") "\n",
        "no ipfw add 95 divert natd all from any to any via int;0 => 0 ipfw: "
        REFUSED("int;0") "\n", "no ifconfig int;0 198.51.100.1 netmask 255.255.255.0 => 0 "
        "ifconfig: " REFUSED("int;0") "\n",
        "no sysctl -w net.ipv4.conf.int;0.forwarding=1 => 0 sysctl: " REFUSED("int;0") "\n", "same",
        NOT_SHARING, "cat /Library/StartupItems/Velloran => 1", "cat /run/natd.pid => 1"}},
    // A start that fails after natd; once the cause is mended, Start ends that natd and shares.
    Journey{"AFailedStartIsMendedAndTheNextStartShares", {
        "write /var/lib/velloran in the way", "launch", CONFIGURE, "> click dhcp",
        "> click sharingButton => 1 There was an error while starting Internet Sharing (dhcp)",
        NOT_SHARING, "ps /run/natd.pid => 0", "root /bin/rm /var/lib/velloran",
        "> click sharingButton", SHARING, TRANSLATED, "ps /run/velloran/dnsmasq.pid => 0"}},
    // Refused starts run nothing and leave the network as it was.
    Journey{"PreflightRefusalsLeaveTheNetworkAlone", {
        "launch", "mark", "> click sharingButton => 1 ~(ppp0) is not up", CONFIGURE,
        "> router 198.51.100.999", "> click sharingButton => 1 ~Router address 198.51.100.999",
        "> router 198.51.100.0", "> click sharingButton => 1 ~Router address 198.51.100.0",
        "> subnet 255.0.255.0", "> router 198.51.100.1",
        "> click sharingButton => 1 ~Subnet mask 255.0.255.0", "> router 203.0.113.200",
        "> subnet 255.255.0.0", "> click sharingButton => 1 ~overlaps", "> router 198.51.100.1",
        "> subnet 255.255.255.0", "> external Ethernet Interface (int0)",
        "> internal Ethernet Interface (ext0)", "> click sharingButton => 1 ~cut this computer off",
        NOT_SHARING, "same", "cat /run/natd.pid => 1", "addr int0 => 0 ",
        "addr ext0 => 0 203.0.113.2/24"}},
    // Port 53 taken is named; a distribution's named is not ours; ours runs as bind, found again.
    Journey{"TheNameServerIsVelloransOwnAndServesOnlyTheLan", {
        "root /usr/sbin/dnsmasq --conf-file=/dev/null --port=53 --pid-file=/run/dns.pid", "launch",
        "> click named => 1 ~dnsmasq", "? named => 0 0", "kill /run/dns.pid TERM",
        "ps /run/dns.pid => 1", "fake /usr/sbin/named -u bind", "relaunch", "? named => 0 0",
        CONFIGURE, "> click named", "ps " NAMED_PID " => 0 " OWN_NAMED, "relaunch",
        "? named => 0 1", "> click sharingButton",
        "dig lan -b 198.51.100.2 @198.51.100.1 1.2.0.192.in-addr.arpa PTR => 0 NXDOMAIN ra",
        "dig wan -b 203.0.113.1 @203.0.113.2 1.2.0.192.in-addr.arpa PTR => 0 ", // not listened on
        "> click named", "? named => 0 0", "ps " NAMED_PID " => 1", "fakes", "> click named",
        "ps " NAMED_PID " => 0 " OWN_NAMED, "> click resetButton", "? named => 0 0", "fakes"}},
    // A DHCP server on the LAN stops a start; one upstream outlives Stop; resolved's list is used.
    Journey{"DhcpLeasesTheLanItsAddressAndStopEndsOnlyVelloransServer", {
        "root /bin/true", "write /etc/resolv.conf nameserver 127.0.0.53\n",
        "write /run/systemd/resolve/resolv.conf nameserver 127.0.0.1\nnameserver 203.0.113.53\n",
        "lan ip addr flush dev lan0", "root /usr/sbin/dnsmasq --conf-file=/dev/null --port=0 "
        "--interface=ext0 --bind-dynamic --dhcp-range=203.0.113.100,203.0.113.110 --leasefile-ro "
        "--pid-file=/run/other.pid", "root /usr/sbin/dnsmasq --conf-file=/dev/null --port=0 "
        "--interface=int0 --bind-dynamic --dhcp-range=198.51.100.50,198.51.100.60 --leasefile-ro "
        "--pid-file=/run/blocker.pid", "launch", CONFIGURE, "> router 198.51.100.46",
        "> subnet 255.255.255.240", "> click dhcp", "> click sharingButton => 1 Another DHCP "
        "server (dnsmasq) already answers on int0. Quit it, or turn off DHCP in Velloran, before "
        "starting Internet Sharing.", "kill /run/blocker.pid TERM", "ps /run/blocker.pid => 1",
        "> click sharingButton", SHARING, "lease => 0 ~ 198.51.100.46 203.0.113.53\n", TRANSLATED,
        "gw ip addr flush dev int0", "addr int0 => 0 198.51.100.46/28", // put back at once
        "ps /run/velloran/dnsmasq.pid => 0 ~--interface=int0 ~ "
        "--dhcp-range=198.51.100.36,198.51.100.45,255.255.255.240,12h ", "> click sharingButton",
        "ps /run/velloran/dnsmasq.pid => 1", "ps /run/other.pid => 0"}},
    // Named only when it drops: a FORWARD policy of accept, udp 68 dropped, say nothing.
    Journey{"DockersDropIsNamedAllowedForVelloranAndIptablesIsAsBeforeAfterStop", {
        "gw iptables-nft -N DOCKER-USER", "gw iptables-nft -A DOCKER-USER -j RETURN",
        "gw iptables-nft -A FORWARD -j DOCKER-USER",
        "gw iptables-nft -A INPUT -i int0 -p udp --dport 68 -j DROP", "launch", CONFIGURE,
        "> click sharingButton", TRANSLATED, "> click sharingButton", "gw iptables-nft -P FORWARD "
        "DROP", "gw iptables-nft -R INPUT 1 -i int0 -p udp --dport 67 -j DROP",
        "> click sharingButton => 1 Another firewall on this computer would block Internet Sharing "
        "on int0:\\n- Docker, chain FORWARD (policy DROP), drops the traffic forwarded between "
        "int0 and ext0.\\n- iptables, chain INPUT, drops DHCP (udp 67) from int0 to this "
        "computer.\\n\"Allow for Velloran\" lets that traffic through for as long as sharing "
        "runs; the firewall's saved settings stay as they are.", NOT_SHARING, "lan>wan => 0",
        "mark iptables-save", "> answer Allow for Velloran", "> click sharingButton => 1 ~Docker",
        SHARING, TRANSLATED,
        "cat /run/velloran/firewall-int0 => 0 ~iptables-nft DOCKER-USER out int0 ext0\n",
        "> click sharingButton", NOT_SHARING, "same iptables-save",
        "cat /run/velloran/firewall-int0 => 1", // and what can't be undone stays noted
        "write /run/velloran/firewall-int0 iptables-nft DOCKER-USER\n",
        "root velloran-firewall close int0 => 1",
        "cat /run/velloran/firewall-int0 => 0 iptables-nft DOCKER-USER\n",
        // A noted handle that a reload gave to another's rule: that rule stays.
        "gw nft add table inet other { chain c { type filter hook forward priority 0; tcp dport 7 "
        "drop; }; }", "write /run/velloran/firewall-int0 nft inet other c 2 int0\n",
        "root velloran-firewall close int0", "gw nft list table inet other => 0 ~dport 7 drop",
        "root velloran-firewall open int0 ext;0 => 2", "root velloran-firewall read int;0 ext0 => 2",
        "write /run/velloran/firewall-int0 nft inet other c 2 int0\n", // in a folder others share
        "root /bin/chmod 0775 /run/velloran", "root velloran-firewall close int0 => 1"}},
    // ufw runs in the root's own /etc; Velloran's openings are its alone, its files untouched.
    Journey{"UfwsDeniesAreNamedAllowedForVelloranAndItsRulesAreAsBeforeAfterStop", {
        "root /usr/sbin/ufw --force enable", "mark iptables-save", "lan ip addr flush dev lan0",
        "launch", CONFIGURE, "> click dhcp", "> answer Allow for Velloran",
        "> click sharingButton => 1 ~ufw, chain FORWARD (policy DROP), drops the traffic~ufw, chain "
        "INPUT, in ufw-skip-to-policy-input, drops DHCP~ufw, chain INPUT (policy DROP), drops DNS",
        SHARING, "lease => 0 ~ 198.51.100.1 ", TRANSLATED, "> click sharingButton", NOT_SHARING,
        "same iptables-save", "root /usr/sbin/ufw status => 0 ~Status: active\n"}},
    // firewalld on a bus of the root's own: the LAN in a zone of run time until Stop.
    Journey{"FirewalldsZonesAreNamedAndTheLanIsInARunTimeZoneUntilStop", {
        "write /var/fw mkdir -p /run/dbus && dbus-daemon --system --fork && firewalld && until "
        "firewall-cmd -q --state; do sleep 0.2; done && firewall-cmd -q --zone=external "
        "--change-interface=ext0", "root /bin/sh /var/fw", "launch", CONFIGURE,
        "> click sharingButton => 1 ~firewalld, zone public, drops DHCP~firewalld, zone public, "
        "drops DNS~firewalld, zone public, to zone external, drops the traffic", NOT_SHARING,
        "> answer Allow for Velloran", "> click sharingButton => 1 ~zone public", SHARING,
        TRANSLATED, "root /usr/bin/firewall-cmd --get-zone-of-interface=int0 => 0 nm-shared\n",
        "> click sharingButton", NOT_SHARING,
        "root /usr/bin/firewall-cmd --get-zone-of-interface=int0 => 2 no zone\n"}},
    // Unmanaged while sharing runs (boot too), back at Stop, or at launch after a crash.
    Journey{"NetworkManagerLeavesTheLanToSharingAndGetsItBackAtStop", {
        // Before it runs: the note waits for it, unless others could have changed the note.
        "write /run/velloran/networkmanager-unmanaged int0\n", "root velloran-nm restore",
        "cat /run/velloran/networkmanager-unmanaged => 0 int0\n",
        "root /bin/chmod 0664 /run/velloran/networkmanager-unmanaged", "root velloran-nm restore",
        "cat /run/velloran/networkmanager-unmanaged => 1",
        "root /bin/true", "write /etc/nm.conf [main]\nplugins=keyfile\nno-auto-default=*\ndns=none\n"
        "auth-polkit=root-only\n", "write /etc/bus.conf <busconfig><type>system</type><listen>"
        "unix:path=/run/dbus/system_bus_socket</listen><policy context=\"default\"><allow user="
        "\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
        "</policy></busconfig>",
        // A bus that starts no services; NetworkManager without udev, as in a container.
        "write /tmp/nm mkdir /run/dbus\ndbus-daemon --config-file=/etc/bus.conf --fork\nmount -o "
        "remount,bind,ro /sys\nexec NetworkManager --no-daemon --debug --config=/etc/nm.conf "
        ">/run/nm.log 2>&1\n", "root /usr/bin/setsid -f /bin/sh /tmp/nm",
        "nm int0 => 0 30 (disconnected)\n", "root /usr/bin/nmcli connection add type ethernet "
        "ifname int0 con-name lan ipv4.dhcp-timeout 2 ipv6.method disabled",
        "nm int0 => 0 70 (connecting (getting IP configuration))\n", "launch", CONFIGURE,
        "> click sharingButton", SHARING, "nm int0 => 0 10 (unmanaged)\n", "gw sleep 3",
        "addr int0 => 0 198.51.100.1/24", TRANSLATED, "> click sharingButton", NOT_SHARING,
        "nm int0 => 0 !unmanaged", "cat /run/velloran/networkmanager-unmanaged => 1",
        "> click sharingButton", "launch", SHARING, "nm int0 => 0 10 (unmanaged)\n", CONFIGURE,
        "> click sharingButton",
        "nm int0 => 0 !unmanaged", "> internal Ethernet Interface (ext0)", "> click sharingButton",
        "nm ext0 => 0 100 (connected (externally))\n", "addr ext0 => 0 ~198.51.100.1/24",
        "cat /run/velloran/networkmanager-unmanaged => 1", "> click sharingButton",
        "> click load", "root velloran-nm boot", "cat /run/velloran/networkmanager-unmanaged => 1",
        "nm ext0 => 0 100 (connected (externally))\n", "> click load", // one port: ext0 stays
        "> internal Ethernet Interface (int0)", "> click load", "quit",
        "boot => 0 ~Starting Velloran", "nm int0 => 0 10 (unmanaged)\n", TRANSLATED,
        "kill /run/natd.pid KILL", "launch", NOT_SHARING, "nm int0 => 0 !unmanaged"}},
    // PPPoE's MTU, no "fragmentation needed", a SYN whose MSS would not fit dropped: it completes.
    Journey{"ForwardedSynsBothWaysCarryAnMssThatFitsTheExternalLink", {
        "gw ip link set ext0 mtu 1492", "wan ip link set wan0 mtu 1492",
        "wan nft add table ip probe { chain in { type filter hook input priority 0; icmp type "
        "destination-unreachable icmp code frag-needed drop; tcp flags syn / syn,ack tcp option "
        "maxseg size != 1452 drop; }; }", "lan nft add table ip probe { chain in { type filter "
        "hook input priority 0; tcp flags syn,ack / syn,ack tcp option maxseg size != 1452 drop; "
        "}; }", "wan iperf3 -s -1 -D -B 203.0.113.1", "launch", CONFIGURE,
        "> click sharingButton", "lan iperf3 -c 203.0.113.1 -R -n 10M --connect-timeout 3000 "
        "--rcv-timeout 5000 => 0 ~10.0 MBytes~receiver"}}),
    [](const auto &row) { return std::string(row.param.name); });
// clang-format on
