#include "FakeProcess.h"

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

FakeProcess::FakeProcess(const QStringList &argv)
{
    std::vector<QByteArray> bytes;
    for (const QString &arg : argv)
        bytes.push_back(arg.toLocal8Bit());
    std::vector<char *> args;
    for (QByteArray &b : bytes)
        args.push_back(b.data());
    args.push_back(nullptr);
    if (posix_spawn(&m_pid, VELLORAN_TEST_IDLE, nullptr, nullptr, args.data(), environ) != 0)
        m_pid = -1;
}

FakeProcess::~FakeProcess()
{
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}
