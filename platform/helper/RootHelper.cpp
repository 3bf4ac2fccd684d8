// Velloran's root helper: started through sudo or pkexec by Velloran, it starts tools as root on
// request and exits when Velloran closes its pipe. See HelperProtocol.h.
#include "privilege/HelperCommands.h"
#include "privilege/HelperProtocol.h"
#include "privilege/PrivilegedStart.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

enum class Read { Complete, EndOfStream, Broken };

Read readExactly(int fd, char *into, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
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

int run(const HelperProtocol::Request &request, const std::string &resources, std::string &answer)
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
    const std::string standIns = resources + "/bsdtools";
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(request.path.c_str()));
    for (const std::string &argument : request.arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    if (answers)
        return PrivilegedStart::capture(request.path.c_str(), argv.data(), answer,
                                        HelperProtocol::kMaxAnswerSize);
    return PrivilegedStart::start(request.path.c_str(), argv.data(), standIns.c_str());
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
    // Requests come only from the pipe Velloran made; a terminal is not a caller we serve.
    if (!isPipeOrSocket(STDIN_FILENO) || !isPipeOrSocket(STDOUT_FILENO)) {
        std::fputs("velloran-helper: stdin and stdout must be Velloran's pipe\n", stderr);
        return 1;
    }

    const std::string resources = resourcesDir();
    if (!writeAll(STDOUT_FILENO, HelperProtocol::kGreeting, sizeof HelperProtocol::kGreeting))
        return 1;

    std::string body;
    for (;;) {
        std::uint32_t length = 0;
        const Read header =
            readExactly(STDIN_FILENO, reinterpret_cast<char *>(&length), sizeof length);
        if (header == Read::EndOfStream)
            return 0;
        // An oversized or torn message leaves no way to find the next one: stop.
        if (header == Read::Broken || length > HelperProtocol::kMaxBodySize)
            return 1;
        body.resize(length);
        if (readExactly(STDIN_FILENO, body.data(), length) != Read::Complete)
            return 1;

        const auto request = HelperProtocol::decode(body.data(), body.size());
        std::string answer;
        const std::int32_t status = request ? run(*request, resources, answer) : EINVAL;
        const std::string reply = HelperProtocol::encodeReply(status, answer);
        if (!writeAll(STDOUT_FILENO, reply.data(), reply.size()))
            return 1;
    }
}
