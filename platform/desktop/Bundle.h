#pragma once

#include <QString>

// Velloran.app and the files it carries, found from the executable's own location.
namespace Bundle {

QString bundlePath();
QString resourcePath();
// "<resourcePath>/<name>.<type>", or a null string when there is no such file.
QString pathForResource(const QString &name, const QString &type);
// Where the bundle is, for programs that don't live inside it (tests, helpers).
void setBundlePath(const QString &path);

} // namespace Bundle
