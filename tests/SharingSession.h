#pragma once

#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A root of the test's own (tests/private_root): /etc, /Library, /run, /tmp and /var are folders
// of the test, so what Velloran installs, stages or leaves as a pid file never reaches the
// machine. Commands run in it inside a network namespace, with that namespace's sysfs.
class PrivateRoot
{
public:
    PrivateRoot();
    bool ready() const { return m_error.isEmpty(); }
    const QString &error() const { return m_error; }
    // Where a path inside the root lies on the machine: "/run/natd.pid" -> WORK/run/natd.pid.
    QString hostPath(const QString &inside) const { return m_work.path() + inside; }
    // The argv that runs `argv` in the root inside network namespace `ns`.
    QStringList command(const QString &ns, const QStringList &argv) const;
    int run(const QString &ns, const QStringList &argv, QString *output = nullptr) const;
    static QString driverPath() { return QStringLiteral("/var/velloran-test/driver"); }

private:
    QTemporaryDir m_work;
    QString m_error;
};

// Velloran's window and controller in a private root, in a network namespace, as root, driven
// line by line (tests/tools/SharingDriver.cpp) and launched at once. Ended by its pid when dropped.
class SharingDriver
{
public:
    struct Reply {
        bool ok = false;                    // no "error" line and the driver still answers
        QString text;                       // every line of the answer
        QStringList alerts = {}, runs = {}; // "alert" and "run" lines
        QMap<QString, QString> fields = {}; // the "state" and "show" lines' key=value fields
    };

    SharingDriver(const PrivateRoot &root, const QString &ns);
    ~SharingDriver();
    SharingDriver(const SharingDriver &) = delete;
    SharingDriver &operator=(const SharingDriver &) = delete;

    const Reply &launched() const { return m_launched; }
    Reply send(const QString &command, int timeoutMs = 60000);
    // Picks the interfaces by their menu titles and types the router address and subnet mask.
    bool configure(const QString &external, const QString &internal,
                   const QString &router = QStringLiteral("198.51.100.1"),
                   const QString &subnet = QStringLiteral("255.255.255.0"));
    bool quit(); // terminates as the user does; true once the process ended cleanly
    QString errors();
    // The write that a command takes and its answer, for a caller that times its effect itself.
    bool post(const QString &command);
    Reply awaitReply(int timeoutMs = 60000);

private:
    QProcess m_process;
    Reply m_launched;
    QByteArray m_errors;
};
