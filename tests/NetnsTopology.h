#pragma once

#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <optional>

// wan (203.0.113.1/24 wan0) - gw (203.0.113.2/24 ext0, 198.51.100.1/24 int0) - lan (.2/24 lan0).
class NetnsTopology
{
public:
    struct Options {
        bool gatewayLanAddress = true; // off: int0 starts without an address
    };
    explicit NetnsTopology(const Options &options);
    ~NetnsTopology(); // ends what still runs in the namespaces, by pid

    bool ready() const { return m_error.isEmpty(); }
    const QString &error() const { return m_error; }
    const QString &wan() const { return m_ns[0]; }
    const QString &gw() const { return m_ns[1]; }
    const QString &lan() const { return m_ns[2]; }
    static QString gwInternal() { return QStringLiteral("int0"); }

    int exec(const QString &ns, const QStringList &argv, QString *output = nullptr) const;
    // "203.0.113.2/24"-style, in the kernel's order.
    QStringList addresses(const QString &ns, const QString &interface) const;
    void killAll(const QString &ns) const;

    // TCP from sockets inside a namespace; a listener closes with its last copy.
    struct Listener {
        std::shared_ptr<const int> fd;
        bool listening() const { return fd != nullptr; }
        std::optional<QString> acceptPeer(int timeoutMs) const;
    };
    Listener listenTcp(const QString &ns, const QString &address, quint16 port) const;
    // Connected within the time; the socket stays open in *kept when given.
    bool connectTcp(const QString &ns, const QString &address, quint16 port, int timeoutMs,
                    int *kept = nullptr) const;

private:
    QString m_ns[3];
    QString m_error;
};

// A root of the test's own (tests/tools/PrivateRoot.cpp), so nothing Velloran installs reaches the machine.
class PrivateRoot
{
public:
    PrivateRoot();
    bool ready() const { return m_error.isEmpty(); }
    const QString &error() const { return m_error; }
    QString hostPath(const QString &inside) const { return m_work.path() + inside; }
    static QString driverPath() { return QStringLiteral("/var/velloran-test/driver"); }
    QStringList command(const QString &ns, const QStringList &argv) const;
    int run(const QString &ns, const QStringList &argv, QString *output = nullptr) const;

private:
    QTemporaryDir m_work;
    QString m_error;
};

// Velloran's window in a root and namespace, driven by tests/tools/SharingDriver.cpp, launched.
class SharingDriver
{
public:
    struct Reply { // ok: no "error" line; fields: those of the "state" and "show" lines
        bool ok = false;
        QString text;
        QStringList alerts = {};
        QMap<QString, QString> fields = {};
    };

    SharingDriver(const PrivateRoot &root, const QString &ns);
    ~SharingDriver();

    const Reply &launched() const { return m_launched; }
    qint64 pid() const { return m_process.processId(); }
    Reply send(const QString &command, int timeoutMs = 60000);
    QString said; // every answer sent, for a test to look through
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
