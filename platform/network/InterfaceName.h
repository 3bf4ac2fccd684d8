#pragma once

#include <string_view>

// The one rule for interface names that reach root: the boot script, natd.conf, the root helper
// and the tools all take a name only when it passes. Plain C++, for the helper and the stand-ins.
namespace InterfaceName {

// A name the kernel accepts (1 to 15 bytes, not "." or "..", no '/', ':' or blank) made only of
// letters (non-ASCII ones too, in UTF-8), digits and ". - _ + @": nothing a shell or a
// configuration file reads as syntax.
bool isValid(std::string_view name);

// Four decimal numbers 0-255 joined by dots, as the tools are given addresses and masks.
bool isDottedQuad(std::string_view text);

} // namespace InterfaceName
