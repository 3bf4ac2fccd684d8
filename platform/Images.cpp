#include "Images.h"

#include "Bundle.h"

namespace Images {

QIcon named(const QString &name)
{
    for (const char *type : {"svg", "png"}) {
        const QString path = Bundle::pathForResource(name, QLatin1String(type));
        if (!path.isEmpty())
            return QIcon(path);
    }
    return {};
}

} // namespace Images
