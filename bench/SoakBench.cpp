// Start and Stop through the window, again and again, with the rights held and sharing watched,
// on the end-to-end tests' wan/gw/lan topology with Velloran's real window and root runner in gw.
// As root:
//   velloran_soak_bench [cycles]     (1000 when not given)
// Afterwards the gateway's ruleset, addresses, forwarding settings and processes must be what
// they were after the first cycle, and the window's resident memory may have grown by less than
// 1 MiB. Prints cycles per second and each figure; exits 1 when one of them is off.
#include "NetnsTopology.h"
#include "TestSupport.h"
#include "desktop/Bundle.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr qint64 kMemoryGrowthLimitKiB = 1024;

int fail(const QString &why)
{
    std::fprintf(stderr, "velloran_soak_bench: %s\n", qPrintable(why));
    return 1;
}

struct Look {
    QString ruleset, addresses, sysctls, processes;
    qint64 residentKiB = 0;
};

// The command lines of every process in the namespace, sorted: pids change, programs must not.
QString processesIn(const QString &ns)
{
    QString pids;
    TestSupport::run(QStringLiteral("/usr/sbin/ip"), {"netns", "pids", ns}, &pids);
    QStringList lines;
    for (const QString &pid : pids.split('\n', Qt::SkipEmptyParts)) {
        const QByteArray command =
            TestSupport::readAll(QStringLiteral("/proc/%1/cmdline").arg(pid.trimmed()));
        if (!command.isEmpty())
            lines << QString::fromLocal8Bit(command).replace(QChar('\0'), ' ').trimmed();
    }
    std::sort(lines.begin(), lines.end());
    return lines.join('\n');
}

qint64 residentKiB(const SharingDriver &driver)
{
    const QString status =
        TestSupport::readAll(QStringLiteral("/proc/%1/status").arg(driver.pid()));
    return QRegularExpression("VmRSS:\\s*(\\d+)").match(status).captured(1).toLongLong();
}

Look look(const NetnsTopology &net, const SharingDriver &driver)
{
    Look now;
    net.exec(net.gw(), {"nft", "list", "ruleset"}, &now.ruleset);
    now.addresses = (net.addresses(net.gw(), QStringLiteral("ext0")) +
                     net.addresses(net.gw(), QStringLiteral("int0")))
                        .join(' ');
    net.exec(net.gw(), {"sysctl", "-a", "--pattern", "^net\\.ipv4\\.(ip_forward|conf\\.)"},
             &now.sysctls);
    now.processes = processesIn(net.gw());
    now.residentKiB = residentKiB(driver);
    return now;
}

const char *same(const QString &before, const QString &after)
{
    return before == after ? "same" : "DIFFERENT";
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Bundle::setBundlePath(QStringLiteral(VELLORAN_BENCH_BUNDLE));
    if (::geteuid() != 0)
        return fail(QStringLiteral("needs root (network namespaces)"));
    const int cycles = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    NetnsTopology::Options options;
    options.gatewayLanAddress = false;
    NetnsTopology net(options);
    if (!net.ready())
        return fail(net.error());
    PrivateRoot root;
    if (!root.ready())
        return fail(root.error());
    SharingDriver driver(root, net.gw());
    if (!driver.launched().ok || !driver.configure(QStringLiteral("Ethernet Interface (ext0)"),
                                                   QStringLiteral("Ethernet Interface (int0)")))
        return fail(QStringLiteral("cannot set up the window: ") + driver.errors());
    QString said;
    const auto click = [&] {
        const auto reply = driver.send(QStringLiteral("click sharingButton"));
        said = reply.text;
        return reply.ok && reply.alerts.isEmpty();
    };
    // The first cycle turns forwarding on, which Stop leaves on, as specified.
    if (!click() || !click())
        return fail(QStringLiteral("the first cycle failed: ") + said);
    const Look before = look(net, driver);

    QElapsedTimer clock;
    clock.start();
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        if (!click() || !click())
            return fail(QStringLiteral("cycle %1 failed: ").arg(cycle) + said);
        if (cycle % 100 == 0)
            std::fprintf(stderr, "%d cycles, %lld KiB resident\n", cycle, residentKiB(driver));
    }
    const double seconds = double(clock.elapsed()) / 1000;

    // What a stop ends may take a moment to be gone.
    Look after = look(net, driver);
    for (int tries = 0;
         tries < 50 && (after.ruleset != before.ruleset || after.processes != before.processes);
         ++tries) {
        QThread::msleep(100);
        after = look(net, driver);
    }
    const qint64 growth = after.residentKiB - before.residentKiB;
    std::printf("cycles: %d in %.1f s, %.2f cycles per second\n", cycles, seconds,
                cycles / seconds);
    std::printf("ruleset:   %s\naddresses: %s\nsysctls:   %s\nprocesses: %s\n",
                same(before.ruleset, after.ruleset), same(before.addresses, after.addresses),
                same(before.sysctls, after.sysctls), same(before.processes, after.processes));
    std::printf("resident memory: %lld KiB before, %lld KiB after, grown by %lld KiB "
                "(limit %lld KiB)\n",
                before.residentKiB, after.residentKiB, growth, kMemoryGrowthLimitKiB);
    const bool ok = before.ruleset == after.ruleset && before.addresses == after.addresses &&
                    before.sysctls == after.sysctls && before.processes == after.processes &&
                    growth < kMemoryGrowthLimitKiB;
    if (!ok)
        std::printf("before:\n%s\n%s\n%s\nafter:\n%s\n%s\n%s\n", qPrintable(before.ruleset),
                    qPrintable(before.addresses), qPrintable(before.processes),
                    qPrintable(after.ruleset), qPrintable(after.addresses),
                    qPrintable(after.processes));
    return ok ? 0 : 1;
}
