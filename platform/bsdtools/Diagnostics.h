#pragma once

#include <string>

// One-line errors on stderr, prefixed with the tool's name, as the BSD tools print them.
namespace Diagnostics {

void setTool(const char *name);
// Prints "<tool>: <message>" and answers the exit status to use (1).
int fail(const std::string &message);
// The first line of a library's error text, without nft's "Error: " prefix.
std::string firstLine(const std::string &text);

} // namespace Diagnostics
