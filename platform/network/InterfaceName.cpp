#include "network/InterfaceName.h"

#include <cstddef>

namespace InterfaceName {

namespace {

constexpr std::size_t kMaxBytes = 15; // IFNAMSIZ less the terminating null

// The length of the UTF-8 sequence of a letter beyond ASCII starting at `at`, 0 when malformed.
std::size_t utf8Length(std::string_view text, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead >= 0xf0 && lead <= 0xf4   ? 4
                               : lead >= 0xe0                 ? 3
                               : lead >= 0xc2 && lead <= 0xdf ? 2
                                                              : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[at + i]) & 0xc0) != 0x80)
            return 0;
    }
    // C1 controls and the no-break space are no letters.
    if (lead == 0xc2 && static_cast<unsigned char>(text[at + 1]) <= 0xa0)
        return 0;
    return length;
}

} // namespace

bool isValid(std::string_view name)
{
    if (name.empty() || name.size() > kMaxBytes || name == "." || name == "..")
        return false;
    for (std::size_t at = 0; at < name.size();) {
        const char c = name[at];
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_' || c == '+' ||
                           c == '@';
        if (plain) {
            ++at;
            continue;
        }
        const std::size_t length = utf8Length(name, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

bool isDottedQuad(std::string_view text)
{
    int parts = 0;
    std::size_t at = 0;
    while (parts < 4) {
        std::size_t digits = 0;
        unsigned value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 3) {
            value = value * 10 + unsigned(text[at] - '0');
            ++at;
            ++digits;
        }
        if (digits == 0 || value > 255)
            return false;
        if (++parts < 4 && (at >= text.size() || text[at++] != '.'))
            return false;
    }
    return at == text.size();
}

} // namespace InterfaceName
