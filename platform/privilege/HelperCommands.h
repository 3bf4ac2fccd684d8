#pragma once

#include <string>
#include <vector>

// What Velloran's root helper may start: each of Velloran's own commands, an exact program with
// the argument forms Velloran sends. Plain C++, for the helper.
namespace HelperCommands {

// The Resources folder the helper runs from, where Velloran's own scripts and files lie: its path
// as the kernel names the helper's own folder (no links), and the folder itself, opened once.
struct Resources {
    std::string path;
    int fd = -1;
};
Resources openResources(const std::string &path);

// The name of the file `path` names in `resources`, spelt exactly "<path>/<name>"; else empty.
std::string nameInResources(const std::string &path, const Resources &resources);

// 0 when `path` with `arguments` is one of Velloran's commands, else EPERM. Velloran's own
// scripts and files are run or copied, through the descriptor, only while nobody but root can
// change that folder or any above it. `answers` tells whether the command's output goes back.
int check(const std::string &path, const std::vector<std::string> &arguments,
          const Resources &resources, bool *answers = nullptr);

// Whether `pid` is a process of root's (every uid 0) whose command line is natd's
// ("/usr/sbin/natd ..."), Velloran's name server (NameServer::isOwnServer: root's, or bind's
// with "-u bind"), or Velloran's DHCP server, named by its pid file in /run/velloran.
// `procRoot` is "/proc" but for tests.
bool isRootsNatdOrNamed(const std::string &pid, const std::string &procRoot = "/proc");

} // namespace HelperCommands
