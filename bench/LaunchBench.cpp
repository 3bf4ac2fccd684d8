// Launch cost: Velloran's launch (window definition, menus, saved settings, the look at what
// runs on the machine, the lock's silent check) beside a bare Qt window, each in a fresh process,
// in alternating pairs: wall time from fork to the window being ready, and the child's peak
// resident memory. As root, a second row launches both as an ordinary user (`nobody`), for whom
// the lock's check goes through "sudo -n".
//   velloran_launch_bench [pairs]
#include "ApplicationMain.h"
#include "desktop/Bundle.h"
#include "Median.h"
#include "NATController.h"

#include <QApplication>
#include <QMainWindow>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

char *g_self = nullptr;

int childMain(const char *mode, int readyFd)
{
    int argc = 1;
    char *argv[] = {g_self, nullptr};
    // As the application's main does.
    if (std::strcmp(mode, "velloran") == 0)
        NATController::startLookingAtWhatRuns();
    QApplication app(argc, argv);
    std::unique_ptr<LoadedWindow> loaded;
    std::unique_ptr<QMainWindow> bare;
    if (std::strcmp(mode, "velloran") == 0) {
        Bundle::setBundlePath(QStringLiteral(VELLORAN_BENCH_BUNDLE));
        loaded = MainWindowLoader::load();
        loaded->controller->awakeFromNib();
        loaded->controller->applicationDidFinishLaunching(&app);
    } else {
        bare = std::make_unique<QMainWindow>();
        bare->show();
    }
    QApplication::processEvents();
    const char ready = 1;
    return write(readyFd, &ready, 1) == 1 ? 0 : 1;
}

struct Launch {
    double ms = -1;
    double peakKiB = 0;
};

Launch launch(const char *mode, uid_t uid)
{
    int ready[2];
    if (pipe(ready) != 0)
        return {};
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
            _exit(126);
        const std::string fd = std::to_string(ready[1]);
        execl(g_self, g_self, "--child", mode, fd.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    char byte = 0;
    Launch result;
    if (read(ready[0], &byte, 1) == 1)
        result.ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
    close(ready[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    result.peakKiB = double(usage.ru_maxrss);
    return result;
}

bool row(const char *title, uid_t uid, int pairs)
{
    std::vector<double> velloranMs, bareMs, velloranKiB, bareKiB, timeRatios, memoryRatios;
    launch("velloran", uid); // warm the caches
    for (int pair = 0; pair < pairs; ++pair) {
        Launch v, b;
        if (pair % 2 == 0) {
            v = launch("velloran", uid);
            b = launch("bare", uid);
        } else {
            b = launch("bare", uid);
            v = launch("velloran", uid);
        }
        if (v.ms < 0 || b.ms < 0) {
            std::fprintf(stderr, "velloran_launch_bench: a launch failed\n");
            return false;
        }
        velloranMs.push_back(v.ms);
        bareMs.push_back(b.ms);
        velloranKiB.push_back(v.peakKiB);
        bareKiB.push_back(b.peakKiB);
        timeRatios.push_back(v.ms / b.ms);
        memoryRatios.push_back(v.peakKiB / b.peakKiB);
    }
    std::printf("%s: velloran %.1f ms, %.1f MiB; bare Qt window %.1f ms, %.1f MiB; median ratio "
                "%.2f (time), %.2f (memory)\n",
                title, median(velloranMs), median(velloranKiB) / 1024, median(bareMs),
                median(bareKiB) / 1024, median(timeRatios), median(memoryRatios));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    g_self = argv[0];
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0)
        return childMain(argv[2], std::atoi(argv[3]));
    const int pairs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 12;
    bool ok = row("launch", geteuid(), pairs);
    // The ordinary user: the lock's silent check goes through sudo.
    if (ok && geteuid() == 0)
        ok = row("launch as an ordinary user", 65534, pairs);
    return ok ? 0 : 1;
}
