// sysctl: the BSD names Velloran uses, mapped onto Linux; Linux names as procps' sysctl has them.
#include "Diagnostics.h"
#include "ProcSys.h"
#include "network/InterfaceName.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct BsdName {
    const char *name;
    const char *path; // under /proc/sys
};

const BsdName kBsdNames[] = {
    {"net.inet.ip.forwarding", "net/ipv4/ip_forward"},
    {"net.inet6.ip6.forwarding", "net/ipv6/conf/all/forwarding"},
};

struct Flags {
    bool valuesOnly = false;
    bool ignoreUnknown = false;
    bool quiet = false;
};

const BsdName *bsdName(const std::string &name)
{
    for (const BsdName &entry : kBsdNames) {
        if (name == entry.name)
            return &entry;
    }
    return nullptr;
}

// Names of BSD's own trees, which Linux doesn't have: they are never Linux paths.
bool looksBsd(const std::string &name)
{
    for (const char *prefix : {"net.inet.", "net.inet6.", "kern.", "hw.", "machdep."}) {
        if (name.compare(0, std::strlen(prefix), prefix) == 0)
            return true;
    }
    return false;
}

// procps' rule: with a '/' in it the name is a path, otherwise dots separate its parts.
std::string linuxPath(const std::string &name)
{
    std::string path = name;
    if (path.find('/') == std::string::npos) {
        for (char &c : path) {
            if (c == '.')
                c = '/';
        }
    }
    return ProcSys::root + path;
}

// The interface an interface's own key names ("net/ipv4/conf/eth0/..."), or an empty string.
std::string interfaceOf(const std::string &path)
{
    for (const char *folder :
         {"net/ipv4/conf/", "net/ipv6/conf/", "net/ipv4/neigh/", "net/ipv6/neigh/"}) {
        const std::string prefix = ProcSys::root + std::string(folder);
        if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0)
            return path.substr(prefix.size(), path.find('/', prefix.size()) - prefix.size());
    }
    return {};
}

bool isInteger(const std::string &text)
{
    size_t start = (!text.empty() && text[0] == '-') ? 1 : 0;
    return text.size() > start && text.find_first_not_of("0123456789", start) == std::string::npos;
}

int bsd(const BsdName &entry, const std::string &name, const std::string *value, const Flags &f)
{
    const std::string path = std::string(ProcSys::root) + entry.path;
    const auto old = ProcSys::read(path);
    if (!old)
        return Diagnostics::fail(name + ": " + std::strerror(errno));
    if (!value) {
        std::printf(f.valuesOnly ? "%s\n" : "%s: %s\n", f.valuesOnly ? old->c_str() : name.c_str(),
                    old->c_str());
        return 0;
    }
    if (!isInteger(*value))
        return Diagnostics::fail("invalid integer '" + *value + "'");
    if (!ProcSys::write(path, *value))
        return Diagnostics::fail(name + "=" + *value + ": " + std::strerror(errno));
    if (!f.quiet)
        std::printf("%s: %s -> %s\n", name.c_str(), old->c_str(), value->c_str());
    return 0;
}

int linuxName(const std::string &name, const std::string *value, const Flags &f)
{
    if (name.empty() || name.find("..") != std::string::npos || name.front() == '/')
        return Diagnostics::fail("invalid name " + name);
    const std::string path = linuxPath(name);
    const std::string interface = interfaceOf(path);
    if (!interface.empty() && !InterfaceName::isValid(interface))
        return Diagnostics::fail(InterfaceName::refusal(interface));
    if (!value) {
        const auto current = ProcSys::read(path);
        if (!current) {
            if (errno == ENOENT && f.ignoreUnknown)
                return 0;
            return Diagnostics::fail("cannot stat " + path + ": " + std::strerror(errno));
        }
        if (f.valuesOnly)
            std::printf("%s\n", current->c_str());
        else
            std::printf("%s = %s\n", name.c_str(), current->c_str());
        return 0;
    }
    if (!ProcSys::write(path, *value)) {
        if (errno == ENOENT && f.ignoreUnknown)
            return 0;
        return Diagnostics::fail("setting key \"" + name + "\": " + std::strerror(errno));
    }
    if (!f.quiet)
        std::printf(f.valuesOnly ? "%s\n" : "%s = %s\n",
                    f.valuesOnly ? value->c_str() : name.c_str(), value->c_str());
    return 0;
}

// One "name" or "name=value" argument.
int handle(const std::string &argument, bool write, const Flags &flags)
{
    const auto equals = argument.find('=');
    if (write && equals == std::string::npos)
        return Diagnostics::fail("\"" + argument + "\" must be of the form name=value");
    std::string name = argument.substr(0, equals);
    std::string value = equals == std::string::npos ? "" : argument.substr(equals + 1);
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    while (!value.empty() && value.front() == ' ')
        value.erase(0, 1);
    const std::string *newValue = equals == std::string::npos ? nullptr : &value;
    if (const BsdName *entry = bsdName(name))
        return bsd(*entry, name, newValue, flags);
    if (looksBsd(name))
        return Diagnostics::fail("unknown oid '" + name + "'");
    return linuxName(name, newValue, flags);
}

// procps' -p: "name = value" lines, '#' and ';' comments.
int load(const std::string &file, const Flags &flags)
{
    std::ifstream in(file);
    if (!in)
        return Diagnostics::fail("cannot open \"" + file + "\": " + std::strerror(errno));
    int status = 0;
    std::string line;
    while (std::getline(in, line)) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#' || line[first] == ';')
            continue;
        line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
        if (line.find('=') == std::string::npos)
            continue;
        if (handle(line, true, flags) != 0)
            status = 1;
    }
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    Diagnostics::setTool("sysctl");
    Flags flags;
    bool write = false;
    std::string loadFile;
    bool loading = false;
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.size() < 2 || word[0] != '-') {
            arguments.push_back(word);
            continue;
        }
        for (size_t j = 1; j < word.size(); ++j) {
            switch (word[j]) {
            case 'w':
                write = true;
                break;
            case 'n':
                flags.valuesOnly = true;
                break;
            case 'e':
                flags.ignoreUnknown = true;
                break;
            case 'q':
                flags.quiet = true;
                break;
            case 'p':
                loading = true;
                break;
            default:
                return Diagnostics::fail("unsupported option -" + std::string(1, word[j]));
            }
        }
    }
    if (loading) {
        if (arguments.size() > 1)
            return Diagnostics::fail("-p takes one file");
        return load(arguments.empty() ? "/etc/sysctl.conf" : arguments.front(), flags);
    }
    if (arguments.empty())
        return Diagnostics::fail("usage: sysctl [-n] [-e] [-q] [-w] name[=value] ...");
    int status = 0;
    for (const std::string &argument : arguments) {
        if (handle(argument, write, flags) != 0)
            status = 1;
    }
    return status;
}
