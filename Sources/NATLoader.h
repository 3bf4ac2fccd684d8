#pragma once

#include <QObject>
#include <QStringList>

class NATController;

// Writes the boot-time files: natd's configuration and the startup item's script.
class NATLoader : public QObject
{
    Q_OBJECT
    friend class MainWindowLoader;

public:
    using QObject::QObject;

protected:
    NATController *NATControllerOutlet = nullptr;
};
