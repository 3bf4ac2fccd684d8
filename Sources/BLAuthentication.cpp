#include "BLAuthentication.h"

#include "desktop/Beep.h"
#include "desktop/Bundle.h"
#include "desktop/NotificationCenter.h"
#include "desktop/SystemLog.h"
#include "network/NameServer.h"
#include "privilege/BsdToolView.h"

#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#include <vector>

const QString BLAuthenticatedNotification = QStringLiteral("BLAuthenticatedNotification");
const QString BLDeauthenticatedNotification = QStringLiteral("BLDeauthenticatedNotification");

namespace {

constexpr int kMaxArguments = 19;

// Names with these were never looked up (a shell would have read them): the answer stays 0.
bool safeInDoubleQuotes(const QString &text)
{
    for (const QChar c : text)
        if (c == '"' || c == '$' || c == '`' || c == '\\' || c == '\n' || c == '\r')
            return false;
    return true;
}

// True when the listed command is the program `process` names, not merely a mention of it.
bool commandIsProgram(const QString &command, const QString &process)
{
    if (command.startsWith(process, Qt::CaseInsensitive) &&
        (command.size() == process.size() || command.at(process.size()).isSpace()))
        return true;
    const QString program = process.section(' ', 0, 0, QString::SectionSkipEmpty);
    const QString firstWord = command.section(' ', 0, 0, QString::SectionSkipEmpty);
    return !program.isEmpty() && firstWord.contains('/') &&
           firstWord.endsWith('/' + program, Qt::CaseInsensitive);
}

// The id on the first line of `listing` that is the program `process` names, or 0.
int scanListing(const QString &listing, const QString &process)
{
    for (const QString &line : listing.split('\n')) {
        const qsizetype at = line.indexOf(process, 0, Qt::CaseInsensitive);
        if (at < 0)
            continue;
        const QString prefix = line.left(at).trimmed();
        // The lookup's own shell and grep mention the name too; the real process may come later.
        if (prefix.contains(QLatin1String("grep")))
            continue;
        // Every line of the lister starts with an id; nothing before the name means no id.
        if (prefix.isEmpty())
            return 0;
        const QString trimmed = line.trimmed();
        qsizetype idEnd = 0;
        while (idEnd < trimmed.size() && !trimmed.at(idEnd).isSpace())
            ++idEnd;
        bool numeric = false;
        const int pid = trimmed.left(idEnd).toInt(&numeric);
        if (!numeric || pid <= 0)
            continue;
        if (commandIsProgram(trimmed.mid(idEnd).trimmed(), process))
            return pid;
    }
    return 0;
}

// The whole of a small file of a process's /proc folder; empty when the process has gone.
QByteArray readProcFile(int pid, const char *name)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/%s", pid, name);
    QByteArray data;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return data;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
        data.append(buffer, got);
    ::close(fd);
    return data;
}

// Real and effective user both root: a process of another user is never one of ours, even
// one that made itself undumpable (its /proc folder then belongs to root).
bool ownedByRoot(int pid)
{
    const QByteArray status = readProcFile(pid, "status");
    const qsizetype at = status.indexOf("\nUid:");
    if (at < 0)
        return false;
    const QList<QByteArray> ids =
        status.mid(at + 5, status.indexOf('\n', at + 5) - at - 5).simplified().split(' ');
    return ids.size() >= 2 && ids[0] == "0" && ids[1] == "0";
}

// Neither a kernel thread nor a zombie (both are listed without arguments), so the arguments
// are still on their way.
bool betweenImages(int pid)
{
    constexpr unsigned long kKernelThread = 0x00200000; // PF_KTHREAD
    const QByteArray stat = readProcFile(pid, "stat");
    const qsizetype afterName = stat.lastIndexOf(')');
    if (afterName < 0)
        return false;
    // After the name: state, ppid, pgrp, session, tty, tpgid, flags.
    const QList<QByteArray> fields = stat.mid(afterName + 2).split(' ');
    return fields.size() > 6 && fields[0] != "Z" && fields[0] != "X" &&
           !(fields[6].toULong() & kKernelThread);
}

// The lines `ps -axwwopid,command` shows for root's processes whose command line holds `text`,
// read from /proc: arguments joined by spaces, "[name]" for a process without any.
QString rootProcessListing(const QString &text)
{
    const QByteArray needle = text.toLocal8Bit();
    std::vector<int> pids;
    if (DIR *proc = ::opendir("/proc")) {
        while (const dirent *entry = ::readdir(proc)) {
            char *end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (pid > 0 && *end == '\0' && pid != ::getpid())
                pids.push_back(int(pid));
        }
        ::closedir(proc);
    }
    std::sort(pids.begin(), pids.end());
    QString listing;
    for (const int pid : pids) {
        QByteArray command = readProcFile(pid, "cmdline");
        // A program that has just replaced its parent's image shows its arguments a moment later.
        for (int tries = 0; command.isEmpty() && tries < 1000 && betweenImages(pid); ++tries) {
            sched_yield();
            command = readProcFile(pid, "cmdline");
        }
        while (command.endsWith('\0'))
            command.chop(1);
        if (command.isEmpty()) {
            command = '[' + readProcFile(pid, "comm").trimmed() + ']';
        }
        command.replace('\0', ' ');
        // Velloran's name server gives up root for bind: still ours, as only root starts it so.
        if (!command.contains(needle) ||
            !(ownedByRoot(pid) || NameServer::isOwnServer(std::to_string(pid))))
            continue;
        listing += QString::asprintf("%7d ", pid) + QString::fromLocal8Bit(command) + '\n';
    }
    return listing;
}

} // namespace

BLAuthentication::BLAuthentication() = default;

BLAuthentication::~BLAuthentication()
{
    deauthenticate();
}

BLAuthentication *BLAuthentication::sharedInstance()
{
    // Lives to the end of the process, as its rights do.
    static BLAuthentication *sharedTask = new BLAuthentication;
    return sharedTask;
}

AuthorizationService::Handle *BLAuthentication::handle()
{
    if (authorizationRef && m_handleGeneration != AuthorizationService::generation())
        authorizationRef.reset();
    return authorizationRef.get();
}

bool BLAuthentication::isAuthenticated(const QStringList &forCommands)
{
    AuthorizationService *service = AuthorizationService::current();
    if (!handle()) {
        authorizationRef = service->create();
        m_handleGeneration = AuthorizationService::generation();
    }
    if (forCommands.isEmpty() || !authorizationRef)
        return false;
    return service->copyRights(*authorizationRef, forCommands,
                               AuthorizationService::Interaction::Never) == 0;
}

bool BLAuthentication::fetchPassword(const QStringList &forCommands)
{
    // Without a handle there is nothing to extend; authenticate() makes one first.
    if (forCommands.isEmpty() || !handle())
        return false;
    const int status = AuthorizationService::current()->copyRights(
        *authorizationRef, forCommands, AuthorizationService::Interaction::Allowed);
    if (status != 0)
        return false;
    NotificationCenter::defaultCenter()->postNotification(BLAuthenticatedNotification,
                                                          sharedInstance());
    return true;
}

bool BLAuthentication::authenticate(const QStringList &forCommands)
{
    if (!isAuthenticated(forCommands))
        fetchPassword(forCommands);
    return isAuthenticated(forCommands);
}

void BLAuthentication::deauthenticate()
{
    if (!handle())
        return;
    AuthorizationService::current()->free(std::move(authorizationRef));
    NotificationCenter::defaultCenter()->postNotification(BLDeauthenticatedNotification,
                                                          sharedInstance());
}

bool BLAuthentication::executeCommand(const QString &pathToCommand, const QStringList &arguments)
{
    if (!authenticate({pathToCommand}))
        return false;
    const int err = AuthorizationService::current()->executeWithPrivileges(
        *authorizationRef, pathToCommand, arguments.mid(0, kMaxArguments));
    if (err == 0)
        return true;
    // Root runs nothing from a folder others can change; the user is told where and what to do.
    const QByteArray resources =
        QFileInfo(Bundle::resourcePath()).canonicalFilePath().toLocal8Bit();
    if (err == EPERM && BsdToolView::checkRootOnly(resources.constData()) == EPERM)
        m_refusedBundle = QFileInfo(Bundle::bundlePath()).canonicalFilePath();
    Beep::beep();
    SystemLog::log(QString::asprintf("Error %d in AuthorizationExecuteWithPrivileges", err));
    SystemLog::log(QStringLiteral("\nPath: %1").arg(pathToCommand));
    return false;
}

std::optional<QByteArray> BLAuthentication::readCommand(const QString &pathToCommand,
                                                        const QStringList &arguments)
{
    if (!authenticate({pathToCommand}))
        return std::nullopt;
    QByteArray answer;
    const int err = AuthorizationService::current()->readWithPrivileges(
        *authorizationRef, pathToCommand, arguments, answer);
    if (err == 0)
        return answer;
    // A service that can't read (ENOSYS) has nothing to say about it.
    if (err != ENOSYS)
        SystemLog::log(QStringLiteral("Error %1 reading %2").arg(err).arg(pathToCommand));
    return std::nullopt;
}

int BLAuthentication::getPID(const QString &forProcess)
{
    if (forProcess.isEmpty())
        return 0;
    // These once went through a shell; they still find nothing and say so as they always did.
    if (!safeInDoubleQuotes(forProcess)) {
        SystemLog::log(QStringLiteral("Error opening pipe: %1").arg(forProcess));
        Beep::beep();
        return 0;
    }
    return scanListing(rootProcessListing(forProcess), forProcess);
}

bool BLAuthentication::killProcess(const QString &commandFromPS)
{
    if (!isAuthenticated({commandFromPS}))
        authenticate({commandFromPS});
    const QString pid = QString::asprintf("%d", getPID(commandFromPS));
    if (pid.toInt() > 0)
        return executeCommand(QStringLiteral("/bin/kill"), {pid});
    Beep::beep();
    SystemLog::log(QStringLiteral("Error killing process %1, invalid PID.").arg(pid));
    return false;
}
