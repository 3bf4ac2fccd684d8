#pragma once

#include <QString>

// Velloran's Debian package as the tests use it: built by the build tree's velloran_deb target
// (only when something in it changed).
namespace DesktopPackage {

// The .deb's path, or an empty string with `error` saying why.
QString build(QString *error);

} // namespace DesktopPackage
