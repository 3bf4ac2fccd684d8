#include "desktop/Alert.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace {
std::function<void(const QString &)> g_handler;
QString g_answer;
} // namespace

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

QString ask(const QString &message, const QStringList &buttons)
{
    if (g_handler) {
        g_handler(message);
        return buttons.contains(g_answer) ? g_answer : buttons.value(buttons.size() - 1);
    }
    QMessageBox box(QMessageBox::NoIcon, QString(), message, QMessageBox::NoButton,
                    QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    box.setObjectName(QStringLiteral("VelloranAlert"));
    QList<QAbstractButton *> pressable;
    for (const QString &text : buttons)
        pressable << box.addButton(text, pressable.isEmpty() ? QMessageBox::AcceptRole
                                                             : QMessageBox::RejectRole);
    if (!pressable.isEmpty()) {
        box.setDefaultButton(qobject_cast<QPushButton *>(pressable.first()));
        box.setEscapeButton(pressable.last());
    }
    box.exec();
    const qsizetype pressed = pressable.indexOf(box.clickedButton());
    return buttons.value(pressed < 0 ? buttons.size() - 1 : pressed);
}

void setAnswer(const QString &button)
{
    g_answer = button;
}

} // namespace Alert
