#pragma once

#include "ui_MainWindow.h"

#include <QMainWindow>
#include <memory>

class NATController;
class NATLoader;
class NATSetter;

// What loading the window definition makes: the window, its controls and the three objects
// behind them, connected. The window owns all of it.
struct LoadedWindow {
    std::unique_ptr<QMainWindow> window;
    Ui::MainWindow ui;
    NATController *controller = nullptr;
    NATSetter *setter = nullptr;
    NATLoader *loader = nullptr;
};

class MainWindowLoader
{
public:
    static std::unique_ptr<LoadedWindow> load();
};

// Makes the application object, loads the window and runs the event loop, delivering the
// application events to the controller.
int NSApplicationMain(int argc, char *argv[]);
