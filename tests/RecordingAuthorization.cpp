#include "RecordingAuthorization.h"

#include "Beep.h"
#include "NotificationCenter.h"
#include "SystemLog.h"

QString RecordingAuthorization::Run::commandLine() const
{
    return (QStringList{path} + arguments).join(' ');
}

void PrintTo(const RecordingAuthorization::Run &run, std::ostream *out)
{
    *out << '"' << run.commandLine().toStdString() << "\" (status " << run.status << ')';
}

void RecordingAuthorization::failStart(const QString &path, int status)
{
    auto previous = m_decide;
    m_decide = [=](const Run &run) {
        if (run.path == path)
            return status;
        return previous ? previous(run) : 0;
    };
}

QStringList RecordingAuthorization::commandLines() const
{
    QStringList lines;
    for (const Run &run : m_runs)
        lines << run.commandLine();
    return lines;
}

QStringList RecordingAuthorization::paths() const
{
    QStringList paths;
    for (const Run &run : m_runs)
        paths << run.path;
    return paths;
}

void RecordingAuthorization::clearRecord()
{
    m_runs.clear();
    m_prompts = m_silentChecks = m_releases = m_handlesCreated = 0;
}

std::unique_ptr<AuthorizationService::Handle> RecordingAuthorization::create()
{
    ++m_handlesCreated;
    return std::make_unique<Handle>();
}

int RecordingAuthorization::copyRights(Handle &, const QStringList &, Interaction interaction)
{
    if (interaction == Interaction::Never) {
        ++m_silentChecks;
        return m_root || m_rightsHeld ? 0 : EACCES;
    }
    ++m_prompts;
    Answer answer = m_standingAnswer;
    if (!m_nextAnswers.empty()) {
        answer = m_nextAnswers.front();
        m_nextAnswers.pop_front();
    }
    if (answer == Answer::Cancel)
        return ECANCELED;
    m_rightsHeld = true;
    return 0;
}

void RecordingAuthorization::free(std::unique_ptr<Handle>)
{
    ++m_releases;
    if (!m_root)
        m_rightsHeld = false;
}

int RecordingAuthorization::executeWithPrivileges(Handle &, const QString &path,
                                                  const QStringList &arguments)
{
    Run run{path, arguments, 0};
    if (!m_root && !m_rightsHeld)
        run.status = EACCES;
    else if (m_decide)
        run.status = m_decide(run);
    m_runs << run;
    return run.status;
}

ScopedRecordingAuthorization::ScopedRecordingAuthorization()
    : m_previous(AuthorizationService::current())
{
    AuthorizationService::setCurrent(&m_recorder);
}

ScopedRecordingAuthorization::~ScopedRecordingAuthorization()
{
    AuthorizationService::setCurrent(m_previous);
}

CapturedFeedback::CapturedFeedback()
{
    SystemLog::setHandler([this](const QString &entry) { m_log << entry; });
    Beep::setHandler([this] { ++m_beeps; });
}

CapturedFeedback::~CapturedFeedback()
{
    SystemLog::setHandler({});
    Beep::setHandler({});
}

void CapturedFeedback::clear()
{
    m_log.clear();
    m_beeps = 0;
}

NotificationCounter::NotificationCounter(const QString &name, QObject *sender)
{
    NotificationCenter::defaultCenter()->addObserver(&m_observer, name, sender,
                                                     [this](const Notification &) { ++m_count; });
}

NotificationCounter::~NotificationCounter()
{
    NotificationCenter::defaultCenter()->removeObserver(&m_observer);
}
