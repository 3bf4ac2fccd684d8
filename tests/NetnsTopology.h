#pragma once

#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <optional>

// Three network namespaces made and removed by a test, joined by veth pairs, IPv6 off: wan
// (203.0.113.1/24 on wan0), gw (203.0.113.2/24 on ext0, 198.51.100.1/24 on int0) and lan
// (198.51.100.2/24 on lan0, default route via 198.51.100.1).
class NetnsTopology
{
public:
    struct Options {
        bool gatewayLanAddress = true; // off: int0 starts without an address
    };
    NetnsTopology() : NetnsTopology(Options{}) {}
    explicit NetnsTopology(const Options &options);
    ~NetnsTopology(); // ends what still runs in the namespaces, by pid

    bool ready() const { return m_error.isEmpty(); }
    const QString &error() const { return m_error; }
    const QString &wan() const { return m_ns[0]; }
    const QString &gw() const { return m_ns[1]; }
    const QString &lan() const { return m_ns[2]; }
    static QString gwInternal() { return QStringLiteral("int0"); }

    // Runs an argv inside a namespace (no shell); exit status, merged output.
    int exec(const QString &ns, const QStringList &argv, QString *output = nullptr) const;
    // "203.0.113.2/24"-style IPv4 addresses of an interface, in the kernel's order.
    QStringList addresses(const QString &ns, const QString &interface) const;
    void killAll(const QString &ns) const;

    // TCP with timeouts, from sockets made inside a namespace; a listener closes with its last
    // copy.
    struct Listener {
        std::shared_ptr<const int> fd;
        bool listening() const { return fd != nullptr; }
        // The address of the next peer that connects, or nullopt after the timeout.
        std::optional<QString> acceptPeer(int timeoutMs) const;
    };
    Listener listenTcp(const QString &ns, const QString &address, quint16 port) const;
    bool connectTcp(const QString &ns, const QString &address, quint16 port, int timeoutMs) const;

    static bool waitFor(const std::function<bool()> &condition, int timeoutMs);

private:
    QString m_ns[3];
    QString m_error;
};

// A root of the test's own (tests/private_root): /etc, /Library, /run, /tmp and /var are the
// test's, so nothing Velloran installs or leaves reaches the machine. Commands run in it inside
// a network namespace.
class PrivateRoot
{
public:
    PrivateRoot();
    bool ready() const { return m_error.isEmpty(); }
    const QString &error() const { return m_error; }
    // Where a path inside the root lies on the machine: "/run/natd.pid" -> WORK/run/natd.pid.
    QString hostPath(const QString &inside) const { return m_work.path() + inside; }
    QStringList command(const QString &ns, const QStringList &argv) const;
    int run(const QString &ns, const QStringList &argv, QString *output = nullptr) const;

private:
    QTemporaryDir m_work;
    QString m_error;
};

// Velloran's window in a private root and network namespace, as root, driven line by line
// (tests/tools/SharingDriver.cpp) and launched at once. Ended by its pid when dropped.
class SharingDriver
{
public:
    struct Reply {
        bool ok = false;                    // no "error" line and the driver still answers
        QString text;                       // every line of the answer
        QStringList alerts = {};            // "alert" lines
        QMap<QString, QString> fields = {}; // the "state" and "show" lines' key=value fields
    };

    SharingDriver(const PrivateRoot &root, const QString &ns);
    ~SharingDriver();

    const Reply &launched() const { return m_launched; }
    Reply send(const QString &command, int timeoutMs = 60000);
    bool configure(const QString &external, const QString &internal,
                   const QString &router = QStringLiteral("198.51.100.1"),
                   const QString &subnet = QStringLiteral("255.255.255.0"));
    bool quit(); // terminates as the user does; true once the process ended cleanly
    QString errors();
    // A command and its answer apart, for a caller that times its effect itself.
    bool post(const QString &command);
    Reply awaitReply(int timeoutMs = 60000);

private:
    QProcess m_process;
    Reply m_launched;
    QByteArray m_errors;
};
