#include "desktop/Workspace.h"

#include <QDesktopServices>
#include <QUrl>

namespace {
std::function<bool(const QString &)> g_handler;
}

namespace Workspace {

bool openFile(const QString &path)
{
    if (g_handler)
        return g_handler(path);
    if (path.isEmpty())
        return false;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void setHandler(std::function<bool(const QString &)> handler)
{
    g_handler = std::move(handler);
}

} // namespace Workspace
