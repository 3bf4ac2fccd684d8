#pragma once

#include <QIcon>
#include <QString>

// Images the bundle carries, looked up by name ("locked" finds locked.svg or locked.png).
namespace Images {

QIcon named(const QString &name);

} // namespace Images
