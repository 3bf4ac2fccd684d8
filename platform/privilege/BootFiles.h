#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The startup item's script and natd's configuration file: made from the window's values, and
// made again from the values read back out of staged bytes. Plain C++: Velloran stages the files
// with it, and root makes them again with it before it installs anything.
namespace BootFiles {

using Words = std::vector<std::string>;
using Lines = std::vector<std::string>;

// natd.conf's lines from natd's argument list; none when the interface is missing or isn't a
// sound name. `skipped` counts the elements that match no option.
std::optional<Lines> natConfigLines(const Words &natArgs, std::size_t *skipped = nullptr);

// The script's lines; none when an interface or a word isn't safe for a script root runs.
std::optional<Lines> startupLines(const std::string &divertInterface, const Words &ifconfigArgs,
                                  bool nameServerRuns,
                                  const std::optional<std::string> &dhcpLine = {});

// One word the shell can only read as itself: ASCII letters, digits, '.', '-', '_'.
bool isPlainWord(std::string_view word);

std::string bytesOf(const Lines &lines);

// The file made again from the values found in `bytes`, when the root helper would run every
// command those values make; none otherwise. Equal to `bytes` only for a file Velloran made.
std::optional<std::string> remakeNatConfig(std::string_view bytes);
std::optional<std::string> remakeStartupScript(std::string_view bytes);

} // namespace BootFiles
