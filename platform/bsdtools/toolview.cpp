// velloran-toolview: runs a command in the BSD tool view, where /usr/sbin/natd, /sbin/ipfw,
// /sbin/ifconfig and /usr/sbin/sysctl are the stand-ins carried beside this program.
#include "privilege/BsdToolView.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: velloran-toolview program [argument ...]\n");
        return 2;
    }
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        std::fprintf(stderr, "velloran-toolview: cannot find itself: %s\n", std::strerror(errno));
        return 1;
    }
    std::string standIns(self, size_t(length));
    standIns = standIns.substr(0, standIns.rfind('/')) + "/bsdtools";
    if (const int error = BsdToolView::enter(standIns.c_str())) {
        std::fprintf(stderr, "velloran-toolview: cannot enter the tool view: %s\n",
                     std::strerror(error));
        return 1;
    }
    ::execv(argv[1], argv + 1);
    std::fprintf(stderr, "velloran-toolview: %s: %s\n", argv[1], std::strerror(errno));
    return 127;
}
