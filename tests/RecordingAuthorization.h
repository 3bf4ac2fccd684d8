#pragma once

#include "privilege/AuthorizationService.h"

#include <QList>
#include <QMap>
#include <QStringList>
#include <cerrno>
#include <functional>
#include <sys/types.h>

// All Velloran says meanwhile, in order: "log <entry>", "beep", "alert <text>", "open <path>".
class CapturedFeedback
{
public:
    CapturedFeedback();
    virtual ~CapturedFeedback();
    QStringList log() const; // the log entries alone
    QStringList events;
};

// Root's stand-in: starts nothing, records "run <command line>", answers as told.
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

// tests/tools/RecordingTool.cpp under a name that picks its behaviour, and what it recorded.
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

// An idle process with exactly the argv given (argv[0] too), ended by its pid.
class FakeProcess
{
public:
    explicit FakeProcess(const QStringList &argv);
    ~FakeProcess();
    FakeProcess(const FakeProcess &) = delete;
    FakeProcess &operator=(const FakeProcess &) = delete;
    const pid_t pid;
};
