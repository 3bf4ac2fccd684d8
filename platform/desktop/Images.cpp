#include "desktop/Images.h"

#include "desktop/Bundle.h"

namespace Images {

namespace {

// The desktop's own padlock, so it follows the icon theme and its dark variant.
QString themeName(const QString &name)
{
    const QString base = name == QLatin1String("locked")     ? QStringLiteral("changes-prevent")
                         : name == QLatin1String("unlocked") ? QStringLiteral("changes-allow")
                                                             : QString();
    if (base.isEmpty())
        return {};
    for (const QString &candidate : {base, base + QStringLiteral("-symbolic")})
        if (QIcon::hasThemeIcon(candidate))
            return candidate;
    return {};
}

} // namespace

QIcon named(const QString &name)
{
    if (const QString themed = themeName(name); !themed.isEmpty())
        return QIcon::fromTheme(themed);
    for (const char *type : {"png", "svg"}) {
        const QString path = Bundle::pathForResource(name, QLatin1String(type));
        if (!path.isEmpty())
            return QIcon(path);
    }
    return {};
}

} // namespace Images
