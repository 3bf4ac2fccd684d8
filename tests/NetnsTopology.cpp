#include "NetnsTopology.h"

#include "TestSupport.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const QString kIp = QStringLiteral("/usr/sbin/ip");

// A socket that belongs to the namespace: only this short-lived thread ever enters it.
int socketIn(const QString &ns, const QString &address, quint16 port, sockaddr_in &where)
{
    where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.toLatin1().constData(), &where.sin_addr) != 1)
        return -1;
    int fd = -1;
    const QByteArray path = ("/run/netns/" + ns).toLocal8Bit();
    std::thread([&] {
        const int nsFd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (nsFd >= 0 && ::setns(nsFd, CLONE_NEWNET) == 0)
            fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (nsFd >= 0)
            ::close(nsFd);
    }).join();
    return fd;
}

} // namespace

NetnsTopology::NetnsTopology(const Options &options)
{
    // Tests of other PID namespaces may share our pid: the name takes a random part too.
    const QString suffix = QString::number(QRandomGenerator::global()->bounded(1u << 30), 36);
    m_ns[0] = "vlwan" + suffix, m_ns[1] = "vlgw" + suffix, m_ns[2] = "vllan" + suffix;
    for (const QString &ns : m_ns)
        if (!ip({"netns", "add", ns}) ||
            exec(ns, {"/usr/sbin/sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1",
                      "net.ipv6.conf.default.disable_ipv6=1"}) != 0 ||
            !ip({"-n", ns, "link", "set", "lo", "up"})) {
            m_error += " (cannot set up " + ns + ")";
            return;
        }
    const QString steps[][4] = {
        {gw(), "ext0", wan(), "wan0"},     {gw(), "int0", lan(), "lan0"},
        {wan(), "wan0", "203.0.113.1/24"}, {gw(), "ext0", "203.0.113.2/24"},
        {gw(), "int0", "198.51.100.1/24"}, {lan(), "lan0", "198.51.100.2/24"}};
    for (const auto &step : steps) {
        const bool ok = !step[3].isEmpty()
                            ? ip({"link", "add", step[1], "netns", step[0], "type", "veth", "peer",
                                  "name", step[3], "netns", step[2]}) &&
                                  ip({"-n", step[0], "link", "set", step[1], "up"}) &&
                                  ip({"-n", step[2], "link", "set", step[3], "up"})
                            : (step[1] == "int0" && !options.gatewayLanAddress) ||
                                  ip({"-n", step[0], "addr", "add", step[2], "dev", step[1]});
        if (!ok) {
            m_error += " (cannot link " + step[0] + ")";
            return;
        }
    }
    ip({"-n", lan(), "route", "add", "default", "via", "198.51.100.1"});
}

NetnsTopology::~NetnsTopology()
{
    for (const QString &ns : m_ns) {
        killAll(ns);
        TestSupport::run(kIp, {"netns", "del", ns});
    }
}

bool NetnsTopology::ip(const QStringList &args)
{
    QString output;
    if (TestSupport::run(kIp, args, &output) == 0)
        return true;
    m_error = "ip " + args.join(' ') + ": " + output.trimmed();
    return false;
}

int NetnsTopology::exec(const QString &ns, const QStringList &argv, QString *output) const
{
    return TestSupport::run(kIp, QStringList{"netns", "exec", ns} + argv, output);
}

QStringList NetnsTopology::addresses(const QString &ns, const QString &interface) const
{
    QString output;
    TestSupport::run(kIp, {"-n", ns, "-4", "-o", "addr", "show", "dev", interface}, &output);
    QStringList result;
    static const QRegularExpression inet(QStringLiteral("inet (\\S+)"));
    for (auto it = inet.globalMatch(output); it.hasNext();)
        result << it.next().captured(1);
    return result;
}

std::vector<pid_t> NetnsTopology::pids(const QString &ns) const
{
    QString output;
    TestSupport::run(kIp, {"netns", "pids", ns}, &output);
    std::vector<pid_t> result;
    for (const QString &word : output.split('\n', Qt::SkipEmptyParts))
        if (const int pid = word.trimmed().toInt(); pid > 1 && pid != ::getpid())
            result.push_back(pid);
    return result;
}

void NetnsTopology::killAll(const QString &ns) const
{
    for (pid_t pid : pids(ns))
        ::kill(pid, SIGKILL);
}

NetnsTopology::Listener &NetnsTopology::Listener::operator=(Listener &&other) noexcept
{
    std::swap(m_fd, other.m_fd);
    return *this;
}

NetnsTopology::Listener::~Listener()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::optional<QString> NetnsTopology::Listener::acceptPeer(int timeoutMs) const
{
    pollfd readable{m_fd, POLLIN, 0};
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (m_fd < 0 || ::poll(&readable, 1, timeoutMs) <= 0)
        return std::nullopt;
    const int fd = ::accept4(m_fd, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    ::close(fd);
    char text[INET_ADDRSTRLEN];
    return QString::fromLatin1(::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text));
}

NetnsTopology::Listener NetnsTopology::listenTcp(const QString &ns, const QString &address,
                                                 quint16 port) const
{
    sockaddr_in where;
    const int yes = 1, fd = socketIn(ns, address, port, where);
    Listener listener(fd);
    if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
        ::bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) == 0 &&
        ::listen(fd, 16) == 0)
        return listener;
    return Listener();
}

bool NetnsTopology::connectTcp(const QString &ns, const QString &address, quint16 port,
                               int timeoutMs) const
{
    sockaddr_in where;
    const int fd = socketIn(ns, address, port, where);
    if (fd < 0)
        return false;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    bool connected = ::connect(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) == 0;
    if (!connected && errno == EINPROGRESS) {
        pollfd writable{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        connected = ::poll(&writable, 1, timeoutMs) == 1 &&
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    ::close(fd);
    return connected;
}

bool NetnsTopology::waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    for (clock.start(); !condition(); ::usleep(20000))
        if (clock.hasExpired(timeoutMs))
            return false;
    return true;
}
