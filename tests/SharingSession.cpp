#include "SharingSession.h"

#include "Bundle.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <csignal>

namespace {

QString resources()
{
    return QFileInfo(Bundle::resourcePath()).canonicalFilePath();
}

} // namespace

PrivateRoot::PrivateRoot()
{
    if (!m_work.isValid()) {
        m_error = QStringLiteral("cannot make a work folder");
        return;
    }
    const QString driver = hostPath(driverPath());
    QFile::remove(driver);
    if (!QDir().mkpath(QFileInfo(driver).path()) || !QDir().mkpath(hostPath(preferencesPath())) ||
        !QFile::copy(QStringLiteral(VELLORAN_SHARING_DRIVER), driver))
        m_error = QStringLiteral("cannot put the driver into ") + m_work.path();
}

QString PrivateRoot::hostPath(const QString &inside) const
{
    return m_work.path() + inside;
}

QStringList PrivateRoot::command(const QString &ns, const QStringList &argv) const
{
    return QStringList{QStringLiteral("/usr/sbin/ip"),
                       QStringLiteral("netns"),
                       QStringLiteral("exec"),
                       ns,
                       QStringLiteral(VELLORAN_PRIVATE_ROOT),
                       m_work.path(),
                       resources()} +
           argv;
}

int PrivateRoot::run(const QString &ns, const QStringList &argv, QString *output) const
{
    const QStringList full = command(ns, argv);
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(full.first(), full.mid(1));
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (output)
        *output = QString::fromLocal8Bit(process.readAll());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

SharingDriver::SharingDriver(const PrivateRoot &root, const QString &ns)
{
    const QString bundle = QFileInfo(Bundle::bundlePath()).canonicalFilePath();
    const QStringList argv =
        root.command(ns, {PrivateRoot::driverPath(), bundle, PrivateRoot::preferencesPath()});
    m_process.start(argv.first(), argv.mid(1));
    if (m_process.waitForStarted(30000))
        m_launched = awaitReply(60000);
    else
        m_launched.text = QStringLiteral("cannot start ") + argv.join(QLatin1Char(' '));
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
    m_process.write((command + QLatin1Char('\n')).toUtf8());
    return m_process.waitForBytesWritten(10000);
}

SharingDriver::Reply SharingDriver::awaitReply(int timeoutMs)
{
    Reply reply;
    QElapsedTimer clock;
    clock.start();
    while (!m_process.canReadLine()) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0 || m_process.state() != QProcess::Running ||
            !m_process.waitForReadyRead(int(left))) {
            if (!m_process.canReadLine()) {
                reply.text = QStringLiteral("no answer; the driver said: ") + errors();
                return reply;
            }
        }
    }
    m_errors += m_process.readAllStandardError();
    reply.text = QString::fromUtf8(m_process.readLine()).trimmed();
    const QStringList parts = reply.text.split(QLatin1Char('\t'));
    reply.ok = parts.first() == QLatin1String("ok");
    for (const QString &part : parts.mid(1)) {
        const QString key = part.section(QLatin1Char('='), 0, 0);
        const QString value = part.section(QLatin1Char('='), 1);
        if (key == QLatin1String("alert"))
            reply.alerts << value;
        else
            reply.fields.insert(key, value);
    }
    return reply;
}

SharingDriver::Reply SharingDriver::send(const QString &command, int timeoutMs)
{
    if (!post(command)) {
        Reply reply;
        reply.text = QStringLiteral("the driver is not running; it said: ") + errors();
        return reply;
    }
    return awaitReply(timeoutMs);
}

bool SharingDriver::configure(const QString &external, const QString &internal,
                              const QString &router, const QString &subnet)
{
    return send(QStringLiteral("external ") + external).ok &&
           send(QStringLiteral("internal ") + internal).ok &&
           send(QStringLiteral("router ") + router).ok &&
           send(QStringLiteral("subnet ") + subnet).ok;
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
