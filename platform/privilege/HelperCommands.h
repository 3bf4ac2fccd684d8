#pragma once

#include <string>
#include <vector>

// What Velloran's root helper may start: each of Velloran's own commands, an exact program with
// the argument forms Velloran sends. Plain C++, for the helper.
namespace HelperCommands {

// 0 when `path` with `arguments` is one of Velloran's commands, else EPERM. `resources` is the
// Resources folder the helper runs from (canonical), where Velloran's own scripts and files lie;
// those are run or copied only while nobody but root can change that folder or any above it.
// `answers` tells whether the command's output goes back to Velloran.
int check(const std::string &path, const std::vector<std::string> &arguments,
          const std::string &resources, bool *answers = nullptr);

// Whether `pid` is a process of root's (every uid 0) whose command line is natd's
// ("/usr/sbin/natd ...") or Velloran's name server's ("/usr/sbin/named -c /etc/named.conf"), or
// Velloran's DHCP server, named by its pid file in /run/velloran.
// `procRoot` is "/proc" but for tests.
bool isRootsNatdOrNamed(const std::string &pid, const std::string &procRoot = "/proc");

} // namespace HelperCommands
