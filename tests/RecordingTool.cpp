#include "RecordingTool.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>
#include <gtest/gtest.h>

namespace {
QString readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
} // namespace

RecordingTool::RecordingTool(const QString &folder, const QString &name)
    : m_path(folder + '/' + name)
{
    QFile::remove(m_path);
    EXPECT_TRUE(QFile::copy(QStringLiteral(VELLORAN_RECORDING_TOOL), m_path))
        << m_path.toStdString();
    QFile::setPermissions(m_path, QFile::permissions(m_path) | QFile::ExeOwner | QFile::ExeGroup |
                                      QFile::ExeOther | QFile::ReadOther | QFile::ReadGroup);
}

QList<RecordingTool::Start> RecordingTool::starts() const
{
    QList<Start> starts;
    Start start;
    for (const QString &line : readAll(m_path + QStringLiteral(".record")).split('\n')) {
        const QString key = line.section('=', 0, 0);
        const QString value = line.section('=', 1);
        if (line == QLatin1String("run"))
            start = Start();
        else if (line == QLatin1String("end"))
            starts << start;
        else if (key == QLatin1String("pid"))
            start.pid = value.toLongLong();
        else if (key == QLatin1String("sid"))
            start.sid = value.toLongLong();
        else if (key == QLatin1String("uid"))
            start.uid = value.toUInt();
        else if (key == QLatin1String("cwd"))
            start.cwd = value;
        else if (key == QLatin1String("stdin"))
            start.stdinTarget = value;
        else if (key == QLatin1String("stdout"))
            start.stdoutTarget = value;
        else if (key == QLatin1String("fds"))
            start.fds = value.split(',');
        else if (key == QLatin1String("env"))
            start.environment << value;
        else if (key == QLatin1String("arg"))
            start.argv << value;
    }
    return starts;
}

qint64 RecordingTool::waitForDaemonPid() const
{
    // The background process writes its pid just after its parent ended.
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        const QString text = readAll(m_path + QStringLiteral(".daemon")).trimmed();
        if (!text.isEmpty())
            return text.toLongLong();
        QThread::msleep(10);
    }
    return 0;
}

QStringList RecordingTool::journal(const QString &folder)
{
    QStringList lines = readAll(folder + QStringLiteral("/journal")).split('\n');
    lines.removeAll(QString());
    return lines;
}
