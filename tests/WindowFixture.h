#pragma once

#include "ApplicationMain.h"
#include "InterfaceRegistry.h"
#include "NATController.h"
#include "SharingChecks.h"
#include "TestSupport.h"

#include <memory>

// The real window and controller, over a sysfs tree and a preferences folder of the test's own.
class WindowFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        sysfs.addNet(QStringLiteral("eth0"), 2);
        sysfs.addNet(QStringLiteral("eth1"), 3);
        InterfaceRegistry::setRoot(sysfs.root());
        // The machine the pre-flight checks see: the same two interfaces, up, nothing else.
        SharingChecks::setSource(
            [] {
                return SharingChecks::System{{{"eth0", true, {}}, {"eth1", true, {}}}, {}};
            },
            [] { return QByteArray(); });
        loaded = MainWindowLoader::load();
        controller = loaded->controller;
    }
    void TearDown() override
    {
        loaded.reset();
        InterfaceRegistry::setRoot(QStringLiteral("/sys"));
        SharingChecks::setSource({}, {});
    }

    Ui::MainWindow &ui() { return loaded->ui; }
    QStringList items(QComboBox *menu) const
    {
        QStringList list;
        for (int i = 0; i < menu->count(); ++i)
            list << menu->itemText(i);
        return list;
    }
    void setAddress(QLineEdit *a, QLineEdit *b, QLineEdit *c, QLineEdit *d, QStringList parts)
    {
        a->setText(parts[0]);
        b->setText(parts[1]);
        c->setText(parts[2]);
        d->setText(parts[3]);
    }

    TestSupport::ScratchPreferences prefs;
    TestSupport::FakeSysfs sysfs;
    std::unique_ptr<LoadedWindow> loaded;
    NATController *controller = nullptr;
};
