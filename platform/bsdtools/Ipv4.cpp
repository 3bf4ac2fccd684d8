#include "Ipv4.h"

#include <arpa/inet.h>
#include <cstdio>

namespace Ipv4 {

std::optional<in_addr_t> parseAddress(std::string_view text)
{
    const std::string copy(text);
    in_addr address{};
    if (copy.size() > INET_ADDRSTRLEN || inet_pton(AF_INET, copy.c_str(), &address) != 1)
        return std::nullopt;
    return address.s_addr;
}

std::optional<int> parseNetmask(std::string_view text)
{
    uint32_t mask = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (text.size() > 10)
            return std::nullopt;
        for (char c : text.substr(2)) {
            int digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return std::nullopt;
            mask = (mask << 4) | uint32_t(digit);
        }
    } else {
        const auto address = parseAddress(text);
        if (!address)
            return std::nullopt;
        mask = ntohl(*address);
    }
    int length = 0;
    while (length < 32 && (mask & (0x80000000u >> length)))
        ++length;
    if (netmask(length) != htonl(mask))
        return std::nullopt;
    return length;
}

std::string format(in_addr_t address)
{
    char text[INET_ADDRSTRLEN];
    in_addr in{address};
    return inet_ntop(AF_INET, &in, text, sizeof text);
}

in_addr_t netmask(int prefixLength)
{
    return htonl(prefixLength <= 0 ? 0 : 0xffffffffu << (32 - prefixLength));
}

std::string hexNetmask(int prefixLength)
{
    char text[11];
    std::snprintf(text, sizeof text, "0x%08x", ntohl(netmask(prefixLength)));
    return text;
}

in_addr_t broadcast(in_addr_t address, int prefixLength)
{
    return address | ~netmask(prefixLength);
}

int classfulPrefix(in_addr_t address)
{
    const uint32_t host = ntohl(address);
    if ((host & 0x80000000u) == 0)
        return 8;
    if ((host & 0xc0000000u) == 0x80000000u)
        return 16;
    if ((host & 0xe0000000u) == 0xc0000000u)
        return 24;
    return 32;
}

} // namespace Ipv4
