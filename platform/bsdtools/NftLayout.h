#pragma once

// How natd's and ipfw's nftables tables fit together. natd marks the packets it handles just
// before ipfw's chains look at them and clears the mark just after; a divert rule drops forwarded
// packets that carry no mark, so without a natd nothing leaves untranslated while this computer's
// own traffic passes.
namespace NftLayout {

inline constexpr const char *family = "ip";
inline constexpr const char *natdTable = "velloran_natd";
inline constexpr const char *ipfwTable = "velloran_ipfw";

inline constexpr unsigned divertMark = 0x01000000;

// prerouting: after conntrack (-200), so connection states are known; before mangle (-150).
inline constexpr int natdMarkIn = -170;
inline constexpr int ipfwIn = -165;
inline constexpr int natdUnmarkIn = -160;
// postrouting: all before source NAT (100), so a dropped first packet leaves no translation.
inline constexpr int natdMarkOut = 40;
inline constexpr int ipfwOut = 50;
inline constexpr int natdUnmarkOut = 60;

} // namespace NftLayout
