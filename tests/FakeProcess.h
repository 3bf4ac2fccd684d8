#pragma once

#include <QStringList>
#include <sys/types.h>

// A process that only idles, started with exactly the argv the test gives it (argv[0] too), so
// that `ps` shows the command line of a daemon without running one. Ended by its pid.
class FakeProcess
{
public:
    explicit FakeProcess(const QStringList &argv);
    ~FakeProcess();
    FakeProcess(const FakeProcess &) = delete;
    FakeProcess &operator=(const FakeProcess &) = delete;

    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};
