// Launch cost: Velloran's launch (window definition, menus, saved settings, the look at what
// runs on the machine) beside a bare Qt window, each in a fresh process; wall time from fork to
// the window being ready, and the child's peak resident memory.
#include "ApplicationMain.h"
#include "Bundle.h"
#include "NATController.h"

#include <QApplication>
#include <QMainWindow>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstring>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

char *g_self = nullptr;

int childMain(const char *mode)
{
    int argc = 1;
    char *argv[] = {g_self, nullptr};
    QApplication app(argc, argv);
    if (std::strcmp(mode, "velloran") == 0) {
        Bundle::setBundlePath(QStringLiteral(VELLORAN_BENCH_BUNDLE));
        auto loaded = MainWindowLoader::load();
        loaded->controller->awakeFromNib();
        loaded->controller->applicationDidFinishLaunching(&app);
        QApplication::processEvents();
    } else {
        QMainWindow window;
        window.show();
        QApplication::processEvents();
    }
    return 0;
}

void launch(benchmark::State &state, const char *mode)
{
    long peakKiB = 0;
    for (auto _ : state) {
        const pid_t pid = fork();
        if (pid == 0) {
            execl(g_self, g_self, "--child", mode, static_cast<char *>(nullptr));
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            state.SkipWithError("child failed");
        peakKiB = std::max(peakKiB, usage.ru_maxrss);
    }
    state.counters["peak_KiB"] = double(peakKiB);
}

} // namespace

BENCHMARK_CAPTURE(launch, bare_qt_window, "bare")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(launch, velloran, "velloran")->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char **argv)
{
    g_self = argv[0];
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0)
        return childMain(argv[2]);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
