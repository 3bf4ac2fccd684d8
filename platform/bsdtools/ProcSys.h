#pragma once

#include <optional>
#include <string>

// Kernel tunables under /proc/sys, read and written the way procps' sysctl does; the paths
// resolve in the caller's own network namespace.
namespace ProcSys {

inline constexpr const char *root = "/proc/sys/";

// The value without its trailing line feed, or nullopt with errno set.
std::optional<std::string> read(const std::string &path);
// Writes the value in one write(2); false with errno set.
bool write(const std::string &path, const std::string &value);

} // namespace ProcSys
