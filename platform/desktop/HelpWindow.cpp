#include "desktop/HelpWindow.h"

#include <QFile>
#include <QFileInfo>
#include <QTextBrowser>

HelpWindow::HelpWindow(QWidget *owner, const QString &title)
    : QMainWindow(owner), m_text(new QTextBrowser(this))
{
    // A window of its own that closes with Velloran's, and one to assistive tools too.
    setObjectName(title);
    setWindowTitle(title);
    setAccessibleName(title);
    m_text->setOpenExternalLinks(true);
    m_text->setAccessibleName(title);
    setCentralWidget(m_text);
    resize(640, 720);
}

QString HelpWindow::toPlainText() const
{
    return m_text->toPlainText();
}

bool HelpWindow::showDocument(QWidget *owner, const QString &path, const QString &title)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    auto *window = owner->findChild<HelpWindow *>(title, Qt::FindDirectChildrenOnly);
    if (!window)
        window = new HelpWindow(owner, title);
    window->m_text->setSearchPaths({QFileInfo(path).absolutePath()});
    window->m_text->setHtml(QString::fromUtf8(file.readAll()));
    window->show();
    window->raise();
    window->activateWindow();
    return true;
}
