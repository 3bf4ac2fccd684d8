#include "privilege/BsdToolView.h"

#include <cerrno>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace BsdToolView {

namespace {

const char *const kStandIns[] = {"natd", "ipfw", "ifconfig", "sysctl"};

// Appends text to out without allocating; overlay reads '\' ':' ',' in a path as syntax.
bool append(char *out, size_t size, size_t &used, const char *text, bool escape)
{
    for (; *text; ++text) {
        const bool special = *text == '\\' || *text == ':' || *text == ',';
        if (escape && special) {
            if (used + 1 >= size)
                return false;
            out[used++] = '\\';
        }
        if (used + 1 >= size)
            return false;
        out[used++] = *text;
    }
    out[used] = '\0';
    return true;
}

int overlay(const char *standIns, const char *target)
{
    char options[4096];
    size_t used = 0;
    if (!append(options, sizeof options, used, "lowerdir=", false) ||
        !append(options, sizeof options, used, standIns, true) ||
        !append(options, sizeof options, used, ":", false) ||
        !append(options, sizeof options, used, target, true))
        return ENAMETOOLONG;
    if (::mount("overlay", target, "overlay", MS_RDONLY, options) != 0)
        return errno;
    return 0;
}

// Root runs whatever lies there, so nobody but root may be able to change it.
int checkStandIns(const char *standIns)
{
    if (const int error = checkRootOnly(standIns))
        return error;
    struct stat info;
    const int dir = ::open(standIns, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return errno;
    int result = 0;
    for (const char *name : kStandIns) {
        if (::fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            (!S_ISREG(info.st_mode) || info.st_uid != 0 || (info.st_mode & (S_IWGRP | S_IWOTH))))
            result = EPERM;
    }
    ::close(dir);
    return result;
}

bool sameDirectory(const char *a, const char *b)
{
    struct stat first, second;
    return ::stat(a, &first) == 0 && ::stat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

} // namespace

int checkRootOnly(const char *folder)
{
    char path[4096];
    size_t length = 0;
    if (!folder || folder[0] != '/' || !append(path, sizeof path, length, folder, false))
        return EINVAL;
    while (length > 1 && path[length - 1] == '/')
        path[--length] = '\0';
    // From the folder itself up to "/", each one a real folder of root's that only root can
    // change; above it a sticky one of root's (like /tmp) also keeps others from renaming.
    for (bool last = true;; last = false) {
        struct stat info;
        if (::lstat(path, &info) != 0)
            return errno;
        if (!S_ISDIR(info.st_mode))
            return S_ISLNK(info.st_mode) ? EPERM : ENOTDIR;
        const bool othersWrite = info.st_mode & (S_IWGRP | S_IWOTH);
        if (info.st_uid != 0 || (othersWrite && (last || !(info.st_mode & S_ISVTX))))
            return EPERM;
        if (length == 1)
            return 0;
        while (length > 1 && path[length - 1] != '/')
            --length;
        if (length > 1)
            --length;
        path[length] = '\0';
    }
}

int enter(const char *standInsDir)
{
    struct stat info;
    if (!standInsDir || !*standInsDir || (::stat(standInsDir, &info) != 0 && errno == ENOENT))
        return 0;
    if (const int error = checkStandIns(standInsDir))
        return error;
    if (::unshare(CLONE_NEWNS) != 0)
        return errno;
    // Private, so that nothing mounted here reaches the host.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return errno;
    if (const int error = overlay(standInsDir, "/usr/sbin"))
        return error;
    // Where /sbin is not a link to usr/sbin (as it is on Debian) it needs its own overlay.
    struct stat sbin;
    if (::lstat("/sbin", &sbin) == 0 && !sameDirectory("/sbin", "/usr/sbin")) {
        if (const int error = overlay(standInsDir, "/sbin"))
            return error;
    }
    return 0;
}

int keep(const char *standInsDir, int &nsFd, int &rootFd)
{
    if (const int error = enter(standInsDir))
        return error;
    nsFd = ::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    if (nsFd < 0)
        return errno;
    rootFd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return rootFd < 0 ? errno : 0;
}

int join(const char *standInsDir, int nsFd, int rootFd)
{
    struct stat info;
    if (!standInsDir || !*standInsDir || (::stat(standInsDir, &info) != 0 && errno == ENOENT))
        return 0;
    if (const int error = checkStandIns(standInsDir))
        return error;
    // Joining a namespace puts us at its real root: go back into the root the view was made in.
    if (::setns(nsFd, CLONE_NEWNS) != 0 || ::fchdir(rootFd) != 0 || ::chroot(".") != 0 ||
        ::chdir("/") != 0)
        return errno;
    return 0;
}

} // namespace BsdToolView
