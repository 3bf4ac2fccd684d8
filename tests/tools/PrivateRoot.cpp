// velloran_private_root WORK RESOURCES COMMAND...: COMMAND as root in a root of WORK's /etc (a
// copy of the host's), /Library, /tmp, /run and /var, and the host's programs. The tests run it
// hundreds of times, so it mounts by itself rather than through a mount process per folder.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "private_root: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

void bind(const std::string &from, const std::string &to, unsigned long recursive = 0)
{
    if (::mount(from.c_str(), to.c_str(), nullptr, MS_BIND | recursive, nullptr) != 0)
        fail("mount " + from + " on " + to);
}

ino_t mountNamespace(const char *process)
{
    struct stat st {
    };
    return ::stat((std::string("/proc/") + process + "/ns/mnt").c_str(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: velloran_private_root WORK RESOURCES COMMAND...\n");
        return 2;
    }
    const std::string work = argv[1], resources = argv[2], root = work + "/root";
    // Never mount in the caller's or the host's mount namespace (process 1 may be this one).
    const ino_t outer = mountNamespace("self");
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        fail("a private mount namespace");
    if (const ino_t self = mountNamespace("self");
        self == 0 || self == outer || (::getpid() != 1 && self == mountNamespace("1"))) {
        errno = EPERM;
        fail("not in a private mount namespace");
    }
    std::error_code ignored;
    for (const char *entry : {"/tmp", "/var/tmp"}) // made once: a test may change them afterwards
        if (!fs::is_directory(work + entry) &&
            (!fs::create_directories(work + entry) || ::chmod((work + entry).c_str(), 01777)))
            fail("mkdir " + work + entry);
    for (const char *entry : {"/Library", "/run", "/root", "/var/cache/bind"})
        fs::create_directories(work + entry, ignored);
    if (!fs::is_symlink(work + "/var/run"))
        ::symlink("/run", (work + "/var/run").c_str());
    // The host's /etc, and its font cache: without it every window would build one first.
    for (const std::string entry : {"/etc", "/var/cache/fontconfig"}) {
        if (fs::is_directory(work + entry))
            continue;
        fs::create_directories(work + entry, ignored);
        if (const pid_t cp = ::fork(); cp == 0) {
            ::execl("/bin/cp", "cp", "-a", (entry + "/.").c_str(), (work + entry).c_str(), nullptr);
            ::_exit(127);
        } else if (cp > 0) {
            ::waitpid(cp, nullptr, 0); // what it could not copy is simply missing
        }
    }
    // A mount point of its own, as at boot: the tool view can only make a mount point private.
    bind(root, root);
    for (const char *entry :
         {"bin", "sbin", "lib", "lib32", "lib64", "libx32", "usr", "opt", "dev", "proc", "sys"}) {
        const std::string host = std::string("/") + entry, inside = root + host;
        if (fs::is_symlink(host)) {
            if (!fs::is_symlink(inside) &&
                ::symlink(fs::read_symlink(host).c_str(), inside.c_str()))
                fail("ln -s " + inside);
        } else if (fs::is_directory(host)) {
            fs::create_directories(inside, ignored);
            bind(host, inside, MS_REC);
        }
    }
    for (const char *entry : {"/etc", "/Library", "/run", "/tmp", "/var"}) {
        fs::create_directories(root + entry, ignored);
        bind(work + entry, root + entry);
    }
    fs::create_directories(root + resources, ignored);
    bind(resources, root + resources);
    if (::chroot(root.c_str()) != 0 || ::chdir("/") != 0)
        fail("chroot " + root);
    ::execvp(argv[3], argv + 3);
    fail(std::string("exec ") + argv[3]);
}
