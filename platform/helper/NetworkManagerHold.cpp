// Velloran's root program for NetworkManager. "unmanage IF" sets the LAN's interface unmanaged
// while sharing runs and leaves a note naming it; "restore" hands the noted interface back;
// "boot" does what "unmanage" does for the LAN of the installed startup item.
#include "network/InterfaceName.h"
#include "network/NetworkManager.h"

#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using NetworkManager::Device;

const char kRunFolder[] = "/run/velloran";
const char kStartupItem[] = "/Library/StartupItems/Velloran/Velloran";

bool fail(const std::string &why)
{
    std::fprintf(stderr, "velloran-nm: %s\n", why.c_str());
    return false;
}

bool isRootsOwn(const struct stat &info)
{
    return info.st_uid == 0 && (info.st_mode & 022) == 0;
}

// A plain file of root's that nobody else can change, not followed through a link.
std::optional<std::string> readRootsFile(const char *path)
{
    const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat info {
    };
    std::string text(64 * 1024, '\0');
    ssize_t got = -1;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && isRootsOwn(info))
        got = ::read(fd, text.data(), text.size());
    ::close(fd);
    if (got < 0)
        return std::nullopt;
    text.resize(std::size_t(got));
    return text;
}

std::string notePath()
{
    return NetworkManager::kNote.toStdString();
}

bool folderIsRoots()
{
    struct stat folder {
    };
    return ::lstat(kRunFolder, &folder) == 0 && S_ISDIR(folder.st_mode) && isRootsOwn(folder);
}

// The interface the note names, when root left it and it names one.
std::optional<std::string> noted()
{
    const auto text = folderIsRoots() ? readRootsFile(notePath().c_str()) : std::nullopt;
    if (!text || text->empty() || text->back() != '\n')
        return std::nullopt;
    const std::string name = text->substr(0, text->size() - 1);
    return InterfaceName::isValid(name) ? std::optional(name) : std::nullopt;
}

bool leaveNote(const std::string &interface)
{
    if (::mkdir(kRunFolder, 0755) != 0 && errno != EEXIST)
        return fail(std::string("cannot make ") + kRunFolder);
    if (!folderIsRoots())
        return fail(std::string(kRunFolder) + " is not root's own folder");
    const std::string note = notePath(), fresh = note + ".new", line = interface + '\n';
    ::unlink(fresh.c_str());
    const int fd =
        ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    const bool written = fd >= 0 && ::write(fd, line.data(), line.size()) == ssize_t(line.size());
    if (fd >= 0)
        ::close(fd);
    if (!written || ::rename(fresh.c_str(), note.c_str()) != 0)
        return fail("cannot write " + note);
    return true;
}

bool handBack()
{
    const auto name = noted();
    if (!name) // a note that names nothing is no use to anyone
        return !folderIsRoots() || ::unlink(notePath().c_str()) == 0 || errno == ENOENT;
    const QString interface = QString::fromStdString(*name);
    switch (NetworkManager::device(interface)) {
    case Device::Absent: // NetworkManager keeps its run-time state for when it runs again
        return true;
    case Device::Unmanaged:
        if (!NetworkManager::setManaged(interface, true))
            return fail("NetworkManager did not take " + *name + " back");
        break;
    case Device::Unknown:
    case Device::Managed:
        break;
    }
    ::unlink(notePath().c_str());
    return true;
}

// The interface is noted before it is unmanaged, so that nothing ever leaves it unmanaged unnoted.
bool holdBack(const std::string &name)
{
    if (!InterfaceName::isValid(name))
        return fail("not an interface name");
    const QString interface = QString::fromStdString(name);
    const auto before = noted();
    if (before == name && NetworkManager::device(interface) == Device::Unmanaged)
        return true;
    // One interface is held at a time: an earlier sharing's goes back first.
    if (before && !handBack())
        return false;
    // Not managed (or no NetworkManager): nothing to take away, and nothing to give back later.
    if (NetworkManager::device(interface) != Device::Managed)
        return true;
    if (!leaveNote(name))
        return false;
    return NetworkManager::setManaged(interface, false) ||
           fail("NetworkManager did not leave " + name + " alone");
}

// The LAN of the installed item: its ifconfig line, unless that adds an alias (one interface).
std::optional<std::string> lanOfStartupItem()
{
    std::istringstream item(readRootsFile(kStartupItem).value_or(std::string()));
    for (std::string line; std::getline(item, line);) {
        if (line.rfind("/sbin/ifconfig ", 0) != 0)
            continue;
        std::istringstream split(line);
        std::vector<std::string> words;
        for (std::string word; split >> word;)
            words.push_back(word);
        return words.size() == 5 ? std::optional(words[1]) : std::nullopt;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char *argv[])
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (::geteuid() != 0)
        return fail("not running as root"), 1;
    QCoreApplication app(argc, argv);
    bool done = false;
    if (args == std::vector<std::string>{"restore"})
        done = handBack();
    else if (args.size() == 2 && args[0] == "unmanage")
        done = holdBack(args[1]);
    else if (args == std::vector<std::string>{"boot"}) {
        // An item without a LAN of its own shares over one interface, which stays managed.
        const auto lan = lanOfStartupItem();
        done = !lan || holdBack(*lan);
    } else
        fail("usage: velloran-nm unmanage INTERFACE | restore | boot");
    return done ? 0 : 1;
}
