#include "Alert.h"
#include "FakeProcess.h"
#include "NATLoader.h"
#include "RecordingAuthorization.h"
#include "WindowFixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <csignal>

namespace {
const QString kBundleResources = QStringLiteral(VELLORAN_TEST_BUNDLE "/Contents/Resources");
}

// Start, stop and the other actions through the real window, with a recording authorization
// service in place of root.
class Flows : public WindowFixture
{
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        Alert::setHandler([this](const QString &message) { alerts << message; });
        NATLoader::setStagingFolder(staging.path());
        controller->applicationDidFinishLaunching(nullptr);
        ui().externalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth0)"));
        ui().internalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth1)"));
        ui().dynamic->setChecked(false);
        auth->clearRecord();
        feedback.clear();
    }
    void TearDown() override
    {
        Alert::setHandler(nullptr);
        NATLoader::setStagingFolder(QStringLiteral("/tmp"));
        WindowFixture::TearDown();
    }
    void press() { ui().sharingButton->click(); }

    const QStringList startLines{"/usr/sbin/natd -interface eth0",
                                 "/sbin/ipfw -f flush",
                                 "/sbin/ipfw add 95 divert natd all from any to any via eth0",
                                 "/sbin/ipfw add 65530 pass all from any to any",
                                 "/sbin/ifconfig eth1 192.168.2.1 netmask 255.255.255.0",
                                 "/usr/sbin/sysctl -w net.inet.ip.forwarding=1"};

    ScopedRecordingAuthorization auth;
    CapturedFeedback feedback;
    QStringList alerts;
    QTemporaryDir staging;
};

TEST_F(Flows, StartRunsTheFourToolsInOrderAndStopUndoesThem)
{
    press();
    EXPECT_EQ(auth->commandLines(), startLines);
    EXPECT_TRUE(alerts.isEmpty());
    EXPECT_TRUE(controller->running());
    EXPECT_EQ(ui().sharingButton->text(), QStringLiteral("Stop Internet Sharing"));

    FakeProcess natd({"/usr/sbin/natd", "-interface", "eth0"});
    auth->clearRecord();
    // The recorded kill takes effect: a natd that still ran would keep the button at Stop.
    auth->setStartResult([](const RecordingAuthorization::Run &run) {
        if (run.path == QLatin1String("/bin/kill"))
            ::kill(run.arguments.value(0).toInt(), SIGTERM);
        return 0;
    });
    press();
    EXPECT_EQ(auth->commandLines(),
              (QStringList{QStringLiteral("/bin/kill %1").arg(natd.pid()),
                           "/sbin/ifconfig eth1 192.168.2.1 -alias", "/sbin/ipfw -f flush"}));
    EXPECT_TRUE(alerts.isEmpty());
    EXPECT_FALSE(controller->running());
    EXPECT_EQ(ui().sharingButton->text(), QStringLiteral("Start Internet Sharing"));
}

struct FailureRow {
    const char *tool;
    const char *message;
    int runsBefore; // starts made before the failing one
};

void PrintTo(const FailureRow &row, std::ostream *os)
{
    *os << row.tool;
}

class StartFailure : public Flows, public ::testing::WithParamInterface<FailureRow>
{
};

TEST_P(StartFailure, ShowsItsOwnMessageAndLeavesEarlierStepsInPlace)
{
    const FailureRow row = GetParam();
    auth->failStart(QString::fromLatin1(row.tool));
    press();
    EXPECT_EQ(alerts, QStringList{QString::fromLatin1(row.message)});
    EXPECT_FALSE(controller->running());
    EXPECT_EQ(ui().sharingButton->text(), QStringLiteral("Start Internet Sharing"));
    EXPECT_EQ(auth->commandLines(), startLines.mid(0, row.runsBefore + 1));
}

INSTANTIATE_TEST_SUITE_P(
    EachTool, StartFailure,
    ::testing::Values(
        FailureRow{"/usr/sbin/natd", "There was an error while starting Internet Sharing (natd)",
                   0},
        FailureRow{"/sbin/ipfw", "There was an error while starting Internet Sharing (ipfw)", 1},
        FailureRow{"/sbin/ifconfig",
                   "There was an error while starting Internet Sharing (ifconfig)", 4},
        FailureRow{"/usr/sbin/sysctl",
                   "There was an error while starting Internet Sharing (sysctl)", 5}));

TEST_F(Flows, StopAfterNatdVanishedStillRemovesTheAddressAndFlushes)
{
    press();
    auth->clearRecord();
    press(); // no natd process anywhere
    EXPECT_EQ(alerts, QStringList{"There was an error terminating DidivevuZidazar"});
    EXPECT_EQ(auth->commandLines(),
              (QStringList{"/sbin/ifconfig eth1 192.168.2.1 -alias", "/sbin/ipfw -f flush"}));
    EXPECT_EQ(feedback.beeps(), 2);
    EXPECT_FALSE(controller->running());
}

TEST_F(Flows, StopRemovesTheRecordedAliasEvenAfterTheFieldsChanged)
{
    ui().internalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth0)"));
    press();
    EXPECT_TRUE(auth->commandLines().contains(
        "/sbin/ifconfig eth0 192.168.2.1 netmask 255.255.255.0 alias"));
    ui().route3->setText(QStringLiteral("77"));
    ui().internalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth1)"));
    auth->clearRecord();
    press();
    EXPECT_TRUE(auth->commandLines().contains("/sbin/ifconfig eth0 192.168.2.1 -alias"));
}

TEST_F(Flows, CancelledPasswordStartsNothing)
{
    auth->setRightsHeld(false);
    controller->applicationWillBecomeActive(nullptr);
    auth->answerNextPrompt(RecordingAuthorization::Answer::Cancel);
    press();
    EXPECT_EQ(alerts, QStringList{"There was an error while starting Internet Sharing (natd)"});
    EXPECT_TRUE(auth->runs().isEmpty());
    EXPECT_EQ(auth->prompts(), 1);
    EXPECT_EQ(ui().authLabel->text(), QStringLiteral("Click to allow changes"));
}

TEST_F(Flows, TheLockOpensWhenAStartAskedForThePassword)
{
    auth->setRightsHeld(false);
    controller->applicationWillBecomeActive(nullptr);
    EXPECT_EQ(ui().authLabel->text(), QStringLiteral("Click to allow changes"));
    press();
    EXPECT_EQ(auth->prompts(), 1);
    EXPECT_TRUE(controller->running());
    EXPECT_EQ(ui().authLabel->text(), QStringLiteral("Click to disallow changes"));

    ui().authButton->click(); // held: the click drops the rights
    EXPECT_EQ(ui().authLabel->text(), QStringLiteral("Click to allow changes"));
    EXPECT_EQ(ui().sharingButton->isEnabled(), true);
}

TEST_F(Flows, NoInterfaceMeansNothingStarts)
{
    ui().internalInterface->setCurrentIndex(-1);
    press();
    EXPECT_EQ(alerts, QStringList{"Choose an external and an internal interface before starting "
                                  "Internet Sharing."});
    EXPECT_TRUE(auth->runs().isEmpty());
    EXPECT_FALSE(controller->running());
}

TEST_F(Flows, StartWithStartAtBootOnRemakesTheStartupItemFirst)
{
    ui().load->click();
    ASSERT_TRUE(controller->loadOnStartup());
    auth->clearRecord();
    press();
    const QStringList lines = auth->commandLines();
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[0], "/bin/cp " + kBundleResources + "/StartupParameters.plist " +
                            staging.filePath("Velloran.StartupParameters.plist.tmp"));
    EXPECT_EQ(lines[1], kBundleResources + "/load_install");
    EXPECT_EQ(lines.mid(2), startLines);
    EXPECT_TRUE(QFile::exists(staging.filePath("Velloran.tmp")));
    EXPECT_TRUE(QFile::exists(staging.filePath("natd.conf.tmp")));
    EXPECT_TRUE(controller->loadOnStartup());
    EXPECT_TRUE(ui().load->isChecked());
}

TEST_F(Flows, StartGoesOnWhenTheStartupItemCantBeRemade)
{
    ui().load->click();
    auth->clearRecord();
    auth->failStart("/bin/cp");
    press();
    EXPECT_EQ(alerts, QStringList{"Unable to make startup files; an error occured"});
    EXPECT_FALSE(controller->loadOnStartup());
    EXPECT_FALSE(ui().load->isChecked());
    EXPECT_TRUE(controller->running());
}

TEST_F(Flows, StartAtBootTogglesByTheFlagNotTheCheckbox)
{
    auth->setRightsHeld(false);
    auth->answerPrompts(RecordingAuthorization::Answer::Cancel);
    ui().load->click();
    EXPECT_EQ(alerts, QStringList{"Unable to make startup files; an error occured"});
    EXPECT_FALSE(ui().load->isChecked());
    EXPECT_FALSE(controller->loadOnStartup());
    EXPECT_TRUE(auth->runs().isEmpty());
    // Not even the empty file root's copy would have written into stays behind.
    EXPECT_EQ(QDir(staging.path()).entryList(QDir::Files | QDir::System), QStringList());

    auth->setRightsHeld(true);
    alerts.clear();
    ui().load->setChecked(false); // what the box shows doesn't decide the direction
    controller->toggleLoadOnStartup(nullptr);
    EXPECT_TRUE(ui().load->isChecked());
    EXPECT_EQ(auth->paths().last(), kBundleResources + "/load_install");

    auth->setRightsHeld(false);
    controller->toggleLoadOnStartup(nullptr);
    EXPECT_EQ(alerts, QStringList{"Unable to remove startup files; an error occured"});
    EXPECT_TRUE(ui().load->isChecked());
    EXPECT_TRUE(controller->loadOnStartup());

    auth->setRightsHeld(true);
    controller->toggleLoadOnStartup(nullptr);
    EXPECT_FALSE(ui().load->isChecked());
    EXPECT_EQ(auth->paths().last(), kBundleResources + "/load_remove");
}

TEST_F(Flows, UnsafeWordsNeverReachTheBootScript)
{
    ui().route4->setText(QStringLiteral("1;reboot"));
    ui().load->click();
    EXPECT_EQ(alerts, QStringList{"Unable to make startup files; an error occured"});
    EXPECT_FALSE(controller->loadOnStartup());
    EXPECT_FALSE(auth->paths().contains(kBundleResources + "/load_install"));
    EXPECT_EQ(QDir(staging.path()).entryList(QDir::Files | QDir::System), QStringList());
}

TEST_F(Flows, ResetEndsTheNameServerByItsFullCommandLineAndBeeps)
{
    FakeProcess named({"/usr/sbin/named", "-c", "/etc/named.conf"});
    controller->applicationDidFinishLaunching(nullptr); // finds it running
    ASSERT_TRUE(controller->DNSrunning());
    ASSERT_TRUE(ui().named->isChecked());
    auth->clearRecord();
    feedback.clear();
    ui().resetButton->click();
    EXPECT_EQ(auth->commandLines(), QStringList{QStringLiteral("/bin/kill %1").arg(named.pid())});
    EXPECT_EQ(feedback.beeps(), 1);
    EXPECT_FALSE(controller->DNSrunning());
    EXPECT_FALSE(ui().named->isChecked());

    auth->clearRecord();
    feedback.clear();
    ui().resetButton->click();
    EXPECT_TRUE(auth->runs().isEmpty());
    EXPECT_EQ(feedback.beeps(), 0);
}

TEST_F(Flows, LaunchAndResetFindANatdThatRunsUnderAnotherPath)
{
    QTemporaryDir dir;
    FakeProcess natd({dir.filePath("natd"), "-f", "/etc/natd.conf"});
    controller->applicationDidFinishLaunching(nullptr);
    EXPECT_TRUE(controller->running());
    EXPECT_EQ(ui().sharingButton->text(), QStringLiteral("Stop Internet Sharing"));
}

TEST_F(Flows, ResetPutsBackSavedOptionsAndReadsWhetherNatdRuns)
{
    ui().ports->setChecked(true);
    controller->saveDefaults();
    press();
    ASSERT_TRUE(controller->running());
    ui().ports->setChecked(false);
    ui().resetButton->click(); // no natd runs: the failed start is seen for what it is
    EXPECT_TRUE(ui().ports->isChecked());
    EXPECT_FALSE(controller->running());
    EXPECT_EQ(ui().sharingButton->text(), QStringLiteral("Start Internet Sharing"));
}

TEST_F(Flows, TerminationSavesAndDropsTheRightsWithoutTouchingTheLock)
{
    EXPECT_EQ(ui().authLabel->text(), QStringLiteral("Click to disallow changes"));
    controller->applicationWillTerminate(nullptr);
    EXPECT_TRUE(NATController::preferences()->value("HasRun").toBool());
    EXPECT_EQ(auth->releases(), 1);
    EXPECT_EQ(ui().authLabel->text(), QStringLiteral("Click to disallow changes"));
}
