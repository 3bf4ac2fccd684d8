#include "NetnsTopology.h"

#include "Bundle.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
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
    where = {.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {}, .sin_zero = {}};
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
    QStringList steps;
    for (const QString &ns : m_ns)
        steps << "netns add " + ns << "-n " + ns + " link set lo up"
              << "netns exec " + ns +
                     " sysctl -qw net.ipv6.conf.all.disable_ipv6=1 "
                     "net.ipv6.conf.default.disable_ipv6=1";
    steps << "link add ext0 netns " + gw() + " type veth peer name wan0 netns " + wan()
          << "link add int0 netns " + gw() + " type veth peer name lan0 netns " + lan();
    const std::tuple<QString, QString, QString> links[] = {
        {wan(), "wan0", "203.0.113.1/24"},
        {gw(), "ext0", "203.0.113.2/24"},
        {gw(), "int0", options.gatewayLanAddress ? "198.51.100.1/24" : ""},
        {lan(), "lan0", "198.51.100.2/24"}};
    for (const auto &[ns, dev, address] : links)
        steps << "-n " + ns + " link set " + dev + " up"
              << (address.isEmpty() ? QString()
                                    : "-n " + ns + " addr add " + address + " dev " + dev);
    steps << "-n " + lan() + " route add default via 198.51.100.1";
    for (const QString &step : steps) {
        QString output;
        if (!step.isEmpty() && TestSupport::run(kIp, step.split(' '), &output) != 0) {
            m_error = "ip " + step + ": " + output.trimmed();
            return;
        }
    }
}

NetnsTopology::~NetnsTopology()
{
    for (const QString &ns : m_ns) {
        killAll(ns);
        TestSupport::run(kIp, {"netns", "del", ns});
    }
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
    for (const auto &match : QRegularExpression("inet (\\S+)").globalMatch(output))
        result << match.captured(1);
    return result;
}

QList<pid_t> NetnsTopology::pids(const QString &ns) const
{
    QString output;
    TestSupport::run(kIp, {"netns", "pids", ns}, &output);
    QList<pid_t> result;
    for (const QString &word : output.split('\n', Qt::SkipEmptyParts))
        if (const int pid = word.trimmed().toInt(); pid > 1 && pid != ::getpid())
            result << pid;
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
    pollfd writable{fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (!connected && errno == EINPROGRESS)
        connected = ::poll(&writable, 1, timeoutMs) == 1 &&
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    ::close(fd);
    return connected;
}

bool NetnsTopology::waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    for (clock.start(); !condition(); QThread::msleep(20))
        if (clock.hasExpired(timeoutMs))
            return false;
    return true;
}

namespace {
const QString kDriver = QStringLiteral("/var/velloran-test/driver");
}

PrivateRoot::PrivateRoot()
{
    if (!m_work.isValid() || !QDir().mkpath(hostPath("/var/velloran-test")) ||
        !QFile::copy(QStringLiteral(VELLORAN_SHARING_DRIVER), hostPath(kDriver)))
        m_error = "cannot put the driver into " + m_work.path();
}

QStringList PrivateRoot::command(const QString &ns, const QStringList &argv) const
{
    return QStringList{"/usr/sbin/ip",
                       "netns",
                       "exec",
                       ns,
                       VELLORAN_PRIVATE_ROOT,
                       m_work.path(),
                       QFileInfo(Bundle::resourcePath()).canonicalFilePath()} +
           argv;
}

int PrivateRoot::run(const QString &ns, const QStringList &argv, QString *output) const
{
    const QStringList full = command(ns, argv);
    return TestSupport::run(full.first(), full.mid(1), output);
}

SharingDriver::SharingDriver(const PrivateRoot &root, const QString &ns)
{
    const QStringList argv = root.command(
        ns, {kDriver, QFileInfo(Bundle::bundlePath()).canonicalFilePath(), "/var/velloran-test"});
    m_process.start(argv.first(), argv.mid(1));
    m_launched = m_process.waitForStarted(30000) ? send("launch")
                                                 : Reply{false, "cannot start " + argv.join(' ')};
}

SharingDriver::~SharingDriver()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(m_process.processId()), SIGKILL);
    m_process.waitForFinished(10000);
}

bool SharingDriver::post(const QString &command)
{
    if (m_process.state() != QProcess::Running)
        return false;
    m_process.write((command + '\n').toUtf8());
    return m_process.waitForBytesWritten(10000);
}

SharingDriver::Reply SharingDriver::awaitReply(int timeoutMs)
{
    Reply reply;
    QElapsedTimer clock;
    for (clock.start();;) {
        while (!m_process.canReadLine())
            if (!m_process.waitForReadyRead(
                    int(std::max<qint64>(timeoutMs - clock.elapsed(), 0))) &&
                !m_process.canReadLine())
                return reply.text += "no answer; the driver said: " + errors(), reply;
        const QString line = QString::fromUtf8(m_process.readLine()).chopped(1);
        if (line == QLatin1String("."))
            break;
        reply.text += line + '\n';
        const QString word = line.section(' ', 0, 0).section('\t', 0, 0),
                      rest = line.mid(word.size() + 1);
        if (word == QLatin1String("alert") || word == QLatin1String("run"))
            (word == QLatin1String("alert") ? reply.alerts : reply.runs) << rest;
        if (word == QLatin1String("state") || word == QLatin1String("show"))
            for (const QString &part : rest.split(word == QLatin1String("show") ? '\t' : ' '))
                reply.fields.insert(part.section('=', 0, 0), part.section('=', 1));
        if (word == QLatin1String("error"))
            reply.fields.insert("error", line);
    }
    reply.ok = !reply.fields.contains("error");
    return reply;
}

SharingDriver::Reply SharingDriver::send(const QString &command, int timeoutMs)
{
    if (!post(command))
        return Reply{false, "the driver is not running; it said: " + errors()};
    return awaitReply(timeoutMs);
}

bool SharingDriver::configure(const QString &external, const QString &internal,
                              const QString &router, const QString &subnet)
{
    return send("external " + external).ok && send("internal " + internal).ok &&
           send("router " + router).ok && send("subnet " + subnet).ok;
}

bool SharingDriver::quit()
{
    const bool answered = send(QStringLiteral("quit")).ok;
    return m_process.waitForFinished(30000) && answered &&
           m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}

QString SharingDriver::errors()
{
    m_errors += m_process.readAllStandardError();
    return QString::fromLocal8Bit(m_errors);
}
