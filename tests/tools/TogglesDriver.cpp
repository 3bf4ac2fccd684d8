// Drives the real window for the toggle tests, which start it inside a root and namespaces of
// their own, as root or as an ordinary user with sudo. It reads one command per line:
//   launch | click named|load|reset | external TITLE | internal TITLE
//   generated (the boot files NATLoader makes now, as "script <hex>" and "config <hex>")
//   record (a recording authorization from now on) | rights 0|1 | prompts grant|cancel
// and answers each with what it caused, one line each ("run <command line>", "alert <text>",
// "beep", "log <entry>"), then "state named=N dns=N load=N boot=N" and a line ".".
#include "Alert.h"
#include "ApplicationMain.h"
#include "AuthorizationService.h"
#include "Beep.h"
#include "Bundle.h"
#include "LinuxAuthorization.h"
#include "NATController.h"
#include "NATLoader.h"
#include "RecordingAuthorization.h"
#include "SystemLog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <iostream>
#include <string>
#include <sys/wait.h>

namespace {

QStringList g_out;

// The Linux service, with every start written down before it happens.
class ForwardingAuthorization : public AuthorizationService
{
public:
    std::unique_ptr<Handle> create() override { return real()->create(); }
    int copyRights(Handle &handle, const QStringList &rights, Interaction interaction) override
    {
        return real()->copyRights(handle, rights, interaction);
    }
    void free(std::unique_ptr<Handle> handle) override { real()->free(std::move(handle)); }
    int executeWithPrivileges(Handle &handle, const QString &path,
                              const QStringList &arguments) override
    {
        g_out << QStringLiteral("run ") + (QStringList{path} + arguments).join(' ');
        const int status = real()->executeWithPrivileges(handle, path, arguments);
        if (status != 0)
            g_out << QStringLiteral("status %1").arg(status);
        return status;
    }

private:
    static AuthorizationService *real() { return LinuxAuthorization::shared(); }
};

int on(const QCheckBox *box)
{
    return box->isChecked() ? 1 : 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velloran"));
    Bundle::setBundlePath(QStringLiteral(VELLORAN_TEST_BUNDLE));
    QTemporaryDir preferences;
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, preferences.path());
    Alert::setHandler([](const QString &message) { g_out << QStringLiteral("alert ") + message; });
    Beep::setHandler([] { g_out << QStringLiteral("beep"); });
    SystemLog::setHandler([](const QString &entry) {
        g_out << QStringLiteral("log ") + QString(entry).replace('\n', QLatin1String("\\n"));
    });

    ForwardingAuthorization forwarding;
    AuthorizationService::setCurrent(&forwarding);
    std::unique_ptr<RecordingAuthorization> recorder;
    qsizetype recorded = 0;

    auto loaded = MainWindowLoader::load();
    NATController *controller = loaded->controller;
    Ui::MainWindow &ui = loaded->ui;

    std::string line;
    while (std::getline(std::cin, line)) {
        // Started as the first process of its namespace, it adopts the daemons that end there.
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        const QString command = QString::fromStdString(line);
        const QString word = command.section(' ', 0, 0);
        const QString rest = command.section(' ', 1);
        if (word == QLatin1String("launch")) {
            controller->applicationDidFinishLaunching(&app);
        } else if (command == QLatin1String("click named")) {
            ui.named->click();
        } else if (command == QLatin1String("click load")) {
            ui.load->click();
        } else if (command == QLatin1String("click reset")) {
            ui.resetButton->click();
        } else if (word == QLatin1String("external") || word == QLatin1String("internal")) {
            QComboBox *menu =
                word == QLatin1String("external") ? ui.externalInterface : ui.internalInterface;
            menu->setCurrentIndex(menu->findText(rest, Qt::MatchExactly));
            if (menu->currentText() != rest)
                g_out << QStringLiteral("no such item ") + rest;
        } else if (word == QLatin1String("generated")) {
            for (const auto &[name, lines] :
                 {std::pair{"script ", loaded->loader->getStartupLines()},
                  std::pair{"config ", loaded->loader->getNatConfigLines()}})
                g_out << QLatin1String(name) +
                             QString::fromLatin1(
                                 lines.value_or(QStringList()).join("").toUtf8().toHex());
        } else if (word == QLatin1String("record")) {
            recorder = std::make_unique<RecordingAuthorization>(); // and what is said, from now on
            recorded = 0;
        } else if (word == QLatin1String("rights") && recorder) {
            recorder->rightsHeld = rest == QLatin1String("1");
        } else if (word == QLatin1String("prompts") && recorder) {
            recorder->answer = rest == QLatin1String("cancel")
                                   ? RecordingAuthorization::Answer::Cancel
                                   : RecordingAuthorization::Answer::Grant;
        } else if (word != QLatin1String("state")) {
            g_out << QStringLiteral("unknown command ") + command;
        }
        for (; recorder && recorded < recorder->events.size(); ++recorded)
            g_out << QString(recorder->events[recorded]).replace('\n', QLatin1String("\\n"));
        g_out << QStringLiteral("state named=%1 dns=%2 load=%3 boot=%4")
                     .arg(on(ui.named))
                     .arg(int(controller->DNSrunning()))
                     .arg(on(ui.load))
                     .arg(int(controller->loadOnStartup()));
        for (const QString &out : g_out)
            std::cout << out.toStdString() << '\n';
        std::cout << ".\n" << std::flush;
        g_out.clear();
    }
    AuthorizationService::setCurrent(nullptr);
    return 0;
}
