#pragma once

#include "privilege/AuthorizationService.h"

#include <QList>
#include <QMap>
#include <QStringList>
#include <cerrno>
#include <functional>
#include <sys/types.h>

// Everything Velloran says for the object's lifetime, in order: "log <entry>", "beep",
// "alert <text>", "open <path>" (and "run <command line>" from a RecordingAuthorization).
class CapturedFeedback
{
public:
    CapturedFeedback();
    virtual ~CapturedFeedback();
    QStringList log() const; // the log entries alone
    QStringList events;
};

// The one recording runner: in place of the authorization service for its lifetime, it starts
// nothing, writes each start down among the feedback ("run /sbin/ipfw -f flush", an argument
// with a blank or an empty one quoted) and answers checks and password requests as told.
class RecordingAuthorization : public AuthorizationService, public CapturedFeedback
{
public:
    enum class Answer { Grant, Cancel };
    RecordingAuthorization();
    ~RecordingAuthorization() override;
    RecordingAuthorization(const RecordingAuthorization &) = delete;
    RecordingAuthorization &operator=(const RecordingAuthorization &) = delete;

    // Starts whose command line begins with `prefix` fail with `status`; 0 lets them start again.
    void failStart(const QString &prefix, int status = ENOENT)
    {
        status ? void(m_failures[prefix] = status) : void(m_failures.remove(prefix));
    }
    // Sees each start's command line as root would run it ("/bin/kill 42" may really signal).
    std::function<void(const QString &line)> onRun;
    void clearRecord() { events.clear(), prompts = releases = 0; }

    bool rightsHeld = true;        // a release drops them
    Answer answer = Answer::Grant; // to every password request
    int prompts = 0, releases = 0;

    std::unique_ptr<Handle> create() override;
    int copyRights(Handle &, const QStringList &, Interaction interaction) override;
    void free(std::unique_ptr<Handle>) override;
    int executeWithPrivileges(Handle &, const QString &path, const QStringList &args) override;

private:
    QMap<QString, int> m_failures;
    AuthorizationService *m_previous;
};

// A copy of tests/tools/RecordingTool.cpp under a name of the test's choosing ("slow", "linger"
// and "exit3" pick its behaviour), and what it wrote down about each of its starts.
class RecordingTool
{
public:
    struct Start {
        qint64 pid = 0, sid = 0;
        uint uid = 0;
        QString cwd, stdinTarget, stdoutTarget;
        QStringList fds, environment, argv;
    };
    RecordingTool(const QString &folder, const QString &name);
    QString path() const { return m_path; }
    QList<Start> starts() const;
    // "<name> <args>" of every start of every tool in the folder, in the order they ran.
    static QStringList journal(const QString &folder);

private:
    QString m_path;
};

// An idle process started with exactly the argv given (argv[0] too), so that the process lookup
// sees a daemon's command line without running one. Ended by its pid.
class FakeProcess
{
public:
    explicit FakeProcess(const QStringList &argv);
    ~FakeProcess();
    FakeProcess(const FakeProcess &) = delete;
    FakeProcess &operator=(const FakeProcess &) = delete;
    const pid_t pid;
};
