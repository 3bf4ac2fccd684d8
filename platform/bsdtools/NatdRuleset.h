#pragma once

#include "NatdOptions.h"

#include <string>

// natd's nftables table, built as text and run in one transaction. The table is owned by the
// socket that creates it, so it goes away with natd's process however that ends.
namespace NatdRuleset {

// aliasAddress is the interface's address read at start; unused with -dynamic.
std::string install(const NatdOptions &options, const std::string &aliasAddress);
// Replaces the translation rule after the interface's address changed (SIGHUP).
std::string retarget(const NatdOptions &options, const std::string &aliasAddress);
std::string remove();

} // namespace NatdRuleset
