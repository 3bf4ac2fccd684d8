#include "SharingSession.h"

#include "Bundle.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <csignal>

PrivateRoot::PrivateRoot()
{
    const QString driver = hostPath(driverPath());
    if (!m_work.isValid() || !QDir().mkpath(QFileInfo(driver).path()) ||
        !QFile::copy(QStringLiteral(VELLORAN_SHARING_DRIVER), driver))
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
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(full.first(), full.mid(1));
    const bool finished = process.waitForFinished(120000);
    if (!finished) {
        process.kill();
        process.waitForFinished();
    }
    if (output)
        *output = QString::fromLocal8Bit(process.readAll());
    return finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
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
    clock.start();
    for (;;) {
        while (!m_process.canReadLine()) {
            const qint64 left = timeoutMs - clock.elapsed();
            if ((left <= 0 || !m_process.waitForReadyRead(int(left))) && !m_process.canReadLine()) {
                reply.text += "no answer; the driver said: " + errors();
                return reply;
            }
        }
        const QString line = QString::fromUtf8(m_process.readLine()).chopped(1);
        if (line == QLatin1String("."))
            break;
        reply.text += line + '\n';
        const QString word = line.section(QRegularExpression("[ \t]"), 0, 0);
        if (word == QLatin1String("alert") || word == QLatin1String("run"))
            (word == QLatin1String("alert") ? reply.alerts : reply.runs)
                << line.mid(word.size() + 1);
        if (word == QLatin1String("state") || word == QLatin1String("show"))
            for (const QString &part :
                 line.split(word == QLatin1String("show") ? '\t' : ' ').mid(1))
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
