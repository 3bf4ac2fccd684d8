#pragma once

#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <ostream>
#include <unistd.h>

// A test that can't run here skips with its reason; in CI every test must run, so it fails.
#define VELLORAN_REQUIRE(condition, reason)                                                        \
    do {                                                                                           \
        if (condition)                                                                             \
            break;                                                                                 \
        if (qEnvironmentVariable("CI") == QLatin1String("true"))                                   \
            FAIL() << "required in CI: " << (reason);                                              \
        GTEST_SKIP() << (reason);                                                                  \
    } while (0)
#define VELLORAN_REQUIRE_ROOT() VELLORAN_REQUIRE(::geteuid() == 0, "needs root")

// Readable failure messages for Qt's strings.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList &list, std::ostream *os)
{
    PrintTo(list.join("\" \""), os);
}

namespace TestSupport {

QByteArray readAll(const QString &path);
void writeFile(const QString &path, const QByteArray &bytes);
bool processAlive(pid_t pid); // alive and not a zombie

// Waits for a condition for a bounded time; a slow machine only makes the wait longer.
template <typename Condition> bool waitFor(Condition condition, int seconds = 20)
{
    QElapsedTimer timer;
    for (timer.start(); !condition(); QThread::msleep(50))
        if (timer.hasExpired(seconds * 1000))
            return false;
    return true;
}

// A test user's driver environment: nothing of root's, the dialog's answer file in `home`.
QProcessEnvironment userDriverEnvironment(const QString &home);
// Writes the password dialog's scripted answer into `home`, owned by `uid`.
void answerAskpass(const QString &home, const QByteArray &line, uid_t uid, gid_t gid);

// Whether `uid` (root: without CAP_SYS_PTRACE) can copy descriptor 1 out of `pid` (pidfd_getfd).
bool canCopyDescriptor(pid_t pid, uid_t uid = 0, gid_t gid = 0);

// Runs argv; its exit status (-1 when it did not end in time) and merged output.
int run(const QString &program, const QStringList &args, QString *output = nullptr,
        int timeoutMs = 120000);

} // namespace TestSupport
