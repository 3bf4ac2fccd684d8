#include "desktop/Alert.h"

#include <QApplication>
#include <QMessageBox>

namespace {
std::function<void(const QString &)> g_handler;
}

namespace Alert {

void run(const QString &message)
{
    if (g_handler) {
        g_handler(message);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QString(), message, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText); // shown as typed, percent signs and all
    box.setObjectName(QStringLiteral("VelloranAlert"));
    box.exec();
}

void setHandler(std::function<void(const QString &)> handler)
{
    g_handler = std::move(handler);
}

} // namespace Alert
