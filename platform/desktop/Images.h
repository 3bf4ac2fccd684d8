#pragma once

#include <QIcon>
#include <QString>

// Images the bundle carries, looked up by name ("locked" finds locked.png, ready to paint, before
// locked.svg); the padlock ("locked", "unlocked") comes from the icon theme where it has one.
namespace Images {

QIcon named(const QString &name);

} // namespace Images
