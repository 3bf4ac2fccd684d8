// velloran-bootfiles UID SCRIPT CONFIG PARAMETERS BUNDLE_PARAMETERS FOLDER, run as root by
// load_install. Reads each staged file once, makes the script and natd.conf again from the values
// in them, and writes into FOLDER (root's) only files that are byte for byte the staged ones; the
// parameters list written is the bundle's own, when the staged one is a copy of it.
#include "privilege/BootFiles.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kMaxBytes = 64 * 1024; // far more than any file Velloran stages

[[noreturn]] void refuse(const char *path, const std::string &why)
{
    std::fprintf(stderr, "velloran-bootfiles: %s %s; nothing installed\n", path, why.c_str());
    std::exit(1);
}

// Opened once, never through a link and never waiting on another program's lease: a plain file,
// and with an `owner`, one of theirs or root's with no other name.
std::string readOnce(const char *path, const uid_t *owner)
{
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        refuse(path,
               errno == ELOOP ? "is a link" : std::string("can't be read: ") + strerror(errno));
    struct stat st {
    };
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        refuse(path, "is not a plain file");
    if (owner && st.st_uid != *owner && st.st_uid != 0)
        refuse(path, "belongs to user " + std::to_string(st.st_uid));
    if (owner && st.st_nlink != 1)
        refuse(path, "has other names");
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            refuse(path, std::string("can't be read: ") + strerror(errno));
        bytes.append(buffer, std::size_t(n));
        if (bytes.size() > kMaxBytes)
            refuse(path, "is too large");
    }
    close(fd);
    return bytes;
}

void writeNew(int folder, const char *folderPath, const char *name, const std::string &bytes)
{
    const int fd = openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    std::size_t done = 0;
    while (fd >= 0 && done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += std::size_t(n);
        else if (n == 0 || errno != EINTR)
            break;
    }
    if (fd < 0 || done < bytes.size() || close(fd) != 0)
        refuse(folderPath, std::string("can't take ") + name + ": " + strerror(errno));
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 7) {
        std::fprintf(stderr, "usage: velloran-bootfiles UID SCRIPT CONFIG PARAMETERS "
                             "BUNDLE_PARAMETERS FOLDER\n");
        return 2;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long requester = std::strtoul(argv[1], &end, 10);
    if (argv[1][0] < '0' || argv[1][0] > '9' || *end != '\0' || errno != 0 || requester >= UINT_MAX)
        refuse(argv[1], "is no user");
    const uid_t uid = uid_t(requester);

    // The bundle's list lies beside load_install, as trusted as the script that runs us.
    const std::string script = readOnce(argv[2], &uid), config = readOnce(argv[3], &uid),
                      staged = readOnce(argv[4], &uid), parameters = readOnce(argv[5], nullptr);
    const auto remadeScript = BootFiles::remakeStartupScript(script);
    if (!remadeScript || *remadeScript != script)
        refuse(argv[2], "is not a script Velloran makes");
    const auto remadeConfig = BootFiles::remakeNatConfig(config);
    if (!remadeConfig || *remadeConfig != config)
        refuse(argv[3], "is not a natd configuration Velloran makes");
    if (staged != parameters)
        refuse(argv[4], "is not the bundle's parameters list");

    // Made empty for this run by load_install: root's, and nobody else's to change.
    const int folder = open(argv[6], O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {
    };
    if (folder < 0 || fstat(folder, &st) != 0 || st.st_uid != 0 || (st.st_mode & 022) != 0)
        refuse(argv[6], "is not a folder of root's alone");
    writeNew(folder, argv[6], "Velloran", *remadeScript);
    writeNew(folder, argv[6], "natd.conf", *remadeConfig);
    writeNew(folder, argv[6], "StartupParameters.plist", parameters);
    return 0;
}
