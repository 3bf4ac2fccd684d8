#include "network/NameServer.h"

#include <algorithm>
#include <fcntl.h>
#include <pwd.h>
#include <set>
#include <sstream>
#include <unistd.h>

namespace NameServer {

namespace {

const std::vector<std::string> kAsRoot{"-c", "/etc/named.conf"};
const std::vector<std::string> kAsBind{"-c", "/etc/named.conf", "-u", "bind"};

// The whole of a small file beside `dir`, read through that descriptor so it is the same process.
std::string readAt(int dir, const char *name)
{
    std::string data;
    const int fd = ::openat(dir, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return data;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0 && data.size() < 65536)
        data.append(buffer, std::size_t(got));
    ::close(fd);
    return data;
}

std::string commandLine(const std::vector<std::string> &arguments)
{
    std::string line("/usr/sbin/named", 16);
    for (const std::string &argument : arguments)
        line += argument + '\0';
    return line;
}

std::string dotted(std::uint32_t address)
{
    return std::to_string(address >> 24) + '.' + std::to_string((address >> 16) & 255) + '.' +
           std::to_string((address >> 8) & 255) + '.' + std::to_string(address & 255);
}

void addOnce(std::vector<std::string> &list, const std::string &item)
{
    if (std::find(list.begin(), list.end(), item) == list.end())
        list.push_back(item);
}

} // namespace

std::vector<std::string> startArguments()
{
    return ::getpwnam("bind") ? kAsBind : kAsRoot;
}

bool isStartForm(const std::vector<std::string> &arguments)
{
    return arguments == kAsRoot || arguments == kAsBind;
}

bool everyUidIs(const std::string &status, unsigned uid)
{
    const std::size_t at = status.find("\nUid:");
    if (at == std::string::npos)
        return false;
    std::istringstream ids(status.substr(at + 5, status.find('\n', at + 5) - at - 5));
    int count = 0;
    for (std::string id; ids >> id; ++count)
        if (id != std::to_string(uid))
            return false;
    return count == 4;
}

bool isOwnServer(const std::string &pid, const std::string &procRoot)
{
    if (pid.empty() || pid.size() > 9 || pid.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(pid) < 2)
        return false;
    const int dir = ::open((procRoot + '/' + pid).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    const std::string status = readAt(dir, "status"), line = readAt(dir, "cmdline");
    ::close(dir);
    if (line == commandLine(kAsRoot))
        return everyUidIs(status, 0);
    // Root's until named has dropped to bind, early in its start.
    const passwd *bind = ::getpwnam("bind");
    return line == commandLine(kAsBind) &&
           (everyUidIs(status, 0) || (bind && everyUidIs(status, bind->pw_uid)));
}

Lists lists(const std::vector<Address> &addresses, const std::vector<Route> &routes,
            const std::vector<std::string> &natdInterfaces)
{
    std::set<std::string> external(natdInterfaces.begin(), natdInterfaces.end());
    for (const Route &route : routes)
        if (route.isDefault)
            external.insert(route.interface);
    std::vector<std::string> networks, listen{"127.0.0.1"};
    for (const Address &a : addresses) {
        // Loopback is "localhost"; a network of everyone would make an open resolver.
        if (a.address >> 24 == 127 || a.prefixLength < 1 || a.prefixLength > 32)
            continue;
        const std::uint32_t mask = ~0u << (32 - a.prefixLength);
        if (external.count(a.interface)) {
            bool gateways = false, holdsOne = false;
            for (const Route &route : routes) {
                if (route.interface != a.interface || route.gateway == 0)
                    continue;
                gateways = true;
                holdsOne = holdsOne || (route.gateway & mask) == (a.address & mask);
            }
            if (!gateways || holdsOne)
                continue;
        }
        addOnce(networks, dotted(a.address & mask) + '/' + std::to_string(a.prefixLength));
        addOnce(listen, dotted(a.address));
    }
    Lists made{"acl velloran_clients {\n\tlocalhost;\n", "listen-on {"};
    for (const std::string &network : networks)
        made.clients += '\t' + network + ";\n";
    made.clients += "};\n";
    for (const std::string &address : listen)
        made.listen += ' ' + address + ';';
    made.listen += " };\n";
    return made;
}

} // namespace NameServer
