#include "privilege/HelperCommands.h"

#include "privilege/BsdToolView.h"
#include "network/InterfaceName.h"
#include "network/NameServer.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>

namespace HelperCommands {

namespace {

using Arguments = std::vector<std::string>;

struct Context {
    const Arguments &arguments;
    const Resources &resources;
};

bool isName(const std::string &word)
{
    return InterfaceName::isValid(word);
}

bool isQuad(const std::string &word)
{
    return InterfaceName::isDottedQuad(word);
}

// natd's switches, each at most once, then the interface it translates for.
bool natd(const Context &c)
{
    static const char *const kSwitches[] = {"-same_ports",    "-use_sockets", "-log",
                                            "-deny_incoming", "-log_denied",  "-dynamic"};
    const Arguments &a = c.arguments;
    if (a.size() < 2 || a[a.size() - 2] != "-interface" || !isName(a.back()))
        return false;
    for (std::size_t i = 0; i + 2 < a.size(); ++i) {
        bool known = false;
        for (const char *flag : kSwitches)
            known = known || a[i] == flag;
        for (std::size_t j = 0; j < i; ++j)
            known = known && a[j] != a[i];
        if (!known)
            return false;
    }
    return true;
}

bool ipfw(const Context &c)
{
    const Arguments &a = c.arguments;
    if (a == Arguments{"-f", "flush"} ||
        a == Arguments{"add", "65530", "pass", "all", "from", "any", "to", "any"})
        return true;
    return a.size() == 11 &&
           Arguments(a.begin(), a.end() - 1) ==
               Arguments{"add", "95", "divert", "natd", "all", "from", "any", "to", "any", "via"} &&
           isName(a.back());
}

// NAME A netmask M [alias], or NAME A -alias.
bool ifconfig(const Context &c)
{
    const Arguments &a = c.arguments;
    if (a.size() < 3 || !isName(a[0]) || !isQuad(a[1]))
        return false;
    if (a.size() == 3)
        return a[2] == "-alias";
    return (a.size() == 4 || (a.size() == 5 && a[4] == "alias")) && a[2] == "netmask" &&
           isQuad(a[3]);
}

bool sysctl(const Context &c)
{
    return c.arguments == Arguments{"-w", "net.inet.ip.forwarding=1"};
}

// Checked now, right before the kill: a process of another user's is never root's to stop.
bool kill(const Context &c)
{
    return c.arguments.size() == 1 && isRootsNatdOrNamed(c.arguments[0]);
}

// The folders the DHCP server keeps its leases and pid file in.
bool install(const Context &c)
{
    return c.arguments == Arguments{"-d", "-m", "0755", "/var/lib/velloran", "/run/velloran"};
}

// A value of the DHCP server's range or options: addresses, counts and a lease time, no more.
bool isDhcpValue(const std::string &value)
{
    return !value.empty() && value.find_first_not_of("0123456789.,h") == std::string::npos;
}

// The DHCP-only server Velloran starts for the LAN: its fixed words, with the interface and the
// plan's values where they vary, and the name servers only when there are some.
bool dnsmasq(const Context &c)
{
    const Arguments &a = c.arguments;
    const auto value = [&](std::size_t i, const std::string &prefix) {
        return i < a.size() && a[i].rfind(prefix, 0) == 0 ? a[i].substr(prefix.size())
                                                          : std::string();
    };
    const bool withServers = a.size() == 12;
    if ((a.size() != 11 && !withServers) || a[0] != "--conf-file=/dev/null" || a[1] != "--port=0" ||
        !isName(value(2, "--interface=")) || a[3] != "--except-interface=lo" ||
        a[4] != "--bind-interfaces" || a[5] != "--dhcp-authoritative" || a[6] != "--no-ping" ||
        !isDhcpValue(value(7, "--dhcp-range=")) ||
        !isDhcpValue(value(8, "--dhcp-option=option:router,")) ||
        (withServers && !isDhcpValue(value(9, "--dhcp-option=option:dns-server,"))))
        return false;
    const std::size_t at = withServers ? 10 : 9;
    return a[at] == "--dhcp-leasefile=/var/lib/velloran/dnsmasq.leases" &&
           a[at + 1] == "--pid-file=/run/velloran/dnsmasq.pid";
}

bool named(const Context &c)
{
    return NameServer::isStartForm(c.arguments);
}

// Spelt as the folder's own path: a link on the way would be resolved again at every use.
bool fromResources(const std::string &path, const char *name, const Resources &resources)
{
    return nameInResources(path, resources) == name;
}

// The two copies the start-at-boot and name-server toggles make, from the bundle's own files.
bool cp(const Context &c)
{
    const Arguments &a = c.arguments;
    if (a.size() != 2 || a[0].rfind('-', 0) == 0 || a[1].rfind('-', 0) == 0)
        return false;
    return (fromResources(a[0], "StartupParameters.plist", c.resources) &&
            a[1] == "/tmp/Velloran.StartupParameters.plist.tmp") ||
           (fromResources(a[0], "named.conf", c.resources) && a[1] == "/etc/named.conf");
}

bool noArguments(const Context &c)
{
    return c.arguments.empty();
}

// Another firewall read, opened for sharing from a LAN to a WAN interface, or closed again.
bool firewall(const Context &c)
{
    const Arguments &a = c.arguments;
    if (a.size() == 2)
        return a[0] == "close" && isName(a[1]);
    return a.size() == 3 && (a[0] == "read" || a[0] == "open") && isName(a[1]) && isName(a[2]);
}

// NetworkManager leaves the LAN's interface alone while sharing runs, and gets it back.
bool networkManager(const Context &c)
{
    const Arguments &a = c.arguments;
    return a == Arguments{"restore"} || (a.size() == 2 && a[0] == "unmanage" && isName(a[1]));
}

struct Command {
    const char *program;
    bool inResources; // a script or program of the bundle's, named by its file name
    bool (*accepts)(const Context &);
};

const Command kCommands[] = {
    {"/usr/sbin/natd", false, natd},      {"/sbin/ipfw", false, ipfw},
    {"/sbin/ifconfig", false, ifconfig},  {"/usr/sbin/sysctl", false, sysctl},
    {"/bin/kill", false, kill},           {"/bin/cp", false, cp},
    {"/usr/sbin/named", false, named},    {"named_setup", true, noArguments},
    {"load_install", true, noArguments},  {"load_remove", true, noArguments},
    {"/usr/bin/install", false, install}, {"/usr/sbin/dnsmasq", false, dnsmasq},
    {"named_lists", true, noArguments},
    {"velloran-nm", true, networkManager},
    {"velloran-firewall", true, firewall},
};

std::string readFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// Only root can change the folder, and its path still names the descriptor's folder.
bool rootOnly(const Resources &resources)
{
    struct stat named {
    };
    struct stat opened {
    };
    return BsdToolView::checkRootOnly(resources.path.c_str()) == 0 &&
           ::stat(resources.path.c_str(), &named) == 0 && ::fstat(resources.fd, &opened) == 0 &&
           named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

} // namespace

Resources openResources(const std::string &path)
{
    return {path, ::open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
}

std::string nameInResources(const std::string &path, const Resources &resources)
{
    const std::string folder = resources.path + '/';
    if (resources.path.empty() || path.size() <= folder.size() || path.rfind(folder, 0) != 0 ||
        path.find('/', folder.size()) != std::string::npos)
        return {};
    return path.substr(folder.size());
}

int check(const std::string &path, const std::vector<std::string> &arguments,
          const Resources &resources, bool *answers)
{
    const Context context{arguments, resources};
    for (const Command &command : kCommands) {
        const bool named = command.inResources ? fromResources(path, command.program, resources)
                                               : path == command.program;
        if (!named || !command.accepts(context))
            continue;
        // Root runs the bundle's scripts, and copies its files into /etc, only where nobody else
        // could have changed them.
        const bool fromBundle = command.inResources || path == "/bin/cp";
        if (fromBundle && !rootOnly(resources))
            return EPERM;
        // Only the firewall reader's answer goes back; every other tool's output stays root's.
        if (answers)
            *answers = command.accepts == firewall && arguments.front() == "read";
        return 0;
    }
    return EPERM;
}

bool isRootsNatdOrNamed(const std::string &pid, const std::string &procRoot)
{
    if (pid.empty() || pid.size() > 9 || pid.find_first_not_of("0123456789") != std::string::npos ||
        std::atoi(pid.c_str()) < 2)
        return false;
    if (NameServer::isOwnServer(pid, procRoot))
        return true;
    const std::string process = procRoot + "/" + pid;
    const std::string commandLine = readFile(process + "/cmdline");
    // The DHCP server gives up root once it runs: its pid file, which only root can write in
    // /run/velloran, and its command line say that it is Velloran's.
    const std::string dnsmasq("/usr/sbin/dnsmasq\0--conf-file=/dev/null\0--port=0\0", 49);
    if (commandLine.rfind(dnsmasq, 0) == 0 &&
        commandLine.find(std::string("\0--pid-file=/run/velloran/dnsmasq.pid\0", 38)) !=
            std::string::npos) {
        std::string recorded = readFile("/run/velloran/dnsmasq.pid");
        recorded.erase(recorded.find_last_not_of("\n") + 1);
        return recorded == pid;
    }
    // Real, effective, saved and file-system uid all root: /proc's owner alone tells too little.
    std::istringstream status(readFile(process + "/status"));
    bool rootOwned = false;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Uid:", 0) == 0) {
            std::istringstream ids(line.substr(4));
            int count = 0;
            for (std::string id; ids >> id; ++count)
                if (id != "0")
                    return false;
            rootOwned = count == 4;
        }
    }
    return rootOwned && commandLine.rfind(std::string("/usr/sbin/natd\0", 15), 0) == 0;
}

} // namespace HelperCommands
