#include "ApplicationMain.h"

#include "NATController.h"
#include "NATLoader.h"
#include "NATSetter.h"

#include "desktop/Bundle.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QGuiApplication>
#include <QIcon>

std::unique_ptr<LoadedWindow> MainWindowLoader::load()
{
    auto loaded = std::make_unique<LoadedWindow>();
    loaded->window = std::make_unique<QMainWindow>();
    QMainWindow *w = loaded->window.get();
    Ui::MainWindow &ui = loaded->ui;
    ui.setupUi(w);

    auto *controller = new NATController(w);
    auto *setter = new NATSetter(w);
    auto *loader = new NATLoader(w);
    loaded->controller = controller;
    loaded->setter = setter;
    loaded->loader = loader;

    controller->aliasLog = ui.aliasLog;
    controller->authButton = ui.authButton;
    controller->authLabel = ui.authLabel;
    controller->debugControl = ui.debugControl;
    controller->debugControl2 = ui.debugControl2;
    controller->debugWindow = ui.debugWindow;
    controller->denyIncoming = ui.denyIncoming;
    controller->denyLog = ui.denyLog;
    controller->dynamic = ui.dynamic;
    controller->dhcp = ui.dhcp;
    controller->internalInterface = ui.internalInterface;
    controller->load = ui.load;
    controller->named = ui.named;
    controller->NATLoaderOutlet = loader;
    controller->NATSetterOutlet = setter;
    controller->externalInterface = ui.externalInterface;
    controller->ports = ui.ports;
    controller->resetButton = ui.resetButton;
    controller->route1 = ui.route1;
    controller->route2 = ui.route2;
    controller->route3 = ui.route3;
    controller->route4 = ui.route4;
    controller->sharingButton = ui.sharingButton;
    controller->sockets = ui.sockets;
    controller->sub1 = ui.sub1;
    controller->sub2 = ui.sub2;
    controller->sub3 = ui.sub3;
    controller->sub4 = ui.sub4;
    controller->window = w;
    loader->NATControllerOutlet = controller;

    QObject::connect(ui.sharingButton, &QPushButton::clicked, controller,
                     [=] { controller->toggleRunning(ui.sharingButton); });
    QObject::connect(ui.authButton, &QPushButton::clicked, controller,
                     [=] { controller->toggleAuthentication(ui.authButton); });
    QObject::connect(ui.resetButton, &QPushButton::clicked, controller,
                     [=] { controller->reset(ui.resetButton); });
    QObject::connect(ui.named, &QCheckBox::clicked, controller,
                     [=] { controller->toggleDNS(ui.named); });
    QObject::connect(ui.load, &QCheckBox::clicked, controller,
                     [=] { controller->toggleLoadOnStartup(ui.load); });
    // Only the user's choice sets the dynamic option; rebuilding the menus must not.
    QObject::connect(ui.externalInterface, &QComboBox::activated, controller,
                     [=] { controller->checkDynamicByExternalInterface(ui.externalInterface); });
    // A DHCP server never goes on the interface that reaches the Internet.
    for (QComboBox *menu : {ui.externalInterface, ui.internalInterface})
        QObject::connect(menu, &QComboBox::currentIndexChanged, controller,
                         [=] { controller->updateDhcpAvailability(); });
    QObject::connect(ui.actionReadme, &QAction::triggered, controller,
                     [=] { controller->openReadme(ui.actionReadme); });
    QObject::connect(ui.actionSetup, &QAction::triggered, controller,
                     [=] { controller->openSetup(ui.actionSetup); });
    QObject::connect(ui.actionAbout, &QAction::triggered, controller,
                     [=] { controller->displayAboutWindow(ui.actionAbout); });
    QObject::connect(ui.actionQuit, &QAction::triggered, w, &QMainWindow::close);
    return loaded;
}

namespace {

void nameApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("Velloran"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELLORAN_VERSION));
    QCoreApplication::setOrganizationName(QStringLiteral("Velloran"));
}

// --help and --version answer without a display, before any window system is touched; other
// arguments (Qt's own, such as -platform) are left to QApplication.
void answerCommandLine(int argc, char *argv[])
{
    if (argc < 2)
        return;
    QCoreApplication probe(argc, argv);
    nameApplication();
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Shares this computer's Internet connection with a local network."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.parse(QCoreApplication::arguments());
    if (parser.isSet(help))
        parser.showHelp(0);
    if (parser.isSet(version))
        parser.showVersion();
}

} // namespace

int NSApplicationMain(int argc, char *argv[])
{
    answerCommandLine(argc, argv);
    NATController::startLookingAtWhatRuns();
    QApplication app(argc, argv);
    nameApplication();
    // The Wayland application id and the X11 class name that find the desktop entry and its icon.
    QApplication::setDesktopFileName(QStringLiteral("org.velloran.Velloran"));
    QApplication::setWindowIcon(
        QIcon::fromTheme(QStringLiteral("org.velloran.Velloran"),
                         QIcon(Bundle::pathForResource(QStringLiteral("org.velloran.Velloran"),
                                                       QStringLiteral("svg")))));

    auto loaded = MainWindowLoader::load();
    NATController *controller = loaded->controller;
    QApplication::setQuitOnLastWindowClosed(
        controller->applicationShouldTerminateAfterLastWindowClosed(&app));
    QObject::connect(&app, &QGuiApplication::applicationStateChanged, controller,
                     [controller, &app](Qt::ApplicationState state) {
                         if (state == Qt::ApplicationActive)
                             controller->applicationWillBecomeActive(&app);
                     });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, controller,
                     [controller, &app] { controller->applicationWillTerminate(&app); });

    controller->awakeFromNib();
    controller->applicationDidFinishLaunching(&app);
    return QApplication::exec();
}
