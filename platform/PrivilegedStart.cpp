#include "PrivilegedStart.h"

#include "BsdToolView.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace PrivilegedStart {

const char *const kToolPath = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

namespace {

char g_requester[32] = "";

// Tools still running when their wait ended; collected later so none stays a zombie.
std::vector<pid_t> g_outstanding;

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

// Runs in the forked child: only async-signal-safe calls until execve.
[[noreturn]] void becomeTool(const char *path, char *const argv[], const char *standInsDir,
                             int reportFd)
{
    // Keep the report pipe clear of the three standard descriptors we are about to replace.
    if (reportFd <= STDERR_FILENO) {
        reportFd = fcntl(reportFd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (reportFd < 0)
            _exit(127);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Ignored signals stay ignored across exec; the tool must see the defaults.
    struct sigaction defaults {
    };
    defaults.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, &defaults, nullptr);

    if (setsid() < 0 || chdir("/") < 0)
        reportAndExit(reportFd, errno);
    umask(022);

    const int devNull = open("/dev/null", O_RDWR);
    if (devNull < 0 || dup2(devNull, STDIN_FILENO) < 0 || dup2(devNull, STDOUT_FILENO) < 0)
        reportAndExit(reportFd, errno);
    // close fds before executing the tool, so it can't reach Velloran's or the helper's pipes
    if (reportFd > STDERR_FILENO + 1)
        closeFrom(STDERR_FILENO + 1, reportFd - 1);
    closeFrom(reportFd + 1, ~0U >> 1);

    if (const int viewError = BsdToolView::enter(standInsDir))
        reportAndExit(reportFd, viewError);

    char *const environment[] = {const_cast<char *>(kToolPath),
                                 g_requester[0] ? g_requester : nullptr, nullptr};
    execve(path, argv, environment);
    reportAndExit(reportFd, errno);
}

bool waitForExit(pid_t pid, int waitMs)
{
    int status = 0;
#ifdef SYS_pidfd_open
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        struct pollfd ready = {pidfd, POLLIN, 0};
        int polled;
        do
            polled = poll(&ready, 1, waitMs);
        while (polled < 0 && errno == EINTR);
        close(pidfd);
        return polled > 0 && waitpid(pid, &status, 0) == pid;
    }
#endif
    // Without pidfds: look every few milliseconds.
    for (int waited = 0;; waited += 2) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            return true;
        if (waited >= waitMs)
            return false;
        const struct timespec pause = {0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
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
    std::erase_if(g_outstanding, [](pid_t pid) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        return done == pid || (done < 0 && errno == ECHILD);
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

    const pid_t pid = fork();
    if (pid < 0) {
        const int error = errno;
        close(report[0]);
        close(report[1]);
        return error;
    }
    if (pid == 0) {
        close(report[0]);
        becomeTool(path, argv, standInsDir, report[1]);
    }
    close(report[1]);

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
        return error != 0 ? error : EIO;
    }
    if (got != 0) {
        // A torn report means the child died before it could exec.
        g_outstanding.push_back(pid);
        return EIO;
    }

    if (!waitForExit(pid, std::max(waitMs, 0)))
        g_outstanding.push_back(pid);
    return 0;
}

} // namespace PrivilegedStart
