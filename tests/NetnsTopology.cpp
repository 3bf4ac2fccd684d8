#include "NetnsTopology.h"

#include "desktop/Bundle.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
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
const QString kNoIpv6 =
    " sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1";

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
    for (const QString ns : {"%1", "%2", "%3"})
        steps << "netns add " + ns << "-n " + ns + " link set lo up"
              << "netns exec " + ns + kNoIpv6;
    steps.append(
        {"link add ext0 netns %2 type veth peer name wan0 netns %1",
         "link add int0 netns %2 type veth peer name lan0 netns %3", "-n %1 link set wan0 up",
         "-n %2 link set ext0 up", "-n %2 link set int0 up", "-n %3 link set lan0 up",
         "-n %1 addr add 203.0.113.1/24 dev wan0", "-n %2 addr add 203.0.113.2/24 dev ext0",
         "-n %3 addr add 198.51.100.2/24 dev lan0", "-n %3 route add default via 198.51.100.1"});
    if (options.gatewayLanAddress)
        steps << "-n %2 addr add 198.51.100.1/24 dev int0";
    for (QString step : steps) {
        step.replace("%1", wan()).replace("%2", gw()).replace("%3", lan());
        if (QString output;
            m_error.isEmpty() && TestSupport::run(kIp, step.split(' '), &output) != 0)
            m_error = "ip " + step + ": " + output.trimmed();
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
    TestSupport::run(kIp, {"-n", ns, "-br", "-4", "addr", "show", "dev", interface}, &output);
    return output.simplified().split(' ').mid(2);
}

void NetnsTopology::killAll(const QString &ns) const
{
    QString output;
    TestSupport::run(kIp, {"netns", "pids", ns}, &output);
    for (const QString &word : output.split('\n', Qt::SkipEmptyParts))
        if (const int pid = word.trimmed().toInt(); pid > 1 && pid != ::getpid())
            ::kill(pid, SIGKILL);
}

std::optional<QString> NetnsTopology::Listener::acceptPeer(int timeoutMs) const
{
    pollfd readable{fd ? *fd : -1, POLLIN, 0};
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (!fd || ::poll(&readable, 1, timeoutMs) <= 0)
        return std::nullopt;
    const int connection =
        ::accept4(*fd, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
    if (connection < 0)
        return std::nullopt;
    ::close(connection);
    char text[INET_ADDRSTRLEN];
    return QString::fromLatin1(::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text));
}

NetnsTopology::Listener NetnsTopology::listenTcp(const QString &ns, const QString &address,
                                                 quint16 port) const
{
    sockaddr_in where;
    const int yes = 1, fd = socketIn(ns, address, port, where);
    if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
        ::bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) == 0 &&
        ::listen(fd, 16) == 0)
        return {
            std::shared_ptr<const int>(new int(fd), [](const int *p) { ::close(*p), delete p; })};
    if (fd >= 0)
        ::close(fd);
    return {};
}

bool NetnsTopology::connectTcp(const QString &ns, const QString &address, quint16 port,
                               int timeoutMs, int *kept) const
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
    if (connected && kept)
        *kept = fd;
    else
        ::close(fd);
    return connected;
}

PrivateRoot::PrivateRoot()
{
    if (!m_work.isValid() || !QDir().mkpath(hostPath("/var/velloran-test")) ||
        !QFile::copy(QStringLiteral(VELLORAN_SHARING_DRIVER), hostPath(driverPath())))
        m_error = "cannot put the driver into " + m_work.path();
}

QStringList PrivateRoot::command(const QString &ns, const QStringList &argv) const
{
    const QString resources = QFileInfo(Bundle::resourcePath()).canonicalFilePath();
    return QStringList{kIp, "netns", "exec", ns, VELLORAN_PRIVATE_ROOT, m_work.path(), resources} +
           argv;
}

int PrivateRoot::run(const QString &ns, const QStringList &argv, QString *output) const
{
    const QStringList full = command(ns, argv);
    return TestSupport::run(full.first(), full.mid(1), output);
}

SharingDriver::SharingDriver(const PrivateRoot &root, const QString &ns)
{
    const QStringList argv = root.command(ns, {PrivateRoot::driverPath(),
                                               QFileInfo(Bundle::bundlePath()).canonicalFilePath(),
                                               "/var/velloran-test"});
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
        if (word == QLatin1String("alert"))
            reply.alerts << rest;
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
    const Reply reply = awaitReply(timeoutMs);
    said += reply.text;
    return reply;
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
