#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// A copy of the test suite's recording tool (tests/tools/RecordingTool.cpp) under a name of the
// test's choosing, and what it wrote down about each of its starts.
class RecordingTool
{
public:
    struct Start {
        qint64 pid = 0;
        qint64 sid = 0;
        uint uid = 0;
        QString cwd;
        QString stdinTarget;
        QString stdoutTarget;
        QStringList fds;
        QStringList environment;
        QStringList argv;
    };

    // Copies the tool to `folder`/`name`; the name picks its behaviour ("slow", "linger",
    // "exit3", "daemon").
    RecordingTool(const QString &folder, const QString &name);

    QString path() const { return m_path; }
    QList<Start> starts() const;
    // The pid a "daemon" tool's background process wrote, once it exists (0 if it never does).
    qint64 waitForDaemonPid() const;
    // "<name> <args>" of every start of every tool in the folder, in the order they ran.
    static QStringList journal(const QString &folder);

private:
    QString m_path;
};
