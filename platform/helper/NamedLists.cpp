// named_lists: remakes /etc/named.clients and /etc/named.listen from what root sees of the network
// and of root's own natd, and has Velloran's name server re-read them. "named_lists start" starts
// that server instead when none runs. Run as root by named_setup, and by Velloran each time
// sharing starts or stops while the server runs.
#include "network/InterfaceName.h"
#include "network/NameServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// A small plain file: never through a link, and nothing that could keep us waiting.
std::string readOpen(int fd)
{
    std::string data;
    struct stat info {
    };
    if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        char buffer[4096];
        ssize_t got;
        while (data.size() < 65536 && (got = ::read(fd, buffer, sizeof buffer)) > 0)
            data.append(buffer, std::size_t(got));
    }
    if (fd >= 0)
        ::close(fd);
    return data;
}

std::string readAt(int dir, const char *name)
{
    return readOpen(::openat(dir, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
}

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> words;
    std::istringstream stream(text);
    for (std::string word; std::getline(stream, word, separator);)
        words.push_back(word);
    return words;
}

// The interface of a boot natd, from root's own natd.conf, which nobody else may change.
void addConfiguredInterface(std::vector<std::string> &names)
{
    const int fd = ::open("/etc/natd.conf", O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat info {
    };
    const bool rootOnly =
        fd >= 0 && ::fstat(fd, &info) == 0 && info.st_uid == 0 && (info.st_mode & 022) == 0;
    if (!rootOnly && fd >= 0)
        ::close(fd);
    const std::string config = rootOnly ? readOpen(fd) : std::string();
    for (const std::string &line : split(config, '\n'))
        if (line.rfind("interface ", 0) == 0 && InterfaceName::isValid(line.substr(10)))
            names.push_back(line.substr(10));
}

// The network namespace a process (or we, for "self") lives in, as the kernel names it.
std::string netns(int proc, const char *pid)
{
    char name[64] = "";
    const std::string link = std::string(pid) + "/ns/net";
    const ssize_t got = ::readlinkat(proc, link.c_str(), name, sizeof name - 1);
    return got > 0 ? std::string(name, std::size_t(got)) : std::string();
}

// The interfaces root's natd processes of our network translate for. Another user's process is
// never read, and every word taken passes the one interface-name rule.
std::vector<std::string> natdInterfaces()
{
    std::vector<std::string> names;
    DIR *proc = ::opendir("/proc");
    const std::string ours = proc ? netns(::dirfd(proc), "self") : std::string();
    while (const dirent *entry = proc ? ::readdir(proc) : nullptr) {
        if (std::strspn(entry->d_name, "0123456789") != std::strlen(entry->d_name))
            continue;
        // Both files through one descriptor: the same process, even if its pid is reused.
        const int dir = ::openat(::dirfd(proc), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0)
            continue;
        const bool roots = NameServer::everyUidIs(readAt(dir, "status"), 0) &&
                           netns(dir, ".") == ours && !ours.empty();
        const std::vector<std::string> words =
            roots ? split(readAt(dir, "cmdline"), '\0') : std::vector<std::string>();
        ::close(dir);
        if (words.empty() || words[0] != "/usr/sbin/natd")
            continue;
        for (std::size_t i = 1; i + 1 < words.size(); ++i) {
            if (words[i] == "-interface" && InterfaceName::isValid(words[i + 1]))
                names.push_back(words[i + 1]);
            if (words[i] == "-f" && words[i + 1] == "/etc/natd.conf")
                addConfiguredInterface(names);
        }
    }
    if (proc)
        ::closedir(proc);
    return names;
}

std::vector<NameServer::Address> addresses()
{
    std::vector<NameServer::Address> found;
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return found;
    for (const ifaddrs *a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || !a->ifa_netmask || a->ifa_addr->sa_family != AF_INET ||
            (a->ifa_flags & IFF_LOOPBACK))
            continue;
        const auto word = [](const sockaddr *s) {
            return ntohl(reinterpret_cast<const sockaddr_in *>(s)->sin_addr.s_addr);
        };
        found.push_back({a->ifa_name, word(a->ifa_addr), __builtin_popcount(word(a->ifa_netmask))});
    }
    ::freeifaddrs(list);
    return found;
}

// Iface Destination Gateway Flags RefCnt Use Metric Mask ..., the words in hex as stored.
std::vector<NameServer::Route> routes()
{
    std::vector<NameServer::Route> found;
    std::ifstream table("/proc/net/route");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags, skip, mask;
        if (!(fields >> name >> destination >> gateway >> flags >> skip >> skip >> skip >> mask))
            continue;
        const auto hex = [](const std::string &w) {
            return std::uint32_t(std::strtoul(w.c_str(), nullptr, 16));
        };
        found.push_back({name, hex(flags) & RTF_GATEWAY ? ntohl(hex(gateway)) : 0,
                         hex(destination) == 0 && hex(mask) == 0});
    }
    return found;
}

// In place at once, never through a link: a new file of our own, then renamed over the old one.
bool writeFile(const char *path, const std::string &bytes)
{
    std::string temporary = std::string(path) + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool written = ::fchmod(fd, 0644) == 0 &&
                   ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()) &&
                   ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (written && ::rename(temporary.c_str(), path) == 0)
        return true;
    ::unlink(temporary.c_str());
    return false;
}

// Velloran's server by its pid file, which it writes as bind: believed only when that process
// is Velloran's server. A descriptor of it, so a signal can't reach a process that took its pid.
int ownServer()
{
    const int folder = ::open(NameServer::kFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string pid = folder < 0 ? std::string() : readAt(folder, "named.pid");
    if (folder >= 0)
        ::close(folder);
    while (!pid.empty() && pid.back() == '\n')
        pid.pop_back();
    if (pid.empty() || pid.size() > 9 || pid.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    const int server = int(::syscall(SYS_pidfd_open, std::atoi(pid.c_str()), 0));
    if (server >= 0 && !NameServer::isOwnServer(pid)) {
        ::close(server);
        return -1;
    }
    return server;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool start = argc == 2 && std::strcmp(argv[1], "start") == 0;
    if (argc > 2 || (argc == 2 && !start)) {
        std::fputs("named_lists: takes no word but \"start\"\n", stderr);
        return 2;
    }
    ::umask(022);
    if (!start) {
        const NameServer::Lists made = NameServer::lists(addresses(), routes(), natdInterfaces());
        for (const auto &[path, bytes] : {std::pair{NameServer::kClients, made.clients},
                                          std::pair{NameServer::kListen, made.listen}})
            if (!writeFile(path, bytes)) {
                std::fprintf(stderr, "named_lists: cannot write %s: %s\n", path,
                             std::strerror(errno));
                return 1;
            }
    }
    const int server = ownServer();
    if (server >= 0) {
        // named reloads on SIGHUP: who may ask, and where it listens, take effect at once.
        if (start || ::syscall(SYS_pidfd_send_signal, server, SIGHUP, nullptr, 0) == 0)
            return 0;
        std::fprintf(stderr, "named_lists: the name server did not take the new lists: %s\n",
                     std::strerror(errno));
        return 1;
    }
    if (!start)
        return 0;
    std::vector<std::string> words{"/usr/sbin/named"};
    for (const std::string &word : NameServer::startArguments())
        words.push_back(word);
    std::vector<char *> vector;
    for (std::string &word : words)
        vector.push_back(word.data());
    vector.push_back(nullptr);
    ::execv("/usr/sbin/named", vector.data());
    std::fprintf(stderr, "named_lists: cannot start /usr/sbin/named: %s\n", std::strerror(errno));
    return 1;
}
