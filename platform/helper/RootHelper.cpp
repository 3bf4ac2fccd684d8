// Velloran's root helper: started through sudo or pkexec by Velloran, it starts tools as root on
// request and exits when Velloran ends, says so, or closes its pipe. See HelperProtocol.h.
#include "privilege/HelperCommands.h"
#include "privilege/HelperProtocol.h"
#include "privilege/PrivilegedStart.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

enum class Read { Complete, EndOfStream, Broken };

// Velloran's process, watched while we wait for it to speak.
int g_velloran = -1;

Read readExactly(int fd, char *into, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        struct pollfd ready[2] = {{fd, POLLIN, 0}, {g_velloran, POLLIN, 0}};
        if (poll(ready, 2, -1) < 0 && errno != EINTR)
            return Read::Broken;
        // Velloran has ended: whoever else holds a copy of the pipe is nobody we serve.
        if (ready[1].revents)
            return Read::EndOfStream;
        if (!ready[0].revents)
            continue;
        const ssize_t got = read(fd, into + done, size - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0 && done == 0 ? Read::EndOfStream : Read::Broken;
        done += static_cast<std::size_t>(got);
    }
    return Read::Complete;
}

bool writeAll(int fd, const void *data, std::size_t size)
{
    const char *at = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t put = write(fd, at, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        at += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

bool isPipeOrSocket(int fd)
{
    struct stat info {
    };
    return fstat(fd, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
}

pid_t parentOf(pid_t pid)
{
    char path[64], stat[512] = {};
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE *file = std::fopen(path, "re");
    const std::size_t got = file ? std::fread(stat, 1, sizeof stat - 1, file) : 0;
    if (file)
        std::fclose(file);
    const char *afterName = got ? std::strrchr(stat, ')') : nullptr;
    int parent = -1;
    return afterName && std::sscanf(afterName, ") %*c %d", &parent) == 1 ? parent : -1;
}

bool runsSudo(pid_t pid)
{
    char path[64], exe[64] = {};
    std::snprintf(path, sizeof path, "/proc/%d/exe", pid);
    return readlink(path, exe, sizeof exe - 1) > 0 && std::strcmp(exe, "/usr/bin/sudo") == 0;
}

// Velloran's process as a pidfd, found through our parents only, never from anyone's word: our
// parent, which pkexec became, or sudo's parent when sudo started us (sudo stays between us).
// Each one is checked to be the parent still after its pidfd is opened, so no reused pid slips in.
int openVelloran()
{
    const pid_t parent = getppid();
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, parent, 0));
    if (fd < 0 || getppid() != parent) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (!runsSudo(parent))
        return fd;
    const pid_t velloran = parentOf(parent);
    const int above = velloran > 0 ? static_cast<int>(syscall(SYS_pidfd_open, velloran, 0)) : -1;
    close(fd);
    if (above >= 0 && getppid() == parent && parentOf(parent) == velloran)
        return above;
    if (above >= 0)
        close(above);
    return -1;
}

// The bundle's Resources folder, where the helper, its stand-ins and Velloran's scripts lie.
std::string resourcesDir()
{
    std::vector<char> buffer(4096);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0)
        return {};
    std::string self(buffer.data(), static_cast<std::size_t>(length));
    return self.substr(0, self.rfind('/'));
}

int run(const HelperProtocol::Request &request, const HelperCommands::Resources &resources,
        std::string &answer)
{
    // Only Velloran's own commands: whoever else reaches this pipe gets nothing more from root.
    bool answers = false;
    if (HelperCommands::check(request.path, request.arguments, resources, &answers) != 0) {
        std::string shown = request.path;
        for (char &c : shown)
            c = static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
        std::fprintf(stderr, "velloran-helper: refused %s, not one of Velloran's commands\n",
                     shown.c_str());
        return EPERM;
    }
    // Velloran's own files are used through the folder we checked, never through a path again.
    if (request.path == "/bin/cp") {
        const int error = PrivilegedStart::copy(
            resources.fd, HelperCommands::nameInResources(request.arguments[0], resources).c_str(),
            request.arguments[1].c_str());
        if (error != 0)
            std::fprintf(stderr, "velloran-helper: /bin/cp %s %s: %s\n",
                         request.arguments[0].c_str(), request.arguments[1].c_str(),
                         std::strerror(error));
        return error;
    }
    const std::string standIns = resources.path + "/bsdtools";
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(request.path.c_str()));
    for (const std::string &argument : request.arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    const std::string name = HelperCommands::nameInResources(request.path, resources);
    if (answers)
        return PrivilegedStart::capture(resources.fd, name.c_str(), argv.data(), answer,
                                        HelperProtocol::kMaxAnswerSize);
    return name.empty()
               ? PrivilegedStart::start(request.path.c_str(), argv.data(), standIns.c_str())
               : PrivilegedStart::startIn(resources.fd, name.c_str(), argv.data(),
                                          standIns.c_str());
}

} // namespace

int main()
{
    // No other process of the user's may trace us or copy our pipe (pidfd_getfd).
    prctl(PR_SET_DUMPABLE, 0);
    // close fds inherited from sudo, so only our own pipe and stderr stay reachable
    syscall(SYS_close_range, 3u, ~0u, 0u);
    PrivilegedStart::setRequestingUser(
        PrivilegedStart::requestingUser(getenv("SUDO_UID"), getenv("PKEXEC_UID")));
    clearenv();
    umask(022);
    signal(SIGPIPE, SIG_IGN);

    if (geteuid() != 0) {
        std::fputs("velloran-helper: not running as root\n", stderr);
        return 1;
    }
    // Requests come only from the pipe Velloran made: its socket on stdout carries both ways (a
    // pair of pipes serves too). A terminal is not a caller we serve.
    struct stat out {
    };
    const int requests =
        fstat(STDOUT_FILENO, &out) == 0 && S_ISSOCK(out.st_mode) ? STDOUT_FILENO : STDIN_FILENO;
    if (!isPipeOrSocket(requests) || !isPipeOrSocket(STDOUT_FILENO)) {
        std::fputs("velloran-helper: stdin and stdout must be Velloran's pipe\n", stderr);
        return 1;
    }

    const HelperCommands::Resources resources = HelperCommands::openResources(resourcesDir());
    g_velloran = openVelloran();
    if (g_velloran < 0) {
        std::fputs("velloran-helper: Velloran has already gone\n", stderr);
        return 1;
    }
    PrivilegedStart::setWatched(g_velloran);
    if (!writeAll(STDOUT_FILENO, HelperProtocol::kGreeting, sizeof HelperProtocol::kGreeting))
        return 1;

    std::string body;
    for (;;) {
        std::uint32_t length = 0;
        const Read header =
            readExactly(requests, reinterpret_cast<char *>(&length), sizeof length);
        if (header == Read::EndOfStream || (header == Read::Complete && length == 0))
            return 0;
        // An oversized or torn message leaves no way to find the next one: stop.
        if (header == Read::Broken || length > HelperProtocol::kMaxBodySize)
            return 1;
        body.resize(length);
        if (readExactly(requests, body.data(), length) != Read::Complete)
            return 1;

        const auto request = HelperProtocol::decode(body.data(), body.size());
        std::string answer;
        const std::int32_t status = request ? run(*request, resources, answer) : EINVAL;
        const std::string reply = HelperProtocol::encodeReply(status, answer);
        if (!writeAll(STDOUT_FILENO, reply.data(), reply.size()))
            return 1;
    }
}
