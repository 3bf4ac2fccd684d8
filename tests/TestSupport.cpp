#include "TestSupport.h"

#include "InterfaceRegistry.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>

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
    if (pid <= 0)
        return false;
    const QByteArray stat = readAll(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close > 0 && stat.size() > close + 2 && stat.at(close + 2) != 'Z';
}

FakeSysfs::FakeSysfs()
{
    QDir(m_dir.path()).mkpath(QStringLiteral("class/net"));
    QDir(m_dir.path()).mkpath(QStringLiteral("class/tty"));
    QDir(m_dir.path()).mkpath(QStringLiteral("drivers"));
}

void FakeSysfs::addNet(const QString &name, int ifindex, int type, bool wireless)
{
    const QString dir = m_dir.path() + QStringLiteral("/class/net/") + name;
    QDir().mkpath(dir);
    writeFile(dir + QStringLiteral("/type"), QByteArray::number(type) + '\n');
    writeFile(dir + QStringLiteral("/ifindex"), QByteArray::number(ifindex) + '\n');
    if (wireless)
        QDir().mkpath(dir + QStringLiteral("/wireless"));
}

void FakeSysfs::removeNet(const QString &name)
{
    QDir(m_dir.path() + QStringLiteral("/class/net/") + name).removeRecursively();
}

void FakeSysfs::addTty(const QString &name, const QString &driver, const QString &subsystem)
{
    const QString dir = m_dir.path() + QStringLiteral("/class/tty/") + name;
    QDir().mkpath(dir + QStringLiteral("/device"));
    if (!driver.isEmpty()) {
        const QString target = m_dir.path() + QStringLiteral("/drivers/") + driver;
        QDir().mkpath(target);
        QFile::link(target, dir + QStringLiteral("/device/driver"));
    }
    if (!subsystem.isEmpty()) {
        const QString target = m_dir.path() + QStringLiteral("/bus/") + subsystem;
        QDir().mkpath(target);
        QFile::link(target, dir + QStringLiteral("/device/subsystem"));
    }
}

ScratchPreferences::ScratchPreferences()
{
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.path());
}

QProcessEnvironment userDriverEnvironment(const QString &home)
{
    QProcessEnvironment environment;
    environment.insert("PATH", "/usr/bin:/bin");
    environment.insert("HOME", home);
    environment.insert("XDG_RUNTIME_DIR", home);
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("VELLORAN_ASKPASS_TEST_ANSWER", home + "/answer");
    for (const char *sanitizer : {"ASAN_OPTIONS", "UBSAN_OPTIONS"})
        if (qEnvironmentVariableIsSet(sanitizer))
            environment.insert(sanitizer, qEnvironmentVariable(sanitizer));
    return environment;
}

int run(const QString &program, const QStringList &args, QString *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    if (!process.waitForFinished(120000))
        return -1;
    if (output)
        *output = QString::fromLocal8Bit(process.readAll());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace TestSupport
