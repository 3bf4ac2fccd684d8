#pragma once

// How natd's and ipfw's nftables tables fit together. natd marks the packets it handles just
// before ipfw's chains look at them; a divert rule drops what carries no mark and clears the mark
// of the rest, so it tells whether a natd is there and costs no further chain per packet.
namespace NftLayout {

inline constexpr const char *family = "ip";
inline constexpr const char *natdTable = "velloran_natd";
inline constexpr const char *ipfwTable = "velloran_ipfw";

inline constexpr const char *divertMark = "0x01000000";

// prerouting: after conntrack (-200), so connection states are known; before mangle (-150).
inline constexpr int natdMarkIn = -170;
inline constexpr int ipfwIn = -165;
// postrouting: all before source NAT (100), so a dropped first packet leaves no translation.
inline constexpr int natdMarkOut = 40;
inline constexpr int ipfwOut = 50;

} // namespace NftLayout
