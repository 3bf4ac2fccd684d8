#pragma once

#include <QString>
#include <functional>

// Opens a document with the desktop's default application for its type.
namespace Workspace {

bool openFile(const QString &path);
void setHandler(std::function<bool(const QString &)> handler);

} // namespace Workspace
