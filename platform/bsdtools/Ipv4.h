#pragma once

#include <netinet/in.h>
#include <optional>
#include <string>
#include <string_view>

// IPv4 addresses and netmasks as the BSD tools write them; addresses are in network order.
namespace Ipv4 {

// A strict dotted quad ("192.168.2.1"; no "010", no three-part forms).
std::optional<in_addr_t> parseAddress(std::string_view text);
// "255.255.255.0" or "0xffffff00"; only contiguous masks have a prefix length.
std::optional<int> parseNetmask(std::string_view text);
std::string format(in_addr_t address);
in_addr_t netmask(int prefixLength);
std::string hexNetmask(int prefixLength);
in_addr_t broadcast(in_addr_t address, int prefixLength);
// BSD's default when no netmask is given: the address's historical class.
int classfulPrefix(in_addr_t address);

} // namespace Ipv4
