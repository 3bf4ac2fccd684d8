#include "NetnsTopology.h"

#include "BsdToolView.h"
#include "Bundle.h"
#include "TestSupport.h"

#include <QRegularExpression>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const QString kIp = QStringLiteral("/usr/sbin/ip");

QString netnsPath(const QString &ns)
{
    return QStringLiteral("/run/netns/") + ns;
}

// A socket that belongs to the namespace: only this short-lived thread ever enters it.
int socketIn(const QString &ns)
{
    int fd = -1;
    const std::string path = netnsPath(ns).toStdString();
    std::thread([&] {
        const int nsFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (nsFd < 0)
            return;
        if (::setns(nsFd, CLONE_NEWNET) == 0)
            fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::close(nsFd);
    }).join();
    return fd;
}

bool socketAddress(const QString &address, quint16 port, sockaddr_in &out)
{
    out = {};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    return ::inet_pton(AF_INET, address.toLatin1().constData(), &out.sin_addr) == 1;
}

} // namespace

NetnsTopology::NetnsTopology(const Options &options)
{
    static int counter = 0;
    const QString suffix =
        QString::number(::getpid()) + QLatin1Char('n') + QString::number(++counter);
    m_wan = QStringLiteral("vlwan") + suffix;
    m_gw = QStringLiteral("vlgw") + suffix;
    m_lan = QStringLiteral("vllan") + suffix;
    if (!build(options) && m_error.isEmpty())
        m_error = QStringLiteral("cannot build the test namespaces");
}

NetnsTopology::~NetnsTopology()
{
    for (const QString &ns : {m_wan, m_gw, m_lan}) {
        for (pid_t pid : pids(ns))
            ::kill(pid, SIGKILL);
        TestSupport::run(kIp, {QStringLiteral("netns"), QStringLiteral("del"), ns});
    }
}

bool NetnsTopology::ip(const QStringList &args)
{
    QString output;
    if (TestSupport::run(kIp, args, &output) == 0)
        return true;
    m_error = QStringLiteral("ip ") + args.join(QLatin1Char(' ')) + QStringLiteral(": ") +
              output.trimmed();
    return false;
}

bool NetnsTopology::build(const Options &options)
{
    for (const QString &ns : {m_wan, m_gw, m_lan}) {
        if (!ip({QStringLiteral("netns"), QStringLiteral("add"), ns}))
            return false;
        // Before any veth arrives, or link-local IPv6 traffic appears.
        for (const char *key : {"all", "default"}) {
            const QString setting =
                QStringLiteral("net.ipv6.conf.%1.disable_ipv6=1").arg(QLatin1String(key));
            if (exec(ns, {QStringLiteral("/usr/sbin/sysctl"), QStringLiteral("-qw"), setting}) !=
                0) {
                m_error = QStringLiteral("cannot turn IPv6 off in ") + ns;
                return false;
            }
        }
        if (!ip({QStringLiteral("-n"), ns, QStringLiteral("link"), QStringLiteral("set"),
                 QStringLiteral("lo"), QStringLiteral("up")}))
            return false;
    }
    const auto veth = [&](const QString &ns1, const QString &name1, const QString &ns2,
                          const QString &name2) {
        return ip({QStringLiteral("link"), QStringLiteral("add"), name1, QStringLiteral("netns"),
                   ns1, QStringLiteral("type"), QStringLiteral("veth"), QStringLiteral("peer"),
                   QStringLiteral("name"), name2, QStringLiteral("netns"), ns2});
    };
    const auto address = [&](const QString &ns, const QString &dev, const QString &cidr) {
        return ip({QStringLiteral("-n"), ns, QStringLiteral("addr"), QStringLiteral("add"), cidr,
                   QStringLiteral("dev"), dev});
    };
    const auto up = [&](const QString &ns, const QString &dev) {
        return ip({QStringLiteral("-n"), ns, QStringLiteral("link"), QStringLiteral("set"), dev,
                   QStringLiteral("up")});
    };
    return veth(m_gw, gwExternal(), m_wan, QStringLiteral("wan0")) &&
           veth(m_gw, gwInternal(), m_lan, QStringLiteral("lan0")) &&
           address(m_wan, QStringLiteral("wan0"), QStringLiteral("203.0.113.1/24")) &&
           address(m_gw, gwExternal(), QStringLiteral("203.0.113.2/24")) &&
           (!options.gatewayLanAddress ||
            address(m_gw, gwInternal(), QStringLiteral("198.51.100.1/24"))) &&
           address(m_lan, QStringLiteral("lan0"), QStringLiteral("198.51.100.2/24")) &&
           up(m_wan, QStringLiteral("wan0")) && up(m_gw, gwExternal()) && up(m_gw, gwInternal()) &&
           up(m_lan, QStringLiteral("lan0")) &&
           ip({QStringLiteral("-n"), m_lan, QStringLiteral("route"), QStringLiteral("add"),
               QStringLiteral("default"), QStringLiteral("via"), QStringLiteral("198.51.100.1")});
}

int NetnsTopology::exec(const QString &ns, const QStringList &argv, QString *output) const
{
    return TestSupport::run(
        kIp, QStringList{QStringLiteral("netns"), QStringLiteral("exec"), ns} + argv, output);
}

QStringList NetnsTopology::addresses(const QString &ns, const QString &interface) const
{
    QString output;
    TestSupport::run(kIp,
                     {QStringLiteral("-n"), ns, QStringLiteral("-4"), QStringLiteral("-o"),
                      QStringLiteral("addr"), QStringLiteral("show"), QStringLiteral("dev"),
                      interface},
                     &output);
    QStringList result;
    static const QRegularExpression inet(QStringLiteral("inet (\\S+)"));
    for (auto it = inet.globalMatch(output); it.hasNext();)
        result << it.next().captured(1);
    return result;
}

std::vector<pid_t> NetnsTopology::pids(const QString &ns) const
{
    QString output;
    TestSupport::run(kIp, {QStringLiteral("netns"), QStringLiteral("pids"), ns}, &output);
    std::vector<pid_t> result;
    for (const QString &word : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        bool ok = false;
        const int pid = word.trimmed().toInt(&ok);
        if (ok && pid > 1 && pid != ::getpid())
            result.push_back(pid);
    }
    return result;
}

NetnsTopology::ToolRun NetnsTopology::runTool(const QString &path, const QStringList &args) const
{
    ToolRun run;
    // Everything the child needs is made before fork: it only makes system calls.
    const std::string nsPath = netnsPath(m_gw).toStdString();
    const std::string standIns =
        (Bundle::resourcePath() + QStringLiteral("/bsdtools")).toStdString();
    std::vector<std::string> words{path.toStdString()};
    for (const QString &arg : args)
        words.push_back(arg.toStdString());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    const int nsFd = ::open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
    int pipeFds[2];
    if (nsFd < 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        run.output = QStringLiteral("cannot open ") + QString::fromStdString(nsPath);
        if (nsFd >= 0)
            ::close(nsFd);
        return run;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null < 0 || ::dup2(null, STDIN_FILENO) < 0 || ::dup2(pipeFds[1], STDOUT_FILENO) < 0 ||
            ::dup2(pipeFds[1], STDERR_FILENO) < 0 || ::setns(nsFd, CLONE_NEWNET) != 0)
            ::_exit(125);
        ::setsid();
        if (BsdToolView::enter(standIns.c_str()) != 0)
            ::_exit(126);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(nsFd);
    ::close(pipeFds[1]);
    if (child < 0) {
        ::close(pipeFds[0]);
        return run;
    }
    QByteArray output;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd readable{pipeFds[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&readable, 1, int(left.count())) <= 0)
            break;
        char buffer[4096];
        const ssize_t count = ::read(pipeFds[0], buffer, sizeof buffer);
        if (count <= 0)
            break;
        output.append(buffer, count);
    }
    ::close(pipeFds[0]);
    int status = 0;
    if (!waitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 30000)) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        run.output = QString::fromLocal8Bit(output) + QStringLiteral("(timed out)");
        return run;
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.output = QString::fromLocal8Bit(output);
    return run;
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
    if (m_fd < 0 || ::poll(&readable, 1, timeoutMs) <= 0)
        return std::nullopt;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
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
    const int fd = socketIn(ns);
    const int yes = 1;
    if (fd < 0 || !socketAddress(address, port, where) ||
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0 ||
        ::listen(fd, 16) != 0) {
        if (fd >= 0)
            ::close(fd);
        return Listener();
    }
    return Listener(fd);
}

bool NetnsTopology::connectTcp(const QString &ns, const QString &address, quint16 port,
                               int timeoutMs) const
{
    sockaddr_in where;
    const int fd = socketIn(ns);
    if (fd < 0 || !socketAddress(address, port, where)) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
