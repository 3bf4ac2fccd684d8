#include "RecordingAuthorization.h"

#include "desktop/Alert.h"
#include "desktop/Beep.h"
#include "desktop/SystemLog.h"
#include "TestSupport.h"
#include "desktop/Workspace.h"

#include <QFile>
#include <QHash>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

CapturedFeedback::CapturedFeedback()
{
    SystemLog::setHandler([this](const QString &entry) { events << "log " + entry; });
    Beep::setHandler([this] { events << QStringLiteral("beep"); });
    Alert::setHandler([this](const QString &text) { events << "alert " + text; });
    Workspace::setHandler([this](const QString &path) { return events << "open " + path, true; });
}

CapturedFeedback::~CapturedFeedback()
{
    SystemLog::setHandler({});
    Beep::setHandler({});
    Alert::setHandler({});
    Workspace::setHandler({});
}

QStringList CapturedFeedback::log() const
{
    QStringList entries;
    for (const QString &event : events)
        if (event.startsWith(QLatin1String("log ")))
            entries << event.mid(4);
    return entries;
}

RecordingAuthorization::RecordingAuthorization() : m_previous(AuthorizationService::current())
{
    AuthorizationService::setCurrent(this);
}

RecordingAuthorization::~RecordingAuthorization()
{
    AuthorizationService::setCurrent(m_previous);
}

std::unique_ptr<AuthorizationService::Handle> RecordingAuthorization::create()
{
    return std::make_unique<Handle>();
}

int RecordingAuthorization::copyRights(Handle &, const QStringList &, Interaction interaction)
{
    if (interaction == Interaction::Never)
        return rightsHeld ? 0 : EACCES;
    ++prompts;
    if (answer == Answer::Cancel)
        return ECANCELED;
    rightsHeld = true;
    return 0;
}

void RecordingAuthorization::free(std::unique_ptr<Handle>)
{
    ++releases;
    rightsHeld = false;
}

int RecordingAuthorization::executeWithPrivileges(Handle &, const QString &path,
                                                  const QStringList &args)
{
    QString line = path;
    for (const QString &arg : args)
        line += ' ' + (arg.isEmpty() || arg.contains(' ') ? '\'' + arg + '\'' : arg);
    events << "run " + line;
    if (!rightsHeld)
        return EACCES;
    for (auto failure = m_failures.cbegin(); failure != m_failures.cend(); ++failure)
        if (line.startsWith(failure.key()))
            return failure.value();
    if (onRun)
        onRun(line);
    return 0;
}

RecordingTool::RecordingTool(const QString &folder, const QString &name)
    : m_path(folder + '/' + name)
{
    QFile::remove(m_path);
    EXPECT_TRUE(QFile::copy(QStringLiteral(VELLORAN_RECORDING_TOOL), m_path)) << qPrintable(m_path);
    QFile::setPermissions(m_path, QFile::permissions(m_path) | QFile::ExeOwner | QFile::ExeGroup |
                                      QFile::ExeOther | QFile::ReadOther | QFile::ReadGroup);
}

QList<RecordingTool::Start> RecordingTool::starts() const
{
    QList<Start> starts;
    const QString record = QString::fromUtf8(TestSupport::readAll(m_path + ".record"));
    for (const QString &text : record.split(QStringLiteral("\nend\n"), Qt::SkipEmptyParts)) {
        QHash<QString, QStringList> v; // "key=value" lines
        for (const QString &line : text.split('\n', Qt::SkipEmptyParts))
            v[line.section('=', 0, 0)] << line.section('=', 1);
        starts << Start{v["pid"].value(0).toLongLong(), v["sid"].value(0).toLongLong(),
                        v["uid"].value(0).toUInt(), v["cwd"].value(0), v["stdin"].value(0),
                        v["stdout"].value(0), v["fds"].value(0).split(','), v["env"], v["arg"]};
    }
    return starts;
}

QStringList RecordingTool::journal(const QString &folder)
{
    return QString::fromUtf8(TestSupport::readAll(folder + "/journal"))
        .split('\n', Qt::SkipEmptyParts);
}

static pid_t spawnIdle(const QStringList &argv)
{
    std::vector<QByteArray> bytes(argv.size());
    std::vector<char *> args(argv.size() + 1, nullptr);
    for (qsizetype i = 0; i < argv.size(); ++i)
        args[size_t(i)] = (bytes[size_t(i)] = argv[i].toLocal8Bit()).data();
    pid_t pid = -1;
    return posix_spawn(&pid, VELLORAN_TEST_IDLE, nullptr, nullptr, args.data(), environ) ? -1 : pid;
}

FakeProcess::FakeProcess(const QStringList &argv) : pid(spawnIdle(argv)) {}

FakeProcess::~FakeProcess()
{
    if (pid > 0 && kill(pid, SIGKILL) == 0)
        waitpid(pid, nullptr, 0);
}
