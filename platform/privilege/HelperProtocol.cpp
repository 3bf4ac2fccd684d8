#include "privilege/HelperProtocol.h"

#include <cerrno>
#include <cstring>

namespace HelperProtocol {

namespace {

bool acceptable(const std::string &text)
{
    return text.size() <= kMaxStringSize && text.find('\0') == std::string::npos;
}

void appendWord(std::string &out, std::uint32_t word)
{
    out.append(reinterpret_cast<const char *>(&word), sizeof word);
}

bool takeWord(const char *&at, const char *end, std::uint32_t &word)
{
    if (static_cast<std::size_t>(end - at) < sizeof word)
        return false;
    std::memcpy(&word, at, sizeof word);
    at += sizeof word;
    return true;
}

} // namespace

std::optional<std::string> encode(const Request &request)
{
    if (request.path.empty() || request.path.front() != '/' || !acceptable(request.path) ||
        request.arguments.size() > kMaxArguments)
        return std::nullopt;
    std::string body;
    appendWord(body, static_cast<std::uint32_t>(request.arguments.size() + 1));
    appendWord(body, static_cast<std::uint32_t>(request.path.size()));
    body += request.path;
    for (const std::string &argument : request.arguments) {
        if (!acceptable(argument))
            return std::nullopt;
        appendWord(body, static_cast<std::uint32_t>(argument.size()));
        body += argument;
    }
    std::string message;
    appendWord(message, static_cast<std::uint32_t>(body.size()));
    return message + body;
}

std::optional<Request> decode(const char *body, std::size_t size)
{
    if (size > kMaxBodySize)
        return std::nullopt;
    const char *at = body;
    const char *const end = body + size;
    std::uint32_t count = 0;
    if (!takeWord(at, end, count) || count < 1 || count > kMaxArguments + 1)
        return std::nullopt;
    std::vector<std::string> strings;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t length = 0;
        if (!takeWord(at, end, length) || length > kMaxStringSize ||
            length > static_cast<std::size_t>(end - at))
            return std::nullopt;
        std::string text(at, length);
        if (!acceptable(text))
            return std::nullopt;
        strings.push_back(std::move(text));
        at += length;
    }
    if (at != end || strings.front().empty() || strings.front().front() != '/')
        return std::nullopt;
    Request request;
    request.path = std::move(strings.front());
    request.arguments.assign(std::make_move_iterator(strings.begin() + 1),
                             std::make_move_iterator(strings.end()));
    return request;
}

std::string encodeReply(std::int32_t status, const std::string &answer)
{
    const bool fits = answer.size() <= kMaxAnswerSize;
    std::string reply;
    appendWord(reply, static_cast<std::uint32_t>(fits ? status : EMSGSIZE));
    appendWord(reply, static_cast<std::uint32_t>(fits ? answer.size() : 0));
    return fits ? reply + answer : reply;
}

} // namespace HelperProtocol
