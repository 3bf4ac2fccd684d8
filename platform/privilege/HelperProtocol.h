#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What Velloran and its root helper say to each other on the helper's stdout, a socket (or on a
// pair of pipes, its stdin and stdout).
//
// The helper greets once with the four bytes of kGreeting when it runs as root. Each request is
//   u32 body length, then the body: u32 count, then count times (u32 size, size bytes),
// all integers in the machine's own byte order; the first string is the tool's absolute path,
// the others its arguments. The reply is an i32 (0 when the tool started, else an errno value),
// then a u32 size and that many bytes: what a command that answers wrote, none for the others.
// A body length of 0 is kEnd: the helper ends at once, whoever else still holds the pipe.
namespace HelperProtocol {

constexpr char kGreeting[4] = {'V', 'R', 'H', '1'};
constexpr char kEnd[4] = {0, 0, 0, 0};
constexpr std::size_t kMaxArguments = 19;
constexpr std::size_t kMaxStringSize = 4096;
constexpr std::size_t kMaxBodySize =
    sizeof(std::uint32_t) + (kMaxArguments + 1) * (sizeof(std::uint32_t) + kMaxStringSize);
constexpr std::size_t kMaxAnswerSize = 64 * 1024;

struct Request {
    std::string path;
    std::vector<std::string> arguments;
};

// The whole message, length word included; none when the request breaks the limits above.
std::optional<std::string> encode(const Request &request);

// The body (after the length word); none unless it has exactly the shape described above.
std::optional<Request> decode(const char *body, std::size_t size);

// The whole reply; an answer past kMaxAnswerSize is never sent (the status says EMSGSIZE).
std::string encodeReply(std::int32_t status, const std::string &answer);

} // namespace HelperProtocol
