#pragma once

#include <QMainWindow>

class QTextBrowser;

// A help window of Velloran's: one of the bundle's HTML documents in a window of its own, titled
// after it; links that leave the document open in the desktop's browser.
class HelpWindow : public QMainWindow
{
    Q_OBJECT
public:
    // Shows the document at `path` in the window of `owner` titled `title`, made on first use;
    // false when the document can't be read.
    static bool showDocument(QWidget *owner, const QString &path, const QString &title);

    QString toPlainText() const;

private:
    HelpWindow(QWidget *owner, const QString &title);
    QTextBrowser *m_text;
};
