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
#include <string>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace PrivilegedStart {

const char *const kToolPath = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

namespace {

char g_requester[32] = "";
int g_watched = -1;

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
[[noreturn]] void becomeTool(int folder, const char *path, char *const argv[],
                             const char *standInsDir, int reportFd, int errorFd, int outFd,
                             const KeptView *view)
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

    // The folder a program is run from stays open across the exec, clear of the standard three.
    const bool inFolder = folder >= 0;
    if (inFolder && folder <= STDERR_FILENO)
        folder = fcntl(folder, F_DUPFD, STDERR_FILENO + 1);
    if (inFolder && (folder < 0 || fcntl(folder, F_SETFD, 0) < 0))
        reportAndExit(reportFd, errno);
    for (int *fd : {&errorFd, &outFd}) {
        if (*fd >= 0 && *fd <= STDERR_FILENO && (*fd = fcntl(*fd, F_DUPFD_CLOEXEC, 3)) < 0)
            reportAndExit(reportFd, errno);
    }
    const int devNull = open("/dev/null", O_RDWR);
    if (devNull < 0 || dup2(devNull, STDIN_FILENO) < 0 ||
        dup2(outFd >= 0 ? outFd : devNull, STDOUT_FILENO) < 0 || dup2(errorFd, STDERR_FILENO) < 0)
        reportAndExit(reportFd, errno);
    // A tool that answers reads the machine as it is: no stand-ins in its way.
    if (const int viewError = !standInsDir ? 0
                              : view       ? BsdToolView::join(standInsDir, view->nsFd, view->rootFd)
                                           : BsdToolView::enter(standInsDir))
        reportAndExit(reportFd, viewError);
    // close fds before executing the tool, so it can't reach Velloran's or the helper's pipes
    const int low = folder >= 0 ? std::min(folder, reportFd) : reportFd;
    const int high = std::max(folder, reportFd);
    closeFrom(STDERR_FILENO + 1, low - 1);
    closeFrom(low + 1, high - 1);
    closeFrom(high + 1, ~0U >> 1);

    char *const environment[] = {const_cast<char *>(kToolPath),
                                 g_requester[0] ? g_requester : nullptr, nullptr};
    if (inFolder)
        execveat(folder, path, argv, environment, 0);
    else
        execve(path, argv, environment);
    reportAndExit(reportFd, errno);
}

struct ChildStart {
    int folder;
    const char *path;
    char *const *argv;
    const char *standInsDir;
    int reportFd;
    int errorFd;
    int outFd;
    const KeptView *view;
};

int childMain(void *start)
{
    const auto *what = static_cast<const ChildStart *>(start);
    becomeTool(what->folder, what->path, what->argv, what->standInsDir, what->reportFd,
               what->errorFd, what->outFd, what->view);
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

// What a tool that answers writes on stdout, kept up to a limit.
struct Answer {
    int fds[2] = {-1, -1};
    std::size_t limit = 0;
    std::string text;
    bool tooMuch = false;

    // Reads what is there without blocking; false once the tool closed it or said too much.
    bool drain()
    {
        char buffer[4096];
        for (;;) {
            const ssize_t got = read(fds[0], buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return got < 0;
            text.append(buffer, static_cast<std::size_t>(got));
            if ((tooMuch = text.size() > limit))
                return false;
        }
    }
};

// Waits up to waitMs for the tool to end, reading its stderr (and its answer) meanwhile. True with
// its status once it ended; false while it still runs, or once it said too much.
bool waitForExit(pid_t pid, int waitMs, int errorFd, ErrorText &text, int &status,
                 Answer *answer)
{
    int pidfd = -1;
#ifdef SYS_pidfd_open
    pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#endif
    const long long deadline = nowMs() + waitMs;
    bool open = true;
    bool answering = answer != nullptr;
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
        // Without pidfds, look every few milliseconds; poll passes over the -1 entries.
        struct pollfd ready[4] = {{open ? errorFd : -1, POLLIN, 0},
                                  {pidfd, POLLIN, 0},
                                  {g_watched, POLLIN, 0},
                                  {answering ? answer->fds[0] : -1, POLLIN, 0}};
        const int timeout = pidfd >= 0 ? static_cast<int>(left) : 2;
        if ((poll(ready, 4, timeout) < 0 && errno != EINTR) || ready[2].revents)
            break;
        if (ready[0].revents)
            open = text.drain(errorFd);
        if (ready[3].revents && !(answering = answer->drain()) && answer->tooMuch)
            break;
    }
    // Once it has ended, all it wrote is in the pipe.
    if (ended && answering)
        answer->drain();
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

void setWatched(int fd)
{
    g_watched = fd;
}

int copy(int folder, const char *from, const char *to)
{
    const char *slash = to ? std::strrchr(to, '/') : nullptr;
    if (!from || !*from || !slash || to[0] != '/' || !slash[1])
        return EINVAL;
    const std::string parent(to, slash == to ? 1 : static_cast<size_t>(slash - to));
    const int source = openat(folder, from, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (source < 0)
        return errno;
    struct stat info {
    };
    int error = fstat(source, &info) != 0 ? errno : S_ISREG(info.st_mode) ? 0 : EINVAL;
    const int dir = error ? -1 : open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (!error && dir < 0)
        error = errno;
    // A fresh name nobody could have put a link at; the rename then replaces whatever TO is.
    char fresh[300];
    int target = -1;
    for (int tries = 0; !error && target < 0; ++tries) {
        unsigned long long nonce = 0;
        error = tries < 8 && getrandom(&nonce, sizeof nonce, 0) == sizeof nonce ? 0 : EEXIST;
        std::snprintf(fresh, sizeof fresh, ".%.200s.%016llx", slash + 1, nonce);
        target = error ? -1
                       : openat(dir, fresh, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                info.st_mode & 0777);
        if (target < 0 && errno != EEXIST)
            error = errno;
    }
    char buffer[16384];
    while (!error) {
        const ssize_t got = read(source, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            error = got < 0 ? errno : 0;
            break;
        }
        for (ssize_t done = 0; !error && done < got;) {
            const ssize_t put = write(target, buffer + done, static_cast<size_t>(got - done));
            if (put < 0 && errno != EINTR)
                error = errno;
            done += std::max<ssize_t>(put, 0);
        }
    }
    if (target >= 0 && close(target) != 0 && !error)
        error = errno;
    // A staging file the requesting user made stays theirs, so Velloran can still remove it.
    struct stat replaced {
    };
    const char *uid = g_requester[0] ? g_requester + std::strlen("SUDO_UID=") : nullptr;
    if (!error && uid && fstatat(dir, slash + 1, &replaced, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(replaced.st_mode) && replaced.st_nlink == 1 &&
        std::to_string(replaced.st_uid) == uid &&
        fchownat(dir, fresh, replaced.st_uid, replaced.st_gid, AT_SYMLINK_NOFOLLOW) != 0)
        error = errno;
    if (!error && renameat(dir, fresh, dir, slash + 1) != 0)
        error = errno;
    if (error && target >= 0)
        unlinkat(dir, fresh, 0);
    close(source);
    if (dir >= 0)
        close(dir);
    return error;
}

namespace {

int startTool(int folder, const char *path, char *const argv[], const char *standInsDir, int waitMs,
              Answer *answer = nullptr)
{
    reapFinished();
    if (!path || (folder < 0 ? path[0] != '/' : std::strchr(path, '/') != nullptr) || !argv ||
        !argv[0])
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
    ChildStart what{folder,    path,      argv, standInsDir, report[1],
                    errors[1], answer ? answer->fds[1] : -1, keptView(standInsDir)};
    const pid_t pid = cloneOnOurMemory(childMain, &what, 0);
    const int cloneError = errno;
    close(report[1]);
    close(errors[1]);
    if (answer)
        close(std::exchange(answer->fds[1], -1));
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
    if (!waitForExit(pid, std::max(waitMs, 0), errors[0], text, status, answer)) {
        if (!answer) {
            g_outstanding.push_back({pid, errors[0]});
            return 0;
        }
        // An answer is whole or none: a tool that talks too much or too long is ended.
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        close(errors[0]);
        return answer->tooMuch ? kToolFailed : ETIMEDOUT;
    }
    close(errors[0]);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return answer && answer->tooMuch ? kToolFailed : 0;
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

} // namespace

int start(const char *path, char *const argv[], const char *standInsDir, int waitMs)
{
    return startTool(-1, path, argv, standInsDir, waitMs);
}

int startIn(int folder, const char *name, char *const argv[], const char *standInsDir, int waitMs)
{
    return folder < 0 ? EBADF : startTool(folder, name, argv, standInsDir, waitMs);
}

int capture(int folder, const char *path, char *const argv[], std::string &output,
            std::size_t limit, int waitMs)
{
    output.clear();
    Answer answer;
    answer.limit = limit;
    if (pipe2(answer.fds, O_CLOEXEC) < 0)
        return errno;
    fcntl(answer.fds[0], F_SETFL, O_NONBLOCK);
    const int status = startTool(folder, path, argv, nullptr, waitMs, &answer);
    for (const int fd : answer.fds)
        if (fd >= 0)
            close(fd);
    if (status == 0)
        output = std::move(answer.text);
    return status;
}

} // namespace PrivilegedStart
