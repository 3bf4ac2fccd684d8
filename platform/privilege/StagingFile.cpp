#include "privilege/StagingFile.h"

#include "desktop/SystemLog.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void logFailure(const QString &path, const char *what)
{
    SystemLog::log(QStringLiteral("Refusing to write %1: %2").arg(path, QString::fromLatin1(what)));
}

bool isOurs(const struct stat &st)
{
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

// Opens the staging file for writing, never through a link and never someone else's.
int openForWriting(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0)
        return fd;
    if (errno != EEXIST) {
        logFailure(path, std::strerror(errno));
        return -1;
    }
    // O_NONBLOCK: a FIFO planted at the path must not hang the window.
    fd = ::open(name.constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        logFailure(path, errno == ELOOP ? "it is a link" : std::strerror(errno));
        return -1;
    }
    struct stat st {
    };
    if (::fstat(fd, &st) != 0 || !isOurs(st)) {
        logFailure(path, "it is not a plain file of ours");
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || ::ftruncate(fd, 0) != 0) {
        logFailure(path, std::strerror(errno));
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

namespace StagingFile {

bool write(const QString &path, const QByteArray &bytes)
{
    const int fd = openForWriting(path);
    if (fd < 0)
        return false;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            logFailure(path, std::strerror(errno));
            ::close(fd);
            return false;
        }
        done += n;
    }
    return ::close(fd) == 0;
}

void removeOwn(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st {
    };
    if (::lstat(name.constData(), &st) == 0 && isOurs(st))
        ::unlink(name.constData());
}

} // namespace StagingFile
