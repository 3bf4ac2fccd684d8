#include "privilege/PrivilegedStart.h"

#include "privilege/BsdToolView.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace PrivilegedStart {

const char *const kToolPath = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

namespace {

char g_requester[32] = "";

// Tools still running when their wait ended, with the read end of their stderr pipe; collected
// later so none stays a zombie, and the pipe stays open so a late write can't kill the tool.
struct Outstanding {
    pid_t pid;
    int errorFd;
};
std::vector<Outstanding> g_outstanding;

// The tool view made once for a stand-in folder, while our own mounts and root stay the ones it
// was made from; each tool joins it instead of building its own.
struct KeptView {
    std::string standIns;
    struct stat ns {
    };
    struct stat root {
    };
    int nsFd = -1;
    int rootFd = -1;
};
KeptView g_view;

void closeFrom(int lowest, int highest)
{
    if (lowest > highest)
        return;
#ifdef SYS_close_range
    if (syscall(SYS_close_range, static_cast<unsigned>(lowest), static_cast<unsigned>(highest),
                0u) == 0)
        return;
#endif
    struct rlimit limit {
    };
    int top = highest;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        top = std::min<long long>(highest, static_cast<long long>(limit.rlim_cur) - 1);
    for (int fd = lowest; fd <= top; ++fd)
        close(fd);
}

[[noreturn]] void reportAndExit(int reportFd, int error)
{
    // A short write can't happen for 4 bytes on a fresh pipe; nothing else is safe here anyway.
    ssize_t ignored = write(reportFd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

// Runs in the child, on its parent's memory until execve: only async-signal-safe calls.
[[noreturn]] void becomeTool(const char *path, char *const argv[], const char *standInsDir,
                             int reportFd, int errorFd, const KeptView *view)
{
    // Keep the report pipe clear of the three standard descriptors we are about to replace.
    if (reportFd <= STDERR_FILENO) {
        reportFd = fcntl(reportFd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (reportFd < 0)
            _exit(127);
    }
    // Ignored signals stay ignored across exec; the tool must see the defaults. Our handlers go
    // before any signal is let in: they would run on memory this child shares with its parent.
    struct sigaction defaults {
    };
    defaults.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    if (setsid() < 0 || chdir("/") < 0)
        reportAndExit(reportFd, errno);
    umask(022);

    if (errorFd <= STDERR_FILENO) {
        errorFd = fcntl(errorFd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (errorFd < 0)
            reportAndExit(reportFd, errno);
    }
    const int devNull = open("/dev/null", O_RDWR);
    if (devNull < 0 || dup2(devNull, STDIN_FILENO) < 0 || dup2(devNull, STDOUT_FILENO) < 0 ||
        dup2(errorFd, STDERR_FILENO) < 0)
        reportAndExit(reportFd, errno);
    if (const int viewError = view ? BsdToolView::join(standInsDir, view->nsFd, view->rootFd)
                                   : BsdToolView::enter(standInsDir))
        reportAndExit(reportFd, viewError);
    // close fds before executing the tool, so it can't reach Velloran's or the helper's pipes
    if (reportFd > STDERR_FILENO + 1)
        closeFrom(STDERR_FILENO + 1, reportFd - 1);
    closeFrom(reportFd + 1, ~0U >> 1);

    char *const environment[] = {const_cast<char *>(kToolPath),
                                 g_requester[0] ? g_requester : nullptr, nullptr};
    execve(path, argv, environment);
    reportAndExit(reportFd, errno);
}

struct ChildStart {
    const char *path;
    char *const *argv;
    const char *standInsDir;
    int reportFd;
    int errorFd;
    const KeptView *view;
};

int childMain(void *start)
{
    const auto *what = static_cast<const ChildStart *>(start);
    becomeTool(what->path, what->argv, what->standInsDir, what->reportFd, what->errorFd,
               what->view);
}

struct KeepStart {
    const char *standInsDir;
    int nsFd = -1;
    int rootFd = -1;
    int error = 0;
};

int keepMain(void *start)
{
    auto *what = static_cast<KeepStart *>(start);
    what->error = BsdToolView::keep(what->standInsDir, what->nsFd, what->rootFd);
    _exit(0);
}

// Runs `body` in a child on our memory (and, with `flags`, more of ours), all signals held.
pid_t cloneOnOurMemory(int (*body)(void *), void *argument, int flags)
{
    alignas(64) char childStack[64 * 1024];
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = clone(body, childStack + sizeof childStack,
                            CLONE_VM | CLONE_VFORK | SIGCHLD | flags, argument);
    const int cloneError = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
#if defined(__SANITIZE_ADDRESS__)
    // The child never returned from its frames, so their marks would stay on our stack.
    ASAN_UNPOISON_MEMORY_REGION(childStack, sizeof childStack);
#endif
    errno = cloneError;
    return pid;
}

// The kept view for `standInsDir`, made now when there is none or ours has moved; null when no
// view can be kept (each tool then makes its own, and reports what fails).
const KeptView *keptView(const char *standInsDir)
{
    struct stat dir, ns, root;
    if (!standInsDir || !*standInsDir || ::stat(standInsDir, &dir) != 0 ||
        ::stat("/proc/self/ns/mnt", &ns) != 0 || ::stat("/", &root) != 0)
        return nullptr;
    const auto same = [](const struct stat &a, const struct stat &b) {
        return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    };
    if (g_view.nsFd >= 0 && g_view.standIns == standInsDir && same(g_view.ns, ns) &&
        same(g_view.root, root))
        return &g_view;
    for (int *fd : {&g_view.nsFd, &g_view.rootFd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    KeepStart what{standInsDir};
    const pid_t pid = cloneOnOurMemory(keepMain, &what, CLONE_FILES);
    if (pid < 0)
        return nullptr;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (what.error != 0) {
        for (const int fd : {what.nsFd, what.rootFd})
            if (fd >= 0)
                close(fd);
        return nullptr;
    }
    // The tool's standard descriptors are replaced before it joins: keep ours clear of them.
    for (int *fd : {&what.nsFd, &what.rootFd}) {
        if (*fd <= STDERR_FILENO) {
            const int moved = fcntl(*fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
            close(*fd);
            *fd = moved;
        }
    }
    if (what.nsFd < 0 || what.rootFd < 0)
        return nullptr;
    g_view = {standInsDir, ns, root, what.nsFd, what.rootFd};
    return &g_view;
}

// What a tool wrote on stderr: passed on to ours, with its last line kept for the log.
struct ErrorText {
    std::string last;
    std::string pending;

    // Reads what is there without blocking; false once every writer has closed the pipe.
    bool drain(int fd)
    {
        char buffer[4096];
        for (;;) {
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return got < 0;
            ssize_t ignored = write(STDERR_FILENO, buffer, static_cast<size_t>(got));
            (void)ignored;
            pending.append(buffer, static_cast<size_t>(got));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                if (end > 0)
                    last = pending.substr(0, std::min<size_t>(end, 300));
                pending.erase(0, end + 1);
            }
            if (pending.size() > 300)
                pending.erase(0, pending.size() - 300);
        }
    }

    std::string lastLine() const { return pending.empty() ? last : pending; }
};

long long nowMs()
{
    struct timespec now {
    };
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Waits up to waitMs for the tool to end, reading its stderr meanwhile. True with its status once
// it ended; false while it still runs.
bool waitForExit(pid_t pid, int waitMs, int errorFd, ErrorText &text, int &status)
{
    int pidfd = -1;
#ifdef SYS_pidfd_open
    pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#endif
    const long long deadline = nowMs() + waitMs;
    bool open = true;
    bool ended = false;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD)) {
            ended = true;
            break;
        }
        const long long left = deadline - nowMs();
        if (left <= 0)
            break;
        // Without pidfds, look every few milliseconds.
        struct pollfd ready[2] = {{errorFd, POLLIN, 0}, {pidfd, POLLIN, 0}};
        const int timeout = pidfd >= 0 ? static_cast<int>(left) : 2;
        if (poll(open ? ready : ready + 1, open ? (pidfd >= 0 ? 2 : 1) : (pidfd >= 0 ? 1 : 0),
                 timeout) < 0 &&
            errno != EINTR)
            break;
        if (open && ready[0].revents)
            open = text.drain(errorFd);
    }
    if (pidfd >= 0)
        close(pidfd);
    text.drain(errorFd);
    return ended;
}

} // namespace

void setRequestingUser(const char *uid)
{
    g_requester[0] = '\0';
    if (!uid || !*uid || std::strlen(uid) > 10 ||
        std::strspn(uid, "0123456789") != std::strlen(uid))
        return;
    std::snprintf(g_requester, sizeof g_requester, "SUDO_UID=%s", uid);
}

const char *requestingUser(const char *sudoUid, const char *pkexecUid)
{
    const bool bySudo = sudoUid && *sudoUid;
    const bool byPkexec = pkexecUid && *pkexecUid;
    if (bySudo == byPkexec)
        return nullptr;
    return bySudo ? sudoUid : pkexecUid;
}

void reapFinished()
{
    std::erase_if(g_outstanding, [](const Outstanding &tool) {
        int status = 0;
        const pid_t done = waitpid(tool.pid, &status, WNOHANG);
        ErrorText ignored;
        ignored.drain(tool.errorFd);
        if (done != tool.pid && !(done < 0 && errno == ECHILD))
            return false;
        close(tool.errorFd);
        return true;
    });
}

int start(const char *path, char *const argv[], const char *standInsDir, int waitMs)
{
    reapFinished();
    if (!path || path[0] != '/' || !argv || !argv[0])
        return EINVAL;

    int report[2];
    if (pipe2(report, O_CLOEXEC) < 0)
        return errno;
    // The tool's stderr: read here to tell why a tool failed. A daemon detaches from it.
    int errors[2];
    if (pipe2(errors, O_CLOEXEC) < 0) {
        const int error = errno;
        close(report[0]);
        close(report[1]);
        return error;
    }
    fcntl(errors[0], F_SETFL, O_NONBLOCK);

    // The child borrows our memory until it execs (as posix_spawn does): no copy of a large
    // process to make and tear down again for every tool. All signals wait meanwhile.
    ChildStart what{path, argv, standInsDir, report[1], errors[1], keptView(standInsDir)};
    const pid_t pid = cloneOnOurMemory(childMain, &what, 0);
    const int cloneError = errno;
    close(report[1]);
    close(errors[1]);
    if (pid < 0) {
        close(report[0]);
        close(errors[0]);
        return cloneError;
    }

    // The pipe closes without a word when execve succeeded; otherwise it carries the errno.
    int error = 0;
    ssize_t got;
    do
        got = read(report[0], &error, sizeof error);
    while (got < 0 && errno == EINTR);
    close(report[0]);

    if (got == static_cast<ssize_t>(sizeof error)) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        close(errors[0]);
        return error != 0 ? error : EIO;
    }
    if (got != 0) {
        // A torn report means the child died before it could exec.
        g_outstanding.push_back({pid, errors[0]});
        return EIO;
    }

    ErrorText text;
    int status = 0;
    if (!waitForExit(pid, std::max(waitMs, 0), errors[0], text, status)) {
        g_outstanding.push_back({pid, errors[0]});
        return 0;
    }
    close(errors[0]);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return 0;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const std::string line = text.lastLine();
    syslog(LOG_NOTICE, "%s ended with status %d: %s", path, code,
           line.empty() ? "(nothing on stderr)" : line.c_str());
    char message[512];
    const int length =
        std::snprintf(message, sizeof message, "velloran: %s ended with status %d: %s\n", path,
                      code, line.empty() ? "(nothing on stderr)" : line.c_str());
    if (length > 0) {
        ssize_t ignored =
            write(STDERR_FILENO, message, std::min<size_t>(length, sizeof message - 1));
        (void)ignored;
    }
    return kToolFailed;
}

int capture(const char *path, char *const argv[], std::string &output, std::size_t limit,
            int waitMs)
{
    reapFinished();
    output.clear();
    if (!path || path[0] != '/' || !argv || !argv[0])
        return EINVAL;
    int out[2];
    if (pipe2(out, O_CLOEXEC) < 0)
        return errno;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, "/");
    // close fds before executing the tool, so it can't reach Velloran's or the helper's pipes
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    char *const environment[] = {const_cast<char *>(kToolPath), nullptr};
    pid_t pid = -1;
    const int error = posix_spawn(&pid, path, &actions, &attributes, argv, environment);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(out[1]);
    if (error != 0) {
        close(out[0]);
        return error;
    }
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    const long long deadline = nowMs() + std::max(waitMs, 0);
    bool ended = false, tooMuch = false, closed = false;
    int status = 0;
    while (!tooMuch) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        // Once it has ended, all it wrote is in the pipe: this read takes the rest.
        for (char buffer[4096]; !tooMuch;) {
            const ssize_t got = read(out[0], buffer, sizeof buffer);
            closed = closed || got == 0;
            if (got <= 0)
                break;
            output.append(buffer, static_cast<std::size_t>(got));
            tooMuch = output.size() > limit;
        }
        const long long left = deadline - nowMs();
        if ((ended = done == pid) || left <= 0)
            break;
        // A closed pipe is always ready: then only the exit is waited for.
        struct pollfd ready = {closed ? -1 : out[0], POLLIN, 0};
        poll(&ready, 1, static_cast<int>(std::min(left, 5LL)));
    }
    close(out[0]);
    if (!ended) {
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        output.clear();
        return tooMuch ? kToolFailed : ETIMEDOUT;
    }
    if (tooMuch || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        output.clear();
        return kToolFailed;
    }
    return 0;
}

} // namespace PrivilegedStart
