// Start, stop, start at boot, reset and quit through the real window, with the recording runner
// in place of root: what ran, was said and beeped, in order.
#include "WindowFixture.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <csignal>

namespace {
const QString kResources = QStringLiteral(VELLORAN_TEST_BUNDLE "/Contents/Resources");
const QStringList kStart{"run /usr/sbin/natd -interface eth0",
                         "run /sbin/ipfw -f flush",
                         "run /sbin/ipfw add 95 divert natd all from any to any via eth0",
                         "run /sbin/ipfw add 65530 pass all from any to any",
                         "run /sbin/ifconfig eth1 192.168.2.1 netmask 255.255.255.0",
                         "run /usr/sbin/sysctl -w net.inet.ip.forwarding=1"};
const QString kCantMake = QStringLiteral("alert Unable to make startup files; an error occured");
} // namespace

class Flows : public WindowFixture
{
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        controller->applicationDidFinishLaunching(nullptr);
        choose("eth0", "eth1");
        ui().dynamic->setChecked(false);
        rec.clearRecord();
    }
    void press() { ui().sharingButton->click(); }
    QStringList staged() const { return QDir(stage.path()).entryList(QDir::Files | QDir::System); }
    QString lock() { return ui().authLabel->text(); }
};

TEST_F(Flows, StartRunsTheFourToolsInOrderAndStopUndoesThem)
{
    press();
    EXPECT_EQ(rec.events, kStart);
    EXPECT_EQ(ui().sharingButton->text(), QStringLiteral("Stop Internet Sharing"));
    {
        FakeProcess natd({"/usr/sbin/natd", "-interface", "eth0"});
        rec.clearRecord();
        // Root's kill takes effect: a natd that still ran would keep the button at Stop.
        rec.onRun = [pid = natd.pid](const QString &line) {
            if (line == "/bin/kill " + QString::number(pid))
                ::kill(pid, SIGTERM);
        };
        press();
        EXPECT_EQ(rec.events, (QStringList{QStringLiteral("run /bin/kill %1").arg(natd.pid),
                                           "run /sbin/ifconfig eth1 192.168.2.1 -alias",
                                           "run /sbin/ipfw -f flush"}));
    }
    EXPECT_FALSE(controller->running());
    EXPECT_EQ(ui().sharingButton->text(), QStringLiteral("Start Internet Sharing"));
    // natd gone: the address and the rules still go, and the failure is said.
    press();
    rec.clearRecord();
    press();
    EXPECT_EQ(rec.events, (QStringList{"beep", "log Error killing process 0, invalid PID.", "beep",
                                       "log Error killing process 0, invalid PID.",
                                       "alert There was an error terminating DidivevuZidazar",
                                       "run /sbin/ifconfig eth1 192.168.2.1 -alias",
                                       "run /sbin/ipfw -f flush"}));
    EXPECT_FALSE(controller->running());
}

class StartFailure : public Flows, public ::testing::WithParamInterface<int>
{
};

TEST_P(StartFailure, ShowsItsOwnMessageAndLeavesEarlierStepsInPlace)
{
    const int failing = GetParam();
    const QString path = kStart[failing].section(' ', 1, 1);
    rec.failStart(path);
    press();
    QStringList said{"beep", "log Error 2 in AuthorizationExecuteWithPrivileges",
                     "log \nPath: " + path};
    if (path == "/sbin/ipfw")
        said << "log Error configuring ipfw";
    said << "alert There was an error while starting Internet Sharing (" + path.section('/', -1) +
                ')';
    EXPECT_EQ(rec.events, kStart.mid(0, failing + 1) + said);
    EXPECT_FALSE(controller->running());
    EXPECT_EQ(ui().sharingButton->text(), QStringLiteral("Start Internet Sharing"));
}

INSTANTIATE_TEST_SUITE_P(
    EachTool, StartFailure, ::testing::Values(0, 1, 4, 5), [](const auto &row) {
        return kStart[row.param].section('/', -1).section(' ', 0, 0).toStdString();
    });

TEST_F(Flows, StopRemovesTheRecordedAliasEvenAfterTheFieldsChanged)
{
    choose("eth0", "eth0");
    press();
    EXPECT_TRUE(rec.runs().contains("/sbin/ifconfig eth0 192.168.2.1 netmask 255.255.255.0 alias"));
    type("192.168.77.1");
    choose("eth0", "eth1");
    press();
    EXPECT_TRUE(rec.runs().contains("/sbin/ifconfig eth0 192.168.2.1 -alias"));
}

TEST_F(Flows, PasswordAndLock)
{
    EXPECT_EQ(lock(), QStringLiteral("Click to disallow changes"));
    rec.rightsHeld = false;
    controller->applicationWillBecomeActive(nullptr);
    EXPECT_EQ(lock(), QStringLiteral("Click to allow changes"));
    rec.answer = RecordingAuthorization::Answer::Cancel;
    press();
    EXPECT_EQ(rec.prompts, 1);
    EXPECT_EQ(rec.events,
              QStringList{"alert There was an error while starting Internet Sharing (natd)"});
    EXPECT_EQ(lock(), QStringLiteral("Click to allow changes"));
    rec.answer = RecordingAuthorization::Answer::Grant;
    rec.clearRecord();
    press();
    EXPECT_EQ(rec.events, kStart);
    EXPECT_EQ(rec.prompts, 1);
    EXPECT_EQ(lock(), QStringLiteral("Click to disallow changes"));
    ui().authButton->click(); // held: the click drops the rights
    EXPECT_EQ(lock(), QStringLiteral("Click to allow changes"));
    EXPECT_TRUE(ui().sharingButton->isEnabled());
    // Quitting saves and drops the rights without touching the lock.
    rec.clearRecord();
    ui().authButton->click();
    controller->applicationWillTerminate(nullptr);
    EXPECT_TRUE(NATController::preferences()->value("HasRun").toBool());
    EXPECT_EQ(rec.releases, 1);
    EXPECT_EQ(lock(), QStringLiteral("Click to disallow changes"));
}

TEST_F(Flows, NoInterfaceMeansNothingStarts)
{
    ui().internalInterface->setCurrentIndex(-1);
    press();
    EXPECT_EQ(rec.events, QStringList{"alert Choose an external and an internal interface before "
                                      "starting Internet Sharing."});
}

TEST_F(Flows, StartAtBootRemakesTheItemFirstAndTogglesByTheFlag)
{
    ui().load->click();
    ASSERT_TRUE(controller->loadOnStartup());
    rec.clearRecord();
    press();
    const QString copy = "run /bin/cp " + kResources + "/StartupParameters.plist " +
                         stage.filePath("Velloran.StartupParameters.plist.tmp");
    EXPECT_EQ(rec.events, QStringList({copy, "run " + kResources + "/load_install"}) + kStart);
    EXPECT_TRUE(QFile::exists(stage.filePath("Velloran.tmp")) &&
                QFile::exists(stage.filePath("natd.conf.tmp")));
    EXPECT_TRUE(controller->loadOnStartup() && ui().load->isChecked());
    // The item can't be remade: said, start at boot off, sharing on all the same.
    press();
    rec.clearRecord();
    rec.failStart("/bin/cp");
    press();
    EXPECT_EQ(rec.events.mid(4), QStringList{kCantMake} + kStart);
    EXPECT_FALSE(controller->loadOnStartup() || ui().load->isChecked());
    EXPECT_TRUE(controller->running());
}

TEST_F(Flows, StartAtBootTogglesByTheFlagNotTheCheckbox)
{
    rec.rightsHeld = false;
    rec.answer = RecordingAuthorization::Answer::Cancel;
    ui().load->click();
    EXPECT_EQ(rec.events, QStringList{kCantMake});
    EXPECT_FALSE(ui().load->isChecked() || controller->loadOnStartup());
    EXPECT_EQ(staged(), QStringList()); // not even the empty file for root's copy stays
    rec.answer = RecordingAuthorization::Answer::Grant;
    rec.rightsHeld = true;
    ui().load->setChecked(false); // what the box shows doesn't decide the direction
    controller->toggleLoadOnStartup(nullptr);
    EXPECT_TRUE(ui().load->isChecked());
    EXPECT_EQ(rec.runs().last(), kResources + "/load_install");
    rec.rightsHeld = false;
    rec.answer = RecordingAuthorization::Answer::Cancel;
    rec.clearRecord();
    controller->toggleLoadOnStartup(nullptr);
    EXPECT_EQ(rec.events.last(), "alert Unable to remove startup files; an error occured");
    EXPECT_TRUE(ui().load->isChecked() && controller->loadOnStartup());
    rec.rightsHeld = true;
    ui().resetButton->click(); // reset takes the item away too
    EXPECT_FALSE(ui().load->isChecked() || controller->loadOnStartup());
    EXPECT_EQ(rec.runs(), QStringList{kResources + "/load_remove"});
}

TEST_F(Flows, UnsafeWordsNeverReachTheBootScript)
{
    ui().route4->setText(QStringLiteral("1;reboot"));
    ui().load->click();
    EXPECT_EQ(rec.events, (QStringList{"run /bin/cp " + kResources + "/StartupParameters.plist " +
                                           stage.filePath("Velloran.StartupParameters.plist.tmp"),
                                       kCantMake}));
    EXPECT_FALSE(controller->loadOnStartup());
    EXPECT_EQ(staged(), QStringList());
}

TEST_F(Flows, LaunchAndResetFindTheDaemonsAndResetEndsTheNameServer)
{
    QTemporaryDir dir;
    FakeProcess natd({dir.filePath("natd"), "-f", "/etc/natd.conf"}); // under another path
    FakeProcess named({"/usr/sbin/named", "-c", "/etc/named.conf"});
    ui().ports->setChecked(true);
    controller->saveDefaults();
    controller->applicationDidFinishLaunching(nullptr);
    EXPECT_TRUE(controller->running() && controller->DNSrunning() && ui().named->isChecked());
    EXPECT_EQ(ui().sharingButton->text(), QStringLiteral("Stop Internet Sharing"));
    ui().ports->setChecked(false);
    rec.clearRecord();
    ui().resetButton->click();
    EXPECT_EQ(rec.events, (QStringList{QStringLiteral("run /bin/kill %1").arg(named.pid), "beep"}));
    EXPECT_FALSE(controller->DNSrunning() || ui().named->isChecked());
    EXPECT_TRUE(ui().ports->isChecked() && controller->running());
    rec.clearRecord();
    ui().resetButton->click(); // the name server is gone: nothing to end, no beep
    EXPECT_EQ(rec.events, QStringList());
}

TEST_F(Flows, ResetWithoutNatdShowsSharingOffAndKillsNothing)
{
    press();
    rec.clearRecord();
    ui().resetButton->click();
    EXPECT_EQ(rec.events, QStringList());
    EXPECT_FALSE(controller->running());
    EXPECT_EQ(ui().sharingButton->text(), QStringLiteral("Start Internet Sharing"));
}
