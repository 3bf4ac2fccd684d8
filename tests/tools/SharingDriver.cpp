// The window over stdin: launch, quit, show, external|internal TITLE, router|subnet A.B.C.D, click
// NAME, answer BUTTON, generated, record, rights 0|1, prompts grant|cancel; answers: what it
// caused, state, ".".
#include "desktop/Alert.h"
#include "ApplicationMain.h"
#include "privilege/AuthorizationService.h"
#include "desktop/Beep.h"
#include "desktop/Bundle.h"
#include "privilege/LinuxAuthorization.h"
#include "NATController.h"
#include "NATLoader.h"
#include "RecordingAuthorization.h"
#include "desktop/SystemLog.h"

#include <QApplication>
#include <QSettings>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <iostream>
#include <sys/wait.h>
#include <unistd.h>

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
        g_out << "run " + (QStringList{path} + arguments).join(' ');
        const int status = real()->executeWithPrivileges(handle, path, arguments);
        if (status != 0)
            g_out << QStringLiteral("status %1").arg(status);
        return status;
    }
    int readWithPrivileges(Handle &handle, const QString &path, const QStringList &arguments,
                           QByteArray &answer) override
    {
        return real()->readWithPrivileges(handle, path, arguments, answer);
    }

private:
    static AuthorizationService *real() { return LinuxAuthorization::shared(); }
};

bool type(Ui::MainWindow &ui, const QString &which, const QString &address)
{
    const QStringList parts = address.split('.');
    QLineEdit *const fields[2][4] = {{ui.route1, ui.route2, ui.route3, ui.route4},
                                     {ui.sub1, ui.sub2, ui.sub3, ui.sub4}};
    for (int i = 0; i < 4 && parts.size() == 4; ++i)
        fields[which == QLatin1String("subnet")][i]->setText(parts[i]);
    return parts.size() == 4;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velloran"));
    QApplication::setOrganizationName(QStringLiteral("Velloran"));
    QTemporaryDir preferences;
    Bundle::setBundlePath(argc == 3 ? QString::fromLocal8Bit(argv[1])
                                    : QStringLiteral(VELLORAN_TEST_BUNDLE));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope,
                       argc == 3 ? QString::fromLocal8Bit(argv[2]) : preferences.path());
    // One line each, whatever the text holds.
    Alert::setHandler([](QString message) { g_out << "alert " + message.replace('\n', "\\n"); });
    Beep::setHandler([] { g_out << QStringLiteral("beep"); });
    SystemLog::setHandler([](QString entry) { g_out << "log " + entry.replace('\n', "\\n"); });
    ForwardingAuthorization forwarding;
    AuthorizationService::setCurrent(&forwarding);
    std::unique_ptr<RecordingAuthorization> recorder;
    qsizetype recorded = 0;

    auto loaded = MainWindowLoader::load();
    NATController *controller = loaded->controller;
    Ui::MainWindow &ui = loaded->ui;
    // Commands come through the event loop, so what the window watches is answered meanwhile.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    const auto handle = [&](const std::string &line) {
        // The first process of its namespace adopts the daemons that end there.
        while (::getpid() == 1 && waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        const QString command = QString::fromStdString(line);
        const QString word = command.section(' ', 0, 0), rest = command.section(' ', 1);
        bool done = true;
        if (word == QLatin1String("launch")) {
            controller->awakeFromNib();
            controller->applicationDidFinishLaunching(&app);
        } else if (word == QLatin1String("external") || word == QLatin1String("internal")) {
            QComboBox *menu =
                word == QLatin1String("external") ? ui.externalInterface : ui.internalInterface;
            const int index = menu->findText(rest, Qt::MatchExactly);
            menu->setCurrentIndex(index);
            if ((done = index >= 0))
                emit menu->activated(index);
        } else if (word == QLatin1String("answer")) { // the button the next alerts press
            Alert::setAnswer(rest);
        } else if (word == QLatin1String("router") || word == QLatin1String("subnet")) {
            done = type(ui, word, rest);
        } else if (word == QLatin1String("click")) {
            auto *button = loaded->window->findChild<QAbstractButton *>(rest);
            if (!button)
                button = loaded->window->findChild<QAbstractButton *>(rest + "Button");
            if ((done = button && button->isEnabled()))
                button->click();
        } else if (word == QLatin1String("generated")) {
            for (const auto &[name, lines] :
                 {std::pair{"script ", loaded->loader->getStartupLines()},
                  std::pair{"config ", loaded->loader->getNatConfigLines()}})
                g_out << name + lines.value_or(QStringList()).join("").toUtf8().toHex();
        } else if (word == QLatin1String("record")) {
            recorder = std::make_unique<RecordingAuthorization>();
            AuthorizationService::setCurrent(recorder.get());
            recorded = 0;
        } else if (word == QLatin1String("rights") && recorder) {
            recorder->rightsHeld = rest == QLatin1String("1");
        } else if (word == QLatin1String("prompts") && recorder) {
            recorder->answer = rest == QLatin1String("cancel")
                                   ? RecordingAuthorization::Answer::Cancel
                                   : RecordingAuthorization::Answer::Grant;
        } else if (word == QLatin1String("show")) {
            g_out << "show\tbutton=" + ui.sharingButton->text() +
                         "\texternal=" + ui.externalInterface->currentText() +
                         "\tinternal=" + ui.internalInterface->currentText() +
                         QString("\trunning=%1\tdeny=%2\tdhcpEnabled=%3")
                             .arg(controller->running())
                             .arg(ui.denyIncoming->isChecked())
                             .arg(ui.dhcp->isEnabled());
        } else if (word == QLatin1String("quit")) {
            controller->applicationWillTerminate(&app);
        } else {
            done = word == QLatin1String("state");
        }
        QApplication::processEvents();
        if (!done)
            g_out << "error cannot do: " + command;
        if (recorder)
            while (recorded < recorder->events.size())
                g_out << recorder->events[recorded++];
        g_out << QStringLiteral("state named=%1 dns=%2 load=%3 boot=%4")
                     .arg(ui.named->isChecked())
                     .arg(controller->DNSrunning())
                     .arg(ui.load->isChecked())
                     .arg(controller->loadOnStartup());
        for (const QString &out : std::as_const(g_out))
            std::cout << out.toStdString() << '\n';
        std::cout << ".\n" << std::flush;
        g_out.clear();
        return word != QLatin1String("quit");
    };
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        input.setEnabled(false); // one command at a time, also while an alert waits
        std::string line;
        if (std::getline(std::cin, line) && handle(line))
            return input.setEnabled(true);
        QApplication::quit();
    });
    QApplication::exec();
    AuthorizationService::setCurrent(nullptr);
    return 0;
}
