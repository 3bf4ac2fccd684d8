// Velloran's real window and controller, driven line by line over stdin for the end-to-end tests
// and the benchmarks, which start it inside a network namespace (for its sysfs) as root.
//   SharingDriver BUNDLE PREFERENCES
// Commands, one per line, each answered with one line "ok[\talert=TEXT...]" or "error TEXT":
//   external TITLE | internal TITLE   pick a menu item as the user does
//   router A.B.C.D | subnet A.B.C.D   type the four fields
//   click OBJECTNAME                  click a button or check box of the window
//   activate                          the application becomes active again
//   state                             adds \tkey=value fields: button, running, load, named, ...
//                                     dhcp, dhcpEnabled, internalItems (titles joined by '|')
//   quit                              the application terminates (settings saved)
#include "Alert.h"
#include "ApplicationMain.h"
#include "Beep.h"
#include "Bundle.h"
#include "NATController.h"
#include "SystemLog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QTest>
#include <cstdio>
#include <iostream>
#include <string>

namespace {

QStringList g_alerts;
int g_beeps = 0;

void reply(const QString &line)
{
    QString text = line;
    for (const QString &alert : std::as_const(g_alerts))
        text += QStringLiteral("\talert=") + alert;
    g_alerts.clear();
    std::cout << text.toStdString() << std::endl;
}

bool pick(QComboBox *menu, const QString &title)
{
    const int index = menu->findText(title, Qt::MatchExactly);
    if (index < 0)
        return false;
    menu->setCurrentIndex(index);
    emit menu->activated(index);
    return true;
}

bool type(LoadedWindow &loaded, const QString &which, const QString &address)
{
    const QStringList parts = address.split(QLatin1Char('.'));
    Ui::MainWindow &ui = loaded.ui;
    QLineEdit *const router[4] = {ui.route1, ui.route2, ui.route3, ui.route4};
    QLineEdit *const subnet[4] = {ui.sub1, ui.sub2, ui.sub3, ui.sub4};
    QLineEdit *const *fields = which == QLatin1String("router") ? router : subnet;
    if (parts.size() != 4)
        return false;
    for (int i = 0; i < 4; ++i) {
        fields[i]->setFocus();
        QTest::keyClick(fields[i], Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(fields[i], Qt::Key_Backspace);
        QTest::keyClicks(fields[i], parts[i]);
    }
    return true;
}

QString state(LoadedWindow &loaded)
{
    Ui::MainWindow &ui = loaded.ui;
    const auto flag = [](bool on) { return on ? QStringLiteral("1") : QStringLiteral("0"); };
    QStringList items;
    for (int i = 0; i < ui.internalInterface->count(); ++i)
        items << ui.internalInterface->itemText(i);
    return QStringLiteral("ok\tbutton=%1\trunning=%2\tload=%3\tnamed=%4\tdeny=%5\tdynamic=%6"
                          "\texternal=%7\tinternal=%8\tlock=%9\tbeeps=%10")
               .arg(ui.sharingButton->text(), flag(loaded.controller->running()),
                    flag(ui.load->isChecked()), flag(ui.named->isChecked()),
                    flag(ui.denyIncoming->isChecked()), flag(ui.dynamic->isChecked()),
                    ui.externalInterface->currentText(), ui.internalInterface->currentText(),
                    ui.authLabel->text())
               .arg(g_beeps) +
           QStringLiteral("\tdhcp=%1\tdhcpEnabled=%2\tinternalItems=%3")
               .arg(flag(ui.dhcp->isChecked()), flag(ui.dhcp->isEnabled()), items.join('|'));
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s BUNDLE PREFERENCES\n", argv[0]);
        return 2;
    }
    QApplication::setApplicationName(QStringLiteral("Velloran"));
    QApplication::setOrganizationName(QStringLiteral("Velloran"));
    Bundle::setBundlePath(QString::fromLocal8Bit(argv[1]));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, QString::fromLocal8Bit(argv[2]));
    // A modal alert would wait for a click nobody makes: the test reads them instead.
    Alert::setHandler([](const QString &message) { g_alerts << message; });
    Beep::setHandler([] { ++g_beeps; });
    SystemLog::setHandler([](const QString &entry) {
        std::fprintf(stderr, "Velloran: %s\n", entry.toLocal8Bit().constData());
    });

    auto loaded = MainWindowLoader::load();
    NATController *controller = loaded->controller;
    controller->awakeFromNib();
    controller->applicationDidFinishLaunching(&app);
    QApplication::processEvents();
    reply(QStringLiteral("ok"));

    std::string line;
    while (std::getline(std::cin, line)) {
        const QString text = QString::fromStdString(line);
        const QString verb = text.section(QLatin1Char(' '), 0, 0);
        const QString rest = text.section(QLatin1Char(' '), 1);
        Ui::MainWindow &ui = loaded->ui;
        bool done = true;
        if (verb == QLatin1String("external") || verb == QLatin1String("internal")) {
            done = pick(verb == QLatin1String("external") ? ui.externalInterface
                                                          : ui.internalInterface,
                        rest);
        } else if (verb == QLatin1String("router") || verb == QLatin1String("subnet")) {
            done = type(*loaded, verb, rest);
        } else if (verb == QLatin1String("click")) {
            auto *button = loaded->window->findChild<QAbstractButton *>(rest);
            done = button && button->isVisible() && button->isEnabled();
            if (done)
                QTest::mouseClick(button, Qt::LeftButton);
        } else if (verb == QLatin1String("activate")) {
            controller->applicationWillBecomeActive(&app);
        } else if (verb == QLatin1String("state")) {
            QApplication::processEvents();
            reply(state(*loaded));
            continue;
        } else if (verb == QLatin1String("quit")) {
            controller->applicationWillTerminate(&app);
            reply(QStringLiteral("ok"));
            return 0;
        } else {
            done = false;
        }
        QApplication::processEvents();
        reply(done ? QStringLiteral("ok") : QStringLiteral("error cannot do: ") + text);
    }
    return 0;
}
