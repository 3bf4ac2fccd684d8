#pragma once

#include "AuthorizationService.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <cerrno>
#include <deque>
#include <functional>
#include <memory>
#include <ostream>

// An authorization service that starts nothing: it records every privileged start, in order,
// and answers rights checks and password requests as the test tells it to.
//
//     ScopedRecordingAuthorization auth;           // in place until the end of the scope
//     auth->setRightsHeld(false);
//     auth->answerNextPrompt(RecordingAuthorization::Answer::Cancel);
//     ...
//     EXPECT_EQ(auth->commandLines(), QStringList{"/sbin/ipfw -f flush"});
class RecordingAuthorization : public AuthorizationService
{
public:
    struct Run {
        QString path;
        QStringList arguments;
        int status = 0; // what the start answered
        QString commandLine() const;
        bool operator==(const Run &other) const
        {
            return path == other.path && arguments == other.arguments;
        }
    };
    enum class Answer { Grant, Cancel };

    // Rights held now (initially yes). A release drops them, unless running as root.
    void setRightsHeld(bool held) { m_rightsHeld = held; }
    bool rightsHeld() const { return m_rightsHeld; }
    // As root every silent check answers yes and a release changes nothing.
    void setRunningAsRoot(bool root) { m_root = root; }

    // Password requests take the queued answers first, then the standing one (initially Grant).
    void answerNextPrompt(Answer answer) { m_nextAnswers.push_back(answer); }
    void answerPrompts(Answer answer) { m_standingAnswer = answer; }

    // Starts of `path` fail with `status` instead of succeeding.
    void failStart(const QString &path, int status = ENOENT);
    // Decides every start: return 0 to start, or a failure status.
    void setStartResult(std::function<int(const Run &)> decide) { m_decide = std::move(decide); }

    const QList<Run> &runs() const { return m_runs; }
    QStringList commandLines() const; // "path arg arg", one per start, failed ones too
    QStringList paths() const;
    int prompts() const { return m_prompts; }
    int silentChecks() const { return m_silentChecks; }
    int releases() const { return m_releases; }
    int handlesCreated() const { return m_handlesCreated; }
    void clearRecord();

    std::unique_ptr<Handle> create() override;
    int copyRights(Handle &handle, const QStringList &rights, Interaction interaction) override;
    void free(std::unique_ptr<Handle> handle) override;
    int executeWithPrivileges(Handle &handle, const QString &path,
                              const QStringList &arguments) override;

private:
    bool m_rightsHeld = true;
    bool m_root = false;
    Answer m_standingAnswer = Answer::Grant;
    std::deque<Answer> m_nextAnswers;
    std::function<int(const Run &)> m_decide;
    QList<Run> m_runs;
    int m_prompts = 0;
    int m_silentChecks = 0;
    int m_releases = 0;
    int m_handlesCreated = 0;
};

void PrintTo(const RecordingAuthorization::Run &run, std::ostream *out);

// Puts a fresh RecordingAuthorization in place for its lifetime, then the previous service back.
// Whatever the shared BLAuthentication held before is forgotten, so each test starts without a
// handle.
class ScopedRecordingAuthorization
{
public:
    ScopedRecordingAuthorization();
    ~ScopedRecordingAuthorization();
    ScopedRecordingAuthorization(const ScopedRecordingAuthorization &) = delete;
    ScopedRecordingAuthorization &operator=(const ScopedRecordingAuthorization &) = delete;

    RecordingAuthorization *operator->() { return &m_recorder; }
    RecordingAuthorization &operator*() { return m_recorder; }

private:
    RecordingAuthorization m_recorder;
    AuthorizationService *m_previous;
};

// Collects the system log's entries and the beeps for its lifetime.
class CapturedFeedback
{
public:
    CapturedFeedback();
    ~CapturedFeedback();
    const QStringList &log() const { return m_log; }
    int beeps() const { return m_beeps; }
    void clear();

private:
    QStringList m_log;
    int m_beeps = 0;
};

// Counts one named notification from one sender (any when null) for its lifetime.
class NotificationCounter
{
public:
    NotificationCounter(const QString &name, QObject *sender);
    ~NotificationCounter();
    int count() const { return m_count; }

private:
    QObject m_observer;
    int m_count = 0;
};
