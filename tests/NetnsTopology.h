#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <sys/types.h>
#include <vector>

// Three network namespaces made and removed by a test, joined by veth pairs created inside them
// (nothing appears in the host's namespace); IPv6 is off in all three:
//   wan  203.0.113.1/24 on wan0
//   gw   203.0.113.2/24 on ext0 (towards wan), 198.51.100.1/24 on int0 (towards lan)
//   lan  198.51.100.2/24 on lan0, default route via 198.51.100.1
class NetnsTopology
{
public:
    struct Options {
        bool gatewayLanAddress = true; // off: int0 starts without an address
    };
    NetnsTopology() : NetnsTopology(Options{}) {}
    explicit NetnsTopology(const Options &options);
    ~NetnsTopology(); // ends what still runs in the namespaces, by pid
    NetnsTopology(const NetnsTopology &) = delete;
    NetnsTopology &operator=(const NetnsTopology &) = delete;

    bool ready() const { return m_error.isEmpty(); }
    const QString &error() const { return m_error; }
    const QString &wan() const { return m_ns[0]; }
    const QString &gw() const { return m_ns[1]; }
    const QString &lan() const { return m_ns[2]; }
    static QString gwExternal() { return QStringLiteral("ext0"); }
    static QString gwInternal() { return QStringLiteral("int0"); }

    // Runs an argv inside a namespace (no shell); exit status, merged output.
    int exec(const QString &ns, const QStringList &argv, QString *output = nullptr) const;
    // "203.0.113.2/24"-style IPv4 addresses of an interface, in the kernel's order.
    QStringList addresses(const QString &ns, const QString &interface) const;
    std::vector<pid_t> pids(const QString &ns) const;
    void killAll(const QString &ns) const;

    // TCP with timeouts, from sockets made inside a namespace.
    class Listener
    {
    public:
        Listener(int fd = -1) : m_fd(fd) {}
        Listener(Listener &&other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
        Listener &operator=(Listener &&other) noexcept;
        ~Listener();
        bool listening() const { return m_fd >= 0; }
        // The address of the next peer that connects, or nullopt after the timeout.
        std::optional<QString> acceptPeer(int timeoutMs) const;

    private:
        int m_fd;
    };
    Listener listenTcp(const QString &ns, const QString &address, quint16 port) const;
    bool connectTcp(const QString &ns, const QString &address, quint16 port, int timeoutMs) const;

    static bool waitFor(const std::function<bool()> &condition, int timeoutMs);

private:
    bool ip(const QStringList &args);
    QString m_ns[3];
    QString m_error;
};
