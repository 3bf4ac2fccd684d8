#include "desktop/Bundle.h"

#include <QDir>
#include <QFileInfo>

namespace {

QString g_bundle;

QString executableDir()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section('/', 0, -2);
}

} // namespace

namespace Bundle {

QString bundlePath()
{
    if (g_bundle.isEmpty()) {
        // .../Velloran.app/Contents/MacOS/Velloran or .../Velloran.app/Contents/Resources/tool
        QDir dir(executableDir());
        dir.cdUp();
        dir.cdUp();
        g_bundle = dir.absolutePath();
    }
    return g_bundle;
}

QString resourcePath()
{
    return bundlePath() + QStringLiteral("/Contents/Resources");
}

QString pathForResource(const QString &name, const QString &type)
{
    const QString path = resourcePath() + '/' + name + '.' + type;
    return QFileInfo::exists(path) ? path : QString();
}

void setBundlePath(const QString &path)
{
    g_bundle = path;
}

} // namespace Bundle
