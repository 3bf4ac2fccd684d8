#pragma once

#include <QString>

namespace DesktopPackage {

// Builds Velloran's .deb (the build tree's velloran_deb target, only when something in it
// changed); its path, or an empty string with `error` saying why.
QString build(QString *error);

} // namespace DesktopPackage
