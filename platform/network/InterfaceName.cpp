#include "network/InterfaceName.h"

#include <cstddef>

namespace InterfaceName {

namespace {

constexpr std::size_t kMaxBytes = 15; // IFNAMSIZ less the terminating null

} // namespace

bool isValid(std::string_view name)
{
    if (name.empty() || name.size() > kMaxBytes || name == "." || name == ".." || name[0] == '-')
        return false;
    for (const char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_' || c == '+' ||
                           c == '@';
        if (!plain)
            return false;
    }
    return true;
}

std::string refusal(std::string_view name)
{
    if (isValid(name))
        return {};
    // Shown on one line, whatever the name holds.
    std::string shown;
    for (const char c : name)
        shown += c > ' ' && c < 0x7f ? c : '?';
    return "The interface name \"" + shown +
           "\" can't be used for sharing: Velloran takes 1 to 15 ASCII letters, digits and . _ + "
           "@ -, not beginning with -.";
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
