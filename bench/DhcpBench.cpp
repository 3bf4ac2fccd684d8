// Click "Start" with DHCP ticked -> the LAN client holds its first lease, on the end-to-end tests'
// wan/gw/lan topology with Velloran's real window and root runner in gw. As root:
//   velloran_dhcp_bench [runs]
// Prints each run's Velloran start (click to the window's answer) and the client's part
// (udhcpc started at that answer, to its lease), then the medians.
#include "desktop/Bundle.h"
#include "Median.h"
#include "NetnsTopology.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

int fail(const QString &why)
{
    std::fprintf(stderr, "velloran_dhcp_bench: %s\n", qPrintable(why));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Bundle::setBundlePath(QStringLiteral(VELLORAN_BENCH_BUNDLE));
    if (::geteuid() != 0)
        return fail(QStringLiteral("needs root (network namespaces)"));
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    NetnsTopology::Options options;
    options.gatewayLanAddress = false;
    NetnsTopology net(options);
    if (!net.ready())
        return fail(net.error());
    PrivateRoot root;
    if (!root.ready())
        return fail(root.error());
    QTemporaryDir client;
    TestSupport::writeFile(client.filePath("record"),
                           "#!/bin/sh\n[ \"$1\" = bound ] || exit 0\n"
                           "/usr/sbin/ip addr add \"$ip/$mask\" dev \"$interface\"\n");
    QFile::setPermissions(client.filePath("record"), QFile::ReadOwner | QFile::ExeOwner);
    const QStringList flush{"/usr/sbin/ip", "addr", "flush", "dev", "lan0"};
    const QStringList udhcpc{"/sbin/udhcpc", "-f", "-n", "-q",   "-t", "10",
                             "-T",           "1",  "-i", "lan0", "-s", client.filePath("record")};

    SharingDriver driver(root, net.gw());
    if (!driver.launched().ok ||
        !driver.configure(QStringLiteral("Ethernet Interface (ext0)"),
                          QStringLiteral("Ethernet Interface (int0)")) ||
        !driver.send(QStringLiteral("click dhcp")).ok)
        return fail(QStringLiteral("cannot set up the window: ") + driver.errors());

    std::vector<double> totals, starts;
    for (int run = 0; run < runs; ++run) {
        if (net.exec(net.lan(), flush) != 0)
            return fail(QStringLiteral("cannot clear lan0"));
        const auto click = Clock::now();
        const auto reply = driver.send(QStringLiteral("click sharingButton"));
        if (!reply.ok || !reply.alerts.isEmpty())
            return fail(reply.text + driver.errors());
        const double start = millisecondsSince(click);
        QString output;
        if (net.exec(net.lan(), udhcpc, &output) != 0)
            return fail(QStringLiteral("no lease: ") + output);
        totals.push_back(millisecondsSince(click));
        if (qEnvironmentVariableIsSet("DHCP_BENCH_VERBOSE"))
            std::printf("%s\n", qPrintable(output));
        starts.push_back(start);
        std::printf("run %2d  click -> lease %7.1f ms  of which Velloran's start %7.1f ms\n",
                    run + 1, totals.back(), start);
        std::fflush(stdout);
        if (!driver.send(QStringLiteral("click sharingButton")).ok)
            return fail(QStringLiteral("cannot stop"));
        // Every run is a client the server has never seen.
        QFile::remove(root.hostPath(QStringLiteral("/var/lib/velloran/dnsmasq.leases")));
    }
    std::printf("median of %d: click -> lease %.1f ms, Velloran's start %.1f ms\n", runs,
                median(totals), median(starts));
    return 0;
}
