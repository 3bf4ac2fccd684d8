#pragma once

#include <QTextBrowser>

// Velloran's help window: shows one of the bundle's HTML documents; links that leave the
// document open in the desktop's browser.
class HelpWindow : public QTextBrowser
{
    Q_OBJECT
public:
    // Shows the document at `path` in `owner`'s help window, made on first use; false when the
    // document can't be read.
    static bool showDocument(QWidget *owner, const QString &path);

private:
    explicit HelpWindow(QWidget *owner);
};
