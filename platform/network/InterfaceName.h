#pragma once

#include <string>
#include <string_view>

// The one rule for interface names that reach root: the window, the root helper, natd.conf, the
// boot script, the DHCP server's line and the four tools all take a name only when it passes, and
// all refuse it with the same words. Plain C++, for the helper and the stand-ins.
namespace InterfaceName {

// A name the kernel accepts (1 to 15 bytes, not "." or "..", no '/', ':' or blank) made only of
// ASCII letters, digits and ". - _ + @", not beginning with '-': a plain word to the boot shell
// script, and never an option to the tools.
bool isValid(std::string_view name);

// Why `name` can't be used, in one line; empty when it can.
std::string refusal(std::string_view name);

// Four decimal numbers 0-255 joined by dots, as the tools are given addresses and masks.
bool isDottedQuad(std::string_view text);

} // namespace InterfaceName
