// Sharing through Velloran against the same job done by hand, on a wan/gw/lan namespace topology
// with Velloran's real window and root runner in gw (the end-to-end tests' driver). As root:
//   velloran_nat_bench [throughput|latency|tools|all] [pairs] [iperf3 seconds]
// throughput: iperf3 lan -> wan through Velloran's NAT divided by plain routing (wan routes
//             198.51.100.0/24 back, no NAT), in alternating pairs; the median ratio.
// latency:    click "Start" -> first LAN connection translated, click "Stop" -> translation
//             cut, each divided by the same done with the shortest ip + sysctl + nft sequence.
// tools:      one natd start and one ipfw add and delete in gw against a program that does
//             nothing started the same way, alternating; the difference is their nf_tables work.
#include "desktop/Bundle.h"
#include "Median.h"
#include "NetnsTopology.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

const QString kIp = QStringLiteral("/usr/sbin/ip");
const QString kWanAddress = QStringLiteral("203.0.113.1");
const QString kTranslated = QStringLiteral("203.0.113.2");
constexpr quint16 kProbePort = 8080;

class Bench
{
public:
    bool setUp()
    {
        NetnsTopology::Options options;
        options.gatewayLanAddress = false;
        topology = std::make_unique<NetnsTopology>(options);
        if (!topology->ready())
            return fail(topology->error());
        root = std::make_unique<PrivateRoot>();
        if (!root->ready())
            return fail(root->error());
        driver = std::make_unique<SharingDriver>(*root, topology->gw());
        if (!driver->launched().ok)
            return fail(QStringLiteral("driver: ") + driver->launched().text);
        if (!driver->configure(QStringLiteral("Ethernet Interface (ext0)"),
                               QStringLiteral("Ethernet Interface (int0)")))
            return fail(QStringLiteral("cannot set up the window"));
        probe = topology->listenTcp(topology->wan(), kWanAddress, kProbePort);
        return probe.listening() || fail(QStringLiteral("cannot listen in wan"));
    }
    void tearDown()
    {
        driver.reset();
        topology.reset();
        root.reset();
    }

    bool throughput(int pairs, int seconds);
    bool latency(int pairs);
    bool tools(int pairs);

private:
    bool fail(const QString &why)
    {
        std::fprintf(stderr, "velloran_nat_bench: %s\n", qPrintable(why));
        return false;
    }
    bool click()
    {
        const auto reply = driver->send(QStringLiteral("click sharingButton"));
        return (reply.ok && reply.alerts.isEmpty()) || fail(reply.text + driver->errors());
    }
    int gw(const QStringList &argv) { return topology->exec(topology->gw(), argv); }

    // One probe connection from lan: its source as wan saw it, or empty when it didn't arrive.
    QString probeSource(int connectMs)
    {
        if (!topology->connectTcp(topology->lan(), kWanAddress, kProbePort, connectMs)) {
            probe.acceptPeer(0);
            return {};
        }
        return probe.acceptPeer(200).value_or(QString());
    }
    bool translated(int connectMs) { return probeSource(connectMs) == kTranslated; }

    // Milliseconds from `action` until `done` holds, probed without pause in between.
    double timeUntil(const std::function<bool()> &action, const std::function<bool()> &done,
                     double limitMs = 20000)
    {
        const auto start = Clock::now();
        if (!action())
            return -1;
        for (;;) {
            const double at = millisecondsSince(start);
            if (done())
                return at;
            if (at > limitMs)
                return -1;
        }
    }

    double iperf(int seconds);

    std::unique_ptr<NetnsTopology> topology;
    std::unique_ptr<PrivateRoot> root;
    std::unique_ptr<SharingDriver> driver;
    NetnsTopology::Listener probe;
};

double Bench::iperf(int seconds)
{
    QString output;
    const int status = topology->exec(
        topology->lan(),
        {QStringLiteral("/usr/bin/iperf3"), QStringLiteral("-c"), kWanAddress, QStringLiteral("-t"),
         QString::number(seconds), QStringLiteral("-O"), QStringLiteral("1"), QStringLiteral("-J")},
        &output);
    if (status != 0)
        return fail(QStringLiteral("iperf3: ") + output.left(400)), -1;
    const QJsonObject end =
        QJsonDocument::fromJson(output.toUtf8()).object().value("end").toObject();
    return end.value("sum_received").toObject().value("bits_per_second").toDouble();
}

bool Bench::throughput(int pairs, int seconds)
{
    // Plain routing needs wan to route the LAN back; with NAT the route goes unused.
    if (topology->exec(topology->wan(), {kIp, QStringLiteral("route"), QStringLiteral("add"),
                                         QStringLiteral("198.51.100.0/24"), QStringLiteral("via"),
                                         kTranslated}) != 0 ||
        gw({QStringLiteral("/usr/sbin/sysctl"), QStringLiteral("-qw"),
            QStringLiteral("net.ipv4.ip_forward=1")}) != 0)
        return fail(QStringLiteral("cannot set up plain routing"));
    QProcess server;
    server.setStandardOutputFile(QProcess::nullDevice());
    server.setStandardErrorFile(QProcess::nullDevice());
    server.start(kIp, {QStringLiteral("netns"), QStringLiteral("exec"), topology->wan(),
                       QStringLiteral("/usr/bin/iperf3"), QStringLiteral("-s"),
                       QStringLiteral("-B"), kWanAddress});
    if (!server.waitForStarted())
        return fail(QStringLiteral("cannot start iperf3 in wan"));
    usleep(300 * 1000);

    const QStringList lanAddress{kIp,
                                 QStringLiteral("-n"),
                                 topology->gw(),
                                 QStringLiteral("addr"),
                                 QStringLiteral("replace"),
                                 QStringLiteral("198.51.100.1/24"),
                                 QStringLiteral("dev"),
                                 NetnsTopology::gwInternal()};
    auto plainRun = [&]() -> double {
        // Velloran's stop took the LAN address away; plain routing puts it back by hand.
        if (TestSupport::run(kIp, lanAddress.mid(1)) != 0 ||
            probeSource(1000) != QLatin1String("198.51.100.2"))
            return fail(QStringLiteral("plain routing does not route")), -1;
        return iperf(seconds);
    };
    auto natRun = [&]() -> double {
        if (!click() || !translated(1000))
            return fail(QStringLiteral("Velloran's sharing does not translate")), -1;
        const double bps = iperf(seconds);
        return click() ? bps : -1;
    };

    std::vector<double> ratios, nat, plain;
    for (int pair = 0; pair < pairs; ++pair) {
        double viaNat, viaPlain;
        if (pair % 2 == 0) {
            viaPlain = plainRun();
            viaNat = natRun();
        } else {
            viaNat = natRun();
            viaPlain = plainRun();
        }
        if (viaNat <= 0 || viaPlain <= 0)
            break;
        nat.push_back(viaNat / 1e9);
        plain.push_back(viaPlain / 1e9);
        ratios.push_back(viaNat / viaPlain);
        std::printf("pair %2d  nat %6.2f Gbit/s  plain %6.2f Gbit/s  ratio %.3f\n", pair + 1,
                    nat.back(), plain.back(), ratios.back());
        std::fflush(stdout);
    }
    server.kill();
    server.waitForFinished();
    if (int(ratios.size()) != pairs)
        return false;
    std::printf("throughput: median nat %.2f Gbit/s, plain %.2f Gbit/s, median ratio %.3f "
                "(goal >= 0.97)\n",
                median(nat), median(plain), median(ratios));
    return true;
}

bool Bench::latency(int pairs)
{
    // Without a way back from wan only translated connections get through.
    topology->exec(topology->wan(), {kIp, QStringLiteral("route"), QStringLiteral("del"),
                                     QStringLiteral("198.51.100.0/24")});
    TestSupport::run(kIp,
                     {QStringLiteral("-n"), topology->gw(), QStringLiteral("addr"),
                      QStringLiteral("flush"), QStringLiteral("dev"), NetnsTopology::gwInternal()});
    gw({QStringLiteral("/usr/sbin/sysctl"), QStringLiteral("-qw"),
        QStringLiteral("net.ipv4.ip_forward=0")});
    if (translated(200))
        return fail(QStringLiteral("traffic is translated before anything started"));

    const QStringList addressUp{QStringLiteral("-n"),
                                topology->gw(),
                                QStringLiteral("addr"),
                                QStringLiteral("add"),
                                QStringLiteral("198.51.100.1/24"),
                                QStringLiteral("dev"),
                                NetnsTopology::gwInternal()};
    QStringList addressDown = addressUp;
    addressDown[3] = QStringLiteral("del");
    const QStringList forwarding{QStringLiteral("/usr/sbin/sysctl"), QStringLiteral("-qw"),
                                 QStringLiteral("net.ipv4.ip_forward=1")};
    const QStringList natUp{QStringLiteral("/usr/sbin/nft"),
                            QStringLiteral("add table ip bench { chain post { type nat hook "
                                           "postrouting priority srcnat; oifname \"ext0\" "
                                           "masquerade; }; }")};
    const QStringList natDown{QStringLiteral("/usr/sbin/nft"),
                              QStringLiteral("delete table ip bench")};
    const auto directUp = [&] {
        return TestSupport::run(kIp, addressUp) == 0 && gw(forwarding) == 0 && gw(natUp) == 0;
    };
    const auto directDown = [&] {
        return gw(natDown) == 0 && TestSupport::run(kIp, addressDown) == 0;
    };
    const auto isTranslated = [&] { return translated(2); };
    const auto isCut = [&] { return !translated(2); };
    // The click goes out at once; its answer is read when the probes are done.
    const auto post = [&] { return driver->post(QStringLiteral("click sharingButton")); };
    const auto answered = [&] {
        const auto reply = driver->awaitReply();
        return (reply.ok && reply.alerts.isEmpty()) || fail(reply.text + driver->errors());
    };

    std::vector<double> upRatios, downRatios, velloranUp, velloranDown, directUps, directDowns;
    // Pair 0 warms up: the first translation in a namespace sets up connection tracking.
    for (int pair = 0; pair <= pairs; ++pair) {
        double vUp, vDown, dUp, dDown;
        // Each start begins with forwarding off, as on a machine that never shared.
        const auto forwardingOff = [&] {
            gw(forwarding.mid(0, 2) << QStringLiteral("net.ipv4.ip_forward=0"));
        };
        const auto velloran = [&] {
            forwardingOff();
            vUp = timeUntil(post, isTranslated);
            const bool upAnswered = answered();
            vDown = timeUntil(post, isCut);
            return answered() && upAnswered;
        };
        const auto direct = [&] {
            forwardingOff();
            dUp = timeUntil(directUp, isTranslated);
            dDown = timeUntil(directDown, isCut);
            forwardingOff();
            return true;
        };
        const bool ok = pair % 2 == 0 ? velloran() && direct() : direct() && velloran();
        if (!ok || vUp < 0 || vDown < 0 || dUp < 0 || dDown < 0)
            return fail(QStringLiteral("a run did not finish (up %1/%2 ms, down %3/%4 ms)")
                            .arg(vUp)
                            .arg(dUp)
                            .arg(vDown)
                            .arg(dDown));
        if (pair == 0)
            continue;
        velloranUp.push_back(vUp);
        velloranDown.push_back(vDown);
        directUps.push_back(dUp);
        directDowns.push_back(dDown);
        upRatios.push_back(vUp / dUp);
        downRatios.push_back(vDown / dDown);
        std::printf("pair %2d  up: velloran %6.1f ms direct %6.1f ms  down: velloran %6.1f ms "
                    "direct %6.1f ms\n",
                    pair, vUp, dUp, vDown, dDown);
        std::fflush(stdout);
    }
    std::printf("start: median %.1f ms, direct %.1f ms, median ratio %.2f (goal <= 1.5)\n",
                median(velloranUp), median(directUps), median(upRatios));
    std::printf("stop:  median %.1f ms, direct %.1f ms, median ratio %.2f (goal <= 1.2)\n",
                median(velloranDown), median(directDowns), median(downRatios));
    return true;
}

bool Bench::tools(int pairs)
{
    const QString dir = Bundle::resourcePath() + QStringLiteral("/bsdtools/");
    const QString pidFile = QStringLiteral("/tmp/velloran-bench-natd.%1").arg(::getpid());
    const QStringList natd{dir + "natd", "-dynamic", "-interface", "ext0", "-P", pidFile};
    const QStringList add{dir + "ipfw", "-q",  "add", "64000", "divert", "natd", "all",
                    "from",       "any", "to",  "any",   "via",    "ext0"};
    const QStringList remove{dir + "ipfw", "-q", "delete", "64000"};
    const auto timed = [&](const QStringList &argv) {
        const auto start = Clock::now();
        return gw(argv) == 0 ? millisecondsSince(start) : -1;
    };
    std::vector<double> natdRuns, addRuns, deleteRuns, nothing;
    for (int pair = 0; pair < pairs * 2; ++pair) {
        const auto run = [&] {
            natdRuns.push_back(timed(natd));
            QFile file(pidFile);
            const long pid = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLong() : 0;
            if (pid <= 0 || ::kill(pid_t(pid), SIGTERM) != 0)
                return false;
            while (QFile::exists(pidFile))
                usleep(1000);
            addRuns.push_back(timed(add));
            deleteRuns.push_back(timed(remove));
            return natdRuns.back() > 0 && addRuns.back() > 0 && deleteRuns.back() > 0;
        };
        const auto idle = [&] { return nothing.push_back(timed({"/bin/true"})), true; };
        if (!(pair % 2 == 0 ? run() && idle() : idle() && run()))
            return fail(QStringLiteral("a tool run failed"));
    }
    std::printf("tools: median natd %.1f ms, ipfw add %.1f ms, ipfw delete %.1f ms, a program "
                "doing nothing %.1f ms (goal: about 1 ms more)\n",
                median(natdRuns), median(addRuns), median(deleteRuns), median(nothing));
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Bundle::setBundlePath(QStringLiteral(VELLORAN_BENCH_BUNDLE));
    if (::geteuid() != 0) {
        std::fprintf(stderr, "velloran_nat_bench: needs root (network namespaces)\n");
        return 1;
    }
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("all");
    const int pairs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    const int seconds = argc > 3 ? std::max(2, std::atoi(argv[3])) : 4;

    Bench bench;
    bool ok = bench.setUp();
    if (ok && (mode == QLatin1String("throughput") || mode == QLatin1String("all")))
        ok = bench.throughput(pairs, seconds);
    if (ok && (mode == QLatin1String("latency") || mode == QLatin1String("all")))
        ok = bench.latency(pairs);
    if (ok && (mode == QLatin1String("tools") || mode == QLatin1String("all")))
        ok = bench.tools(pairs);
    bench.tearDown();
    return ok ? 0 : 1;
}
