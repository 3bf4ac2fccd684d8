#include "TestSupport.h"

#include <QFile>
#include <QProcess>
#include <grp.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>

namespace TestSupport {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(bytes);
}

bool processAlive(pid_t pid)
{
    const QByteArray stat = pid > 0 ? readAll(QStringLiteral("/proc/%1/stat").arg(pid)) : "";
    return !stat.isEmpty() && stat.mid(stat.lastIndexOf(')') + 2, 1) != "Z";
}

bool canCopyDescriptor(pid_t pid, uid_t uid, gid_t gid)
{
    const pid_t child = fork();
    if (child == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2]{};
        syscall(SYS_capget, &header, caps);
        caps[0].effective &= ~(1u << CAP_SYS_PTRACE);
        const bool ready = uid != 0 ? setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 &&
                                          setresuid(uid, uid, uid) == 0
                                    : syscall(SYS_capset, &header, caps) == 0;
        _exit(ready && syscall(SYS_pidfd_getfd, syscall(SYS_pidfd_open, pid, 0), 1, 0) >= 0);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WEXITSTATUS(status) == 1;
}

QProcessEnvironment userDriverEnvironment(const QString &home)
{
    QProcessEnvironment environment;
    for (const char *sanitizer : {"ASAN_OPTIONS", "UBSAN_OPTIONS"})
        if (qEnvironmentVariableIsSet(sanitizer))
            environment.insert(sanitizer, qEnvironmentVariable(sanitizer));
    for (const QString &entry : QStringList{"PATH=/usr/bin:/bin", "HOME=" + home,
                                            "XDG_RUNTIME_DIR=" + home, "QT_QPA_PLATFORM=offscreen",
                                            "VELLORAN_ASKPASS_TEST_ANSWER=" + home + "/answer"})
        environment.insert(entry.section('=', 0, 0), entry.section('=', 1));
    return environment;
}

void answerAskpass(const QString &home, const QByteArray &line, uid_t uid, gid_t gid)
{
    const QString path = home + "/answer";
    writeFile(path, "velloran-askpass-test\n" + line + '\n');
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    ASSERT_EQ(::chown(path.toLocal8Bit().constData(), uid, gid), 0);
}

int run(const QString &program, const QStringList &args, QString *output, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    const bool finished = process.waitForFinished(timeoutMs);
    if (!finished) {
        process.kill();
        process.waitForFinished();
    }
    if (output)
        *output = QString::fromLocal8Bit(process.readAll());
    return finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace TestSupport
