#include "desktop/HelpWindow.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>

HelpWindow::HelpWindow(QWidget *owner) : QTextBrowser(owner)
{
    // A window of its own that closes with Velloran's.
    setWindowFlag(Qt::Window);
    setObjectName(QStringLiteral("HelpWindow"));
    setOpenExternalLinks(true);
    resize(640, 720);
}

bool HelpWindow::showDocument(QWidget *owner, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    auto *window = owner->findChild<HelpWindow *>(QString(), Qt::FindDirectChildrenOnly);
    if (!window)
        window = new HelpWindow(owner);
    window->setSearchPaths({QFileInfo(path).absolutePath()});
    window->setHtml(QString::fromUtf8(file.readAll()));
    const QString title = window->documentTitle();
    window->setWindowTitle(title.isEmpty() ? QStringLiteral("Velloran Help") : title);
    window->show();
    window->raise();
    window->activateWindow();
    return true;
}
