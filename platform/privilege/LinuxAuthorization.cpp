#include "privilege/LinuxAuthorization.h"

#include "desktop/Alert.h"
#include "desktop/Bundle.h"
#include "privilege/HelperProtocol.h"
#include "privilege/Polkit.h"
#include "privilege/PrivilegedStart.h"
#include "desktop/SystemLog.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTemporaryFile>
#include <QWindow>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utility>

extern char **environ;

namespace {

// An exec-style, null-terminated argv over the 8-bit forms of `words`, valid while it lives.
class ExecVector
{
public:
    explicit ExecVector(const QStringList &words)
    {
        for (const QString &word : words)
            m_bytes.push_back(word.toLocal8Bit());
        for (QByteArray &bytes : m_bytes)
            m_pointers.push_back(bytes.data());
        m_pointers.push_back(nullptr);
    }
    char *const *data() { return m_pointers.data(); }

private:
    std::vector<QByteArray> m_bytes;
    std::vector<char *> m_pointers;
};

// The silent check may hold the window only a moment; a slower sudo counts as a refusal.
constexpr int kSilentStartMs = 500;
// A refusal holds for one burst of window activations: no sudo for every focus change.
constexpr qint64 kSilentRefusalMs = 3000;
constexpr int kReplyMs =
    std::max(PrivilegedStart::kToolWaitMs, PrivilegedStart::kAnswerWaitMs) + 10000;
constexpr int kEndMs = 3000;

// sudo runs that haven't ended yet when we stopped waiting for them; collected later.
std::vector<pid_t> g_unreaped;

void reapUnreaped()
{
    std::erase_if(g_unreaped, [](pid_t pid) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        return done == pid || (done < 0 && errno == ECHILD);
    });
}

// Waits up to `ms` for our child `pid`; true when it ended and was collected.
bool waitFor(pid_t pid, int ms)
{
    for (int waited = 0;; waited += 5) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD))
            return true;
        if (waited >= ms) {
            g_unreaped.push_back(pid);
            return false;
        }
        const struct timespec pause = {0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

// Reads exactly `size` bytes within `ms` (forever when negative).
bool receive(int fd, void *into, std::size_t size, int ms)
{
    char *at = static_cast<char *>(into);
    while (size > 0) {
        struct pollfd ready = {fd, POLLIN, 0};
        const int polled = poll(&ready, 1, ms);
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled <= 0)
            return false;
        const ssize_t got = recv(fd, at, size, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        at += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool sendAll(int fd, const std::string &data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        // MSG_NOSIGNAL: a helper that died must not take Velloran down with SIGPIPE.
        const ssize_t put = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

// Starts `program` with `arguments` in a session of its own (so no terminal is involved and sudo's
// credential cache is keyed by our process), `channel` as its stdout, and `environment`
// as its whole environment. Its stderr is ours, /dev/null when `quiet`, or `errors` when given.
pid_t spawn(const QString &program, const QStringList &arguments, int channel, bool quiet,
            const QList<QByteArray> &environment, int errors = -1)
{
    ExecVector argv(QStringList{program} + arguments);

    QList<QByteArray> envBytes = environment;
    std::vector<char *> envp;
    for (QByteArray &entry : envBytes)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    sigset_t signalSet;
    sigemptyset(&signalSet);
    posix_spawnattr_setsigmask(&attributes, &signalSet);
    sigfillset(&signalSet);
    posix_spawnattr_setsigdefault(&attributes, &signalSet);
    // The channel goes on stdout alone: sudo's password dialog inherits sudo's stdin.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (channel >= 0)
        posix_spawn_file_actions_adddup2(&actions, channel, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (quiet)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    else if (errors >= 0)
        posix_spawn_file_actions_adddup2(&actions, errors, STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    pid_t pid = -1;
    const int error =
        posix_spawn(&pid, argv.data()[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return error == 0 ? pid : -1;
}

// sudo sees our environment, with SUDO_ASKPASS pointing at `askpass` when there is one, and
// `extra` added (sudo passes it all on to the askpass).
pid_t spawnSudo(const QStringList &arguments, int channel, bool quiet,
                const QByteArray &askpass = {}, const QList<QByteArray> &extra = {},
                int errors = -1)
{
    QList<QByteArray> environment;
    for (char **entry = environ; *entry; ++entry)
        if (std::strncmp(*entry, "SUDO_ASKPASS=", 13) != 0)
            environment << QByteArray(*entry);
    if (!askpass.isEmpty())
        environment << "SUDO_ASKPASS=" + askpass;
    return spawn(LinuxAuthorization::sudoPath(), arguments, channel, quiet, environment + extra,
                 errors);
}

// The password dialog's setting for one request: Velloran's window (on X11) and a fresh file in
// which it counts its asks, so a second ask can say the password was wrong.
QList<QByteArray> askpassEnvironment(const QTemporaryFile &tries)
{
    QList<QByteArray> environment{"VELLORAN_ASKPASS_TRIES=" + tries.fileName().toLocal8Bit()};
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance()) &&
        QGuiApplication::platformName() == QLatin1String("xcb")) {
        QWindow *window = QGuiApplication::focusWindow();
        for (QWindow *candidate : QGuiApplication::topLevelWindows())
            if (!window && candidate->isVisible())
                window = candidate;
        if (window)
            environment << "VELLORAN_ASKPASS_PARENT=" + QByteArray::number(window->winId());
    }
    return environment;
}

// What sudo says when the user may not use it at all, however well the password was typed.
bool saysNotAllowed(const QByteArray &errors)
{
    return errors.contains("is not in the sudoers file") || errors.contains("is not allowed to");
}

QString notAllowedMessage()
{
    const passwd *entry = getpwuid(getuid());
    const QString name = entry ? QString::fromLocal8Bit(entry->pw_name) : QStringLiteral("NAME");
    return QStringLiteral(
               "Your account may not make changes as an administrator: sudo refused it. An "
               "administrator can allow it with \"adduser %1 sudo\"; then log out and log in "
               "again.")
        .arg(name);
}

// Forgets sudo's cached credential, or the next silent check would quietly succeed.
void dropSudoTicket()
{
    if (!QFileInfo(LinuxAuthorization::sudoPath()).isExecutable())
        return;
    const pid_t pid = spawnSudo({QStringLiteral("-k")}, -1, true);
    if (pid > 0)
        waitFor(pid, kEndMs);
}

// A debugger or tracer attached to us would hold whatever rights we gain.
bool beingTraced()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = status.readAll();
    const qsizetype at = text.indexOf("\nTracerPid:");
    return at < 0 || text.mid(at + 11, text.indexOf('\n', at + 1) - at - 11).trimmed() != "0";
}

// pkexec refuses a SHELL missing from /etc/shells and passes little on: give it only a PATH.
pid_t spawnPkexec(const QString &helper, int channel)
{
    return spawn(Polkit::pkexecPath(), {QStringLiteral("--disable-internal-agent"), helper},
                 channel, false, {QByteArray(PrivilegedStart::kToolPath)});
}

// The running root helper: sudo's pid and our end of the helper's socket.
class HelperSession
{
public:
    ~HelperSession() { end(); }

    enum class Launch { SudoSilently, SudoAsking, Pkexec };

    bool start(Launch launch)
    {
        m_notAllowed = false;
        // Whatever main did: no other program of the user's may copy the pipe to root out of us.
        prctl(PR_SET_DUMPABLE, 0);
        m_viaSudo = launch != Launch::Pkexec;
        // Lives until the helper answers or sudo gives up: the dialog counts its asks in it.
        QTemporaryFile tries;
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) < 0)
            return false;
        const QString helper = LinuxAuthorization::helperPath();
        const bool silent = launch == Launch::SudoSilently;
        if (launch == Launch::Pkexec) {
            m_child = spawnPkexec(helper, pair[1]);
        } else {
            const QStringList arguments =
                silent ? QStringList{QStringLiteral("-n"), QStringLiteral("--"), helper}
                       : QStringList{QStringLiteral("-A"), QStringLiteral("-p"),
                                     QStringLiteral("Password for %p: "), QStringLiteral("--"),
                                     helper};
            // A failed silent check is the normal case; sudo's complaint about it is noise.
            // When asking, what sudo says is read (and passed on to our stderr) to explain a
            // refusal.
            int errors[2] = {-1, -1};
            if (!silent && (!tries.open() || pipe2(errors, O_CLOEXEC) < 0)) {
                close(pair[0]);
                close(pair[1]);
                return false;
            }
            // A full pipe must cost a log line, never a root helper blocked on its stderr.
            if (errors[1] >= 0)
                fcntl(errors[1], F_SETFL, O_NONBLOCK);
            m_errors = errors[0];
            m_child = silent ? spawnSudo(arguments, pair[1], true)
                             : spawnSudo(arguments, pair[1], false,
                                         LinuxAuthorization::askpassPath().toLocal8Bit(),
                                         askpassEnvironment(tries), errors[1]);
            if (errors[1] >= 0)
                close(errors[1]);
        }
        close(pair[1]);
        m_channel = pair[0];
        if (m_child < 0) {
            end();
            return false;
        }
        char greeting[sizeof HelperProtocol::kGreeting] = {};
        if (!receive(m_channel, greeting, sizeof greeting, silent ? kSilentStartMs : -1) ||
            std::memcmp(greeting, HelperProtocol::kGreeting, sizeof greeting) != 0) {
            // sudo has ended (or is ending): wait so that all it said can be read.
            if (m_child > 0 && m_errors >= 0)
                waitFor(std::exchange(m_child, -1), kEndMs);
            m_notAllowed = saysNotAllowed(passOnErrors());
            end(silent ? 0 : kEndMs);
            return false;
        }
        m_holdsHelper = true;
        passOnErrors();
        return true;
    }

    // Whether the last start failed because sudo doesn't let this user run the helper at all.
    bool notAllowed() const { return m_notAllowed; }

    bool alive()
    {
        if (m_child < 0)
            return false;
        int status = 0;
        passOnErrors();
        // The helper never speaks unasked: anything readable means it has gone.
        struct pollfd ready = {m_channel, POLLIN, 0};
        if (waitpid(m_child, &status, WNOHANG) != 0 || poll(&ready, 1, 0) != 0) {
            end();
            return false;
        }
        return true;
    }

    int run(const QString &path, const QStringList &arguments, QByteArray *answer = nullptr)
    {
        HelperProtocol::Request request{path.toLocal8Bit().toStdString(), {}};
        for (const QString &argument : arguments)
            request.arguments.push_back(argument.toLocal8Bit().toStdString());
        const auto message = HelperProtocol::encode(request);
        if (!message)
            return EINVAL;
        std::int32_t status = 0;
        std::uint32_t size = 0;
        QByteArray said;
        const bool replied = sendAll(m_channel, *message) &&
                             receive(m_channel, &status, sizeof status, kReplyMs) &&
                             receive(m_channel, &size, sizeof size, kReplyMs) &&
                             size <= HelperProtocol::kMaxAnswerSize;
        if (replied)
            said.resize(qsizetype(size));
        if (!replied || !receive(m_channel, said.data(), size, kReplyMs)) {
            // No answer in time means we can't tell what happened: never call that a start.
            end();
            return EPIPE;
        }
        passOnErrors();
        if (answer)
            *answer = said;
        return status;
    }

    // Saying so ends the helper even while some other process holds a copy of the pipe; closing
    // it ends one that missed the word. True when sudo's ticket was dropped too. We stay
    // undumpable: the ticket, and the next helper, are still ours alone.
    bool end(int waitMs = kEndMs)
    {
        passOnErrors();
        if (m_errors >= 0) {
            close(m_errors);
            m_errors = -1;
        }
        if (m_channel >= 0) {
            if (m_holdsHelper)
                sendAll(m_channel, std::string(HelperProtocol::kEnd, sizeof HelperProtocol::kEnd));
            close(m_channel);
            m_channel = -1;
        }
        if (m_child > 0)
            waitFor(m_child, waitMs);
        m_child = -1;
        const bool dropTicket = m_holdsHelper && m_viaSudo;
        m_holdsHelper = false;
        if (dropTicket)
            dropSudoTicket();
        return dropTicket;
    }

private:
    // Copies what sudo and the helper wrote since the last call to our stderr, and returns it.
    QByteArray passOnErrors()
    {
        QByteArray said;
        if (m_errors < 0)
            return said;
        for (;;) {
            struct pollfd ready = {m_errors, POLLIN, 0};
            char buffer[4096];
            if (poll(&ready, 1, 0) <= 0)
                break;
            const ssize_t got = read(m_errors, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            said.append(buffer, got);
        }
        if (!said.isEmpty()) {
            std::fwrite(said.constData(), 1, static_cast<std::size_t>(said.size()), stderr);
            std::fflush(stderr);
        }
        return said;
    }

    // sudo, or pkexec which became the helper.
    pid_t m_child = -1;
    int m_channel = -1;
    bool m_holdsHelper = false;
    bool m_viaSudo = false;
    // The read end of sudo's stderr while asking (and the helper's, once started that way).
    int m_errors = -1;
    bool m_notAllowed = false;
};

class LinuxHandle : public AuthorizationService::Handle
{
public:
    HelperSession session;
    // polkit may keep an authorization for this process, which the release revokes.
    bool askedPolkit = false;
    // Until then the silent check answers no without asking sudo again.
    QDeadlineTimer silentRefusal;
};

bool runningAsRoot()
{
    return geteuid() == 0;
}

} // namespace

LinuxAuthorization *LinuxAuthorization::shared()
{
    static auto *service = new LinuxAuthorization;
    return service;
}

QString LinuxAuthorization::sudoPath()
{
    return QStringLiteral("/usr/bin/sudo");
}

QString LinuxAuthorization::helperPath()
{
    return Bundle::resourcePath() + QStringLiteral("/velloran-helper");
}

QString LinuxAuthorization::askpassPath()
{
    return Bundle::resourcePath() + QStringLiteral("/velloran-askpass");
}

QString LinuxAuthorization::tracedMessage()
{
    return QStringLiteral("Velloran won't ask for administrator rights while another program is "
                          "tracing it (a debugger, strace): that program could use the rights "
                          "too. Quit it, then try again.");
}

std::unique_ptr<AuthorizationService::Handle> LinuxAuthorization::create()
{
    reapUnreaped();
    return std::make_unique<LinuxHandle>();
}

int LinuxAuthorization::copyRights(Handle &handle, const QStringList &, Interaction interaction)
{
    reapUnreaped();
    if (runningAsRoot())
        return 0;
    auto &linuxHandle = static_cast<LinuxHandle &>(handle);
    HelperSession &session = linuxHandle.session;
    const bool interactive = interaction == Interaction::Allowed;
    if (beingTraced()) {
        session.end();
        if (interactive)
            Alert::run(tracedMessage());
        return EACCES;
    }
    if (session.alive())
        return 0;
    if (!interactive && !linuxHandle.silentRefusal.hasExpired())
        return EACCES;
    if (!QFileInfo(helperPath()).isExecutable()) {
        if (interactive)
            SystemLog::log(QStringLiteral("Can't ask for administrator rights: %1 is missing")
                               .arg(helperPath()));
        return ENOENT;
    }
    // Only a request may ask polkit: pkexec can't start the helper without possibly prompting.
    if (interactive && QFileInfo(Polkit::pkexecPath()).isExecutable() &&
        Polkit::actionInstalledFor(helperPath())) {
        switch (Polkit::obtainAuthorization()) {
        case Polkit::Answer::Authorized:
            linuxHandle.askedPolkit = true;
            if (session.start(HelperSession::Launch::Pkexec))
                return 0;
            SystemLog::log(
                QStringLiteral("pkexec could not start %1; asking through sudo").arg(helperPath()));
            break;
        case Polkit::Answer::Refused:
            return EACCES;
        case Polkit::Answer::Unavailable:
            break;
        }
    }
    if (!QFileInfo(sudoPath()).isExecutable()) {
        if (interactive)
            SystemLog::log(QStringLiteral("Can't ask for administrator rights: %1 or %2 is missing")
                               .arg(sudoPath(), helperPath()));
        return ENOENT;
    }
    if (interactive) {
        if (session.start(HelperSession::Launch::SudoAsking))
            return 0;
        if (session.notAllowed())
            Alert::run(notAllowedMessage());
        return EACCES;
    }
    if (session.start(HelperSession::Launch::SudoSilently))
        return 0;
    linuxHandle.silentRefusal.setRemainingTime(kSilentRefusalMs);
    return EACCES;
}

void LinuxAuthorization::free(std::unique_ptr<Handle> handle)
{
    auto *linuxHandle = static_cast<LinuxHandle *>(handle.get());
    const bool askedPolkit = linuxHandle && linuxHandle->askedPolkit;
    const bool dropped = linuxHandle && linuxHandle->session.end();
    handle.reset();
    if (runningAsRoot())
        return;
    if (askedPolkit)
        Polkit::revokeTemporaryAuthorization();
    // A ticket sudo cached without our helper (a silent check, say) goes too.
    if (!dropped)
        dropSudoTicket();
}

int LinuxAuthorization::executeWithPrivileges(Handle &handle, const QString &path,
                                              const QStringList &arguments)
{
    reapUnreaped();
    if (runningAsRoot()) {
        // Root copies itself, so a link a user left at the destination is never followed.
        if (path == QLatin1String("/bin/cp") && arguments.size() == 2 &&
            !arguments[0].startsWith('-') && !arguments[1].startsWith('-'))
            return PrivilegedStart::copy(AT_FDCWD, arguments[0].toLocal8Bit().constData(),
                                         arguments[1].toLocal8Bit().constData());
        const QByteArray pathBytes = path.toLocal8Bit();
        const QByteArray standIns =
            (Bundle::resourcePath() + QStringLiteral("/bsdtools")).toLocal8Bit();
        ExecVector argv(QStringList{path} + arguments);
        return PrivilegedStart::start(pathBytes.constData(), argv.data(), standIns.constData());
    }
    HelperSession &session = static_cast<LinuxHandle &>(handle).session;
    if (!session.alive())
        return EACCES;
    return session.run(path, arguments);
}

int LinuxAuthorization::readWithPrivileges(Handle &handle, const QString &path,
                                           const QStringList &arguments, QByteArray &answer)
{
    reapUnreaped();
    if (runningAsRoot()) {
        ExecVector argv(QStringList{path} + arguments);
        std::string output;
        const int status = PrivilegedStart::capture(-1, path.toLocal8Bit().constData(), argv.data(),
                                                    output, HelperProtocol::kMaxAnswerSize);
        answer = QByteArray::fromStdString(output);
        return status;
    }
    HelperSession &session = static_cast<LinuxHandle &>(handle).session;
    if (!session.alive())
        return EACCES;
    return session.run(path, arguments, &answer);
}
