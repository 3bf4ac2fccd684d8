#pragma once

#include "ApplicationMain.h"
#include "InterfaceRegistry.h"
#include "NATController.h"
#include "NATLoader.h"
#include "RecordingAuthorization.h"
#include "SharingChecks.h"
#include "TestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <memory>

// The real window and controller over a sysfs tree (eth0, eth1) and preferences of the test's
// own, the boot files staged in a folder of its own and the recording runner in place of root.
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
        NATLoader::setStagingFolder(stage.path());
        loaded = MainWindowLoader::load();
        controller = loaded->controller;
        controller->reflowPopups(false);
    }
    void TearDown() override
    {
        loaded.reset();
        InterfaceRegistry::setRoot(QStringLiteral("/sys"));
        SharingChecks::setSource({}, {});
        NATLoader::setStagingFolder(QStringLiteral("/tmp"));
    }

    Ui::MainWindow &ui() { return loaded->ui; }
    // Picks the menus' entries ("eth0" for "Ethernet Interface (eth0)", or a whole title).
    void choose(const QString &external, const QString &internal)
    {
        for (auto [menu, name] : {std::pair{ui().externalInterface, external},
                                  std::pair{ui().internalInterface, internal}}) {
            menu->setCurrentIndex(
                menu->findText(name.contains(' ') ? name : "Ethernet Interface (" + name + ')'));
            EXPECT_NE(menu->currentIndex(), -1) << qPrintable(name);
        }
    }
    // Types each dotted part into its own field.
    void type(const QString &router, const QString &subnet = QStringLiteral("255.255.255.0"))
    {
        QLineEdit *fields[] = {ui().route1, ui().route2, ui().route3, ui().route4,
                               ui().sub1,   ui().sub2,   ui().sub3,   ui().sub4};
        const QStringList parts = router.split('.') + subnet.split('.');
        for (int i = 0; i < 8; ++i)
            fields[i]->setText(parts.value(i));
    }
    QList<QCheckBox *> options() // in the order getNatArgs lists them
    {
        return {ui().ports,        ui().sockets, ui().aliasLog,
                ui().denyIncoming, ui().denyLog, ui().dynamic};
    }
    static QStringList items(QComboBox *menu)
    {
        QStringList list;
        for (int i = 0; i < menu->count(); ++i)
            list << menu->itemText(i);
        return list;
    }

    TestSupport::ScratchPreferences prefs;
    TestSupport::FakeSysfs sysfs;
    QTemporaryDir stage;
    RecordingAuthorization rec;
    std::unique_ptr<LoadedWindow> loaded;
    NATController *controller = nullptr;
};
