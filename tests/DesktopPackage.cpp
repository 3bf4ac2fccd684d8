#include "DesktopPackage.h"

#include <QDir>
#include <QLockFile>
#include <QProcess>
#include <QProcessEnvironment>

namespace DesktopPackage {

int run(const QString &program, const QStringList &arguments, QString *output,
        const QStringList &environment, int timeoutMs)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &entry : environment) {
        const qsizetype equals = entry.indexOf('=');
        if (equals < 0)
            env.remove(entry);
        else
            env.insert(entry.left(equals), entry.mid(equals + 1));
    }
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(timeoutMs);
    if (!finished) {
        process.kill();
        process.waitForFinished();
    }
    if (output)
        *output = QString::fromLocal8Bit(process.readAll());
    if (!finished || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

QString build(QString *error)
{
    const QString binary = QStringLiteral(VELLORAN_TEST_BINARY_DIR);
    // Tests run side by side may ask at once; one build of the package is enough.
    QLockFile lock(binary + QStringLiteral("/velloran_deb.lock"));
    lock.setStaleLockTime(0);
    if (!lock.lock()) {
        *error = QStringLiteral("can't lock the package build");
        return {};
    }
    QString output;
    if (run(QStringLiteral(VELLORAN_CMAKE_COMMAND),
            {QStringLiteral("--build"), binary, QStringLiteral("--target"),
             QStringLiteral("velloran_deb")},
            &output) != 0) {
        *error = QStringLiteral("building the package failed:\n") + output;
        return {};
    }
    const QStringList debs =
        QDir(binary + QStringLiteral("/package")).entryList({QStringLiteral("velloran_*.deb")});
    if (debs.size() != 1) {
        *error = QStringLiteral("expected one package, found: ") + debs.join(' ');
        return {};
    }
    return binary + QStringLiteral("/package/") + debs.first();
}

bool unpack(const QString &deb, const QString &root, QString *error)
{
    QString output;
    if (run(QStringLiteral("/usr/bin/dpkg-deb"), {QStringLiteral("-x"), deb, root}, &output) != 0) {
        *error = output;
        return false;
    }
    return true;
}

} // namespace DesktopPackage
