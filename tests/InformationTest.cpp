#include "Alert.h"
#include "Bundle.h"
#include "WindowFixture.h"
#include "Workspace.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

class Information : public WindowFixture
{
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        Workspace::setHandler([this](const QString &path) {
            opened << path;
            return true;
        });
        Alert::setHandler([this](const QString &message) { alerts << message; });
    }
    void TearDown() override
    {
        Workspace::setHandler(nullptr);
        Alert::setHandler(nullptr);
        Bundle::setBundlePath(QStringLiteral(VELLORAN_TEST_BUNDLE));
        WindowFixture::TearDown();
    }
    QStringList opened, alerts;
};

TEST_F(Information, HelpMenuOpensTheBundlesDocuments)
{
    ui().actionReadme->trigger();
    ui().actionSetup->trigger();
    // Velloran's own help window shows them: no other program is asked.
    EXPECT_TRUE(opened.isEmpty());
    EXPECT_TRUE(alerts.isEmpty());
}

TEST_F(Information, AMissingDocumentIsSaidSo)
{
    QTemporaryDir emptyBundle;
    Bundle::setBundlePath(emptyBundle.path());
    ui().actionReadme->trigger();
    EXPECT_TRUE(opened.isEmpty());
    ASSERT_EQ(alerts.size(), 1);
    EXPECT_TRUE(alerts[0].contains(QStringLiteral("Readme.rtf")));
}

TEST_F(Information, AboutNamesTheApplicationAndItsVersion)
{
    QApplication::setApplicationVersion(QStringLiteral("9.8.7"));
    QString text;
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        text = box->text();
        box->accept();
    });
    ui().actionAbout->trigger();
    EXPECT_TRUE(text.contains(QStringLiteral("Velloran")));
    EXPECT_TRUE(text.contains(QStringLiteral("9.8.7")));
}
