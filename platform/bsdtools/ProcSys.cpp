#include "ProcSys.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace ProcSys {

std::optional<std::string> read(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string value;
    char buffer[4096];
    ssize_t count;
    while ((count = ::read(fd, buffer, sizeof buffer)) > 0)
        value.append(buffer, size_t(count));
    const int readError = errno;
    ::close(fd);
    if (count < 0) {
        errno = readError;
        return std::nullopt;
    }
    while (!value.empty() && value.back() == '\n')
        value.pop_back();
    return value;
}

bool write(const std::string &path, const std::string &value)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t written = ::write(fd, value.data(), value.size());
    const int writeError = errno;
    ::close(fd);
    if (written != ssize_t(value.size())) {
        errno = written < 0 ? writeError : EIO;
        return false;
    }
    return true;
}

} // namespace ProcSys
