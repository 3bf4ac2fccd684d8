// A user asks for rights through the real helper, sudo, polkitd, pkexec and the password dialog.
#include "BLAuthentication.h"
#include "DesktopPackage.h"
#include "privilege/LinuxAuthorization.h"
#include "privilege/Polkit.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace {

using TestSupport::readAll;
using TestSupport::run;
using TestSupport::writeFile;
const QString kInstalled = QStringLiteral("/usr/lib/velloran/Velloran.app");
const QString kResources = kInstalled + "/Contents/Resources";
const QString kHelper = "/Contents/Resources/velloran-helper";

// sudoers ("-": no rule), polkit's answer, the dialog's ("right": the password), installed bundle?,
// the driver's steps, all it prints, and what the dialog showed at each ask.
struct Scenario {
    const char *name, *sudoers, *polkit, *dialog;
    bool installed;
    QStringList steps, printed;
    const char *shown;
};
void PrintTo(const Scenario &row, std::ostream *os)
{
    *os << row.name;
}

// polkitd on a bus of its own, the package over /usr, /etc and /run the test's (desktop_root).
class UserAuthorization : public ::testing::TestWithParam<Scenario>
{
protected:
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        VELLORAN_REQUIRE(QFileInfo("/usr/bin/pkexec").isExecutable(), "needs polkit");
        QString error;
        const QString deb = DesktopPackage::build(&error);
        const QString askpass = package + kResources + "/velloran-askpass";
        ASSERT_FALSE(deb.isEmpty()) << error.toStdString();
        ASSERT_EQ(run("/usr/bin/dpkg-deb", {"-x", deb, package}), 0);
        // The package's password dialog has no test hook: the test build's one answers here.
        EXPECT_FALSE(readAll(askpass).contains("VELLORAN_ASKPASS_TEST_ANSWER"));
        ASSERT_TRUE(
            QFile::remove(askpass) &&
            QFile::copy(VELLORAN_TEST_BUNDLE "/Contents/Resources/velloran-askpass", askpass));
        ASSERT_TRUE(QDir().mkpath(package + "/usr/share/polkit-1/rules.d"));
        writeFile(package + "/usr/share/polkit-1/rules.d/50-velloran-test.rules",
                  QByteArray("polkit.addRule(function(action) { if (action.id == '") +
                      Polkit::kActionId + "') return polkit.Result." + GetParam().polkit +
                      "; });\n");
        script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        script.start(VELLORAN_TEST_SOURCE_DIR "/desktop_root",
                     {work.path(), package, user, password});
        QByteArray said;
        while (!said.contains('\n') && script.waitForReadyRead(30000))
            said += script.readAllStandardOutput();
        ASSERT_TRUE(said.startsWith("ready ")) << "no polkitd";
        nsenter = {"/usr/bin/nsenter", "--mount", "--target", said.mid(6).trimmed(), "--"};
        const QStringList account = QString(readAll(work.path() + "/etc/passwd"))
                                        .section("\n" + user + ":", 1, 1)
                                        .split(':');
        uid = account.value(1);
        gid = account.value(2);
        // A home of the user's own for the password dialog's answer; the tools stay root's.
        ASSERT_TRUE(QDir().mkpath(home));
        ASSERT_EQ(run("/bin/chown", {uid + ':' + gid, home}), 0);
        ASSERT_EQ(run("/bin/chmod", {"0711", work.path()}), 0);
    }
    void TearDown() override
    {
        script.closeWriteChannel(); // desktop_root then ends what it started
        script.waitForFinished(30000);
    }
    const QString user = QStringLiteral("vlpk%1").arg(getpid());
    const QByteArray password = "Desk top 7";
    QTemporaryDir work;
    const QString home = work.path() + "/home", package = work.path() + "/package";
    QProcess script;
    QStringList nsenter;
    QString uid, gid;
};

TEST_P(UserAuthorization, RequestTakesTheRightWay)
{
    const Scenario &row = GetParam();
    FakeProcess natd({"/usr/sbin/natd", "-interface", "eth0"}); // only root may stop it
    const auto fill = [&](QStringList list) {
        return list.replaceInStrings("$NATD", QString::number(natd.pid))
            .replaceInStrings("$RES", kResources)
            .replaceInStrings("$USER", user);
    };
    if (QByteArray(row.sudoers) == "-") // no rule at all names the user
        writeFile(work.path() + "/etc/sudoers", "Defaults env_reset\n");
    else
        writeFile(work.path() + "/etc/sudoers.d/velloran-test", QByteArray(row.sudoers) + '\n');
    TestSupport::answerAskpass(home, QByteArray(row.dialog).replace("right", password),
                               uid.toUInt(), gid.toUInt());
    const QString app = row.installed ? kInstalled : VELLORAN_TEST_BUNDLE;
    const bool traced = row.steps.value(0) == "traced"; // by strace, from its start
    // A link waiting where root copies to is replaced, never followed.
    const QString copy = work.path() + "/etc/named.conf", elsewhere = work.path() + "/elsewhere";
    writeFile(elsewhere, "kept\n");
    QFile::remove(copy);
    QFile::link(elsewhere, copy);
    QProcess driver;
    driver.setProcessEnvironment(TestSupport::userDriverEnvironment(home));
    driver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    driver.start(nsenter[0],
                 nsenter.mid(1) +
                     QStringList{"/usr/bin/setpriv", "--reuid=" + uid, "--regid=" + gid,
                                 "--init-groups", "--"} +
                     (traced ? QStringList{"/usr/bin/strace", "-o", "/dev/null"} : QStringList()) +
                     QStringList{VELLORAN_AUTH_DRIVER, "--bundle=" + app} +
                     fill(row.steps.mid(traced ? 1 : 0)));
    // While the dialog asks, no other program of the user's copies anything out of Velloran.
    const bool asks = *row.shown && TestSupport::waitFor(
                                        [&] { return QFileInfo::exists(home + "/answer.shown"); });
    EXPECT_FALSE(asks && TestSupport::canCopyDescriptor(pid_t(driver.processId()), uid.toUInt(),
                                                        gid.toUInt()));
    ASSERT_TRUE(driver.waitForFinished(120000)) << "the driver hung";
    EXPECT_EQ(driver.readAllStandardOutput().toStdString(),
              (fill(row.printed).join('\n') + '\n').toStdString());
    // No helper outlives Velloran, though a child of its own still holds a copy of its pipe.
    EXPECT_TRUE(TestSupport::waitFor(
        [&] { return BLAuthentication::sharedInstance()->getPID(app + kHelper) == 0; }, 5))
        << "a helper outlived Velloran";
    EXPECT_EQ(readAll(home + "/answer.shown").toStdString(), row.shown);
    if (!row.printed.contains("run 1"))
        return;
    EXPECT_TRUE(TestSupport::waitFor([&] { return !TestSupport::processAlive(natd.pid); }));
    // The copy landed in the namespace's own /etc (WORK's), made by root.
    EXPECT_EQ(readAll(copy), readAll(package + kResources + "/named.conf"));
    EXPECT_EQ(QFileInfo(copy).ownerId(), 0u);
    EXPECT_EQ(readAll(elsewhere), "kept\n");
}

const QStringList kAsk{"authenticate", "check"}, kNo{"authenticate 0", "check 0"},
    kYes{"post BLAuthenticatedNotification", "authenticate 1", "check 1"};
INSTANTIATE_TEST_SUITE_P(
    Sessions, UserAuthorization,
    ::testing::Values(
        // The release forgets sudo's global timestamp; the Lock ends the helper despite the fork.
        Scenario("SudoRightPasswordGivesRootUntilDeauthenticate", "Defaults timestamp_type=global",
                 "AUTH_ADMIN", "accept right", true,
                 {"check", "authenticate", "fork", "check", "run=/bin/kill|$NATD",
                  "run=/bin/cp|$RES/named.conf|/etc/named.conf", "run=/nonexistent/tool",
                  "deauthenticate", "helpers", "deauthenticate", "check", "authenticate", "fork"},
                 QStringList{"check 0", "post BLAuthenticatedNotification", "authenticate 1",
                             "fork", "check 1", "run 1", "run 1", "beep",
                             "log Error 1 in AuthorizationExecuteWithPrivileges",
                             "log \\nPath: /nonexistent/tool", "run 0",
                             "post BLDeauthenticatedNotification", "deauthenticate", "helpers 0",
                             "deauthenticate", "check 0", "post BLAuthenticatedNotification",
                             "authenticate 1", "fork"},
                 "\n\n"),
        // A tracer could use the rights too: none are asked for, and one alert says why.
        Scenario("TracedAsksForNothing", "%sudo ALL=(ALL) NOPASSWD: ALL", "AUTH_ADMIN",
                 "accept right", false, {"traced", "check", "authenticate", "check"},
                 QStringList{"check 0", "alert " + LinuxAuthorization::tracedMessage()} + kNo, ""),
        Scenario("SudoCancelAnswersNoAndStartsNothing", "", "AUTH_ADMIN", "cancel", false,
                 {"authenticate", "run=/bin/kill|$NATD", "check"},
                 {"authenticate 0", "run 0", "check 0"}, "\n\n"),
        Scenario("SudoWrongPasswordAnswersNoAndPostsNothing", "Defaults passwd_tries=1",
                 "AUTH_ADMIN", "accept wrong", false, kAsk, kNo, "\n"),
        Scenario("SudoWrongThenRightPasswordSaysTryAgain", "", "AUTH_ADMIN",
                 "accept wrong\naccept right", false, kAsk, kYes, "\nSorry, try again.\n"),
        Scenario("SudoRuleWithoutPasswordPassesTheSilentCheck", "%sudo ALL=(ALL) NOPASSWD: ALL",
                 "AUTH_ADMIN", "cancel", false, {"check", "authenticate", "deauthenticate"},
                 {"check 1", "authenticate 1", "post BLDeauthenticatedNotification",
                  "deauthenticate"},
                 ""),
        Scenario("NotInSudoersIsExplained", "-", "AUTH_ADMIN", "accept right", false, kAsk,
                 QStringList{"alert Your account may not make changes as an administrator: sudo "
                             "refused it. An administrator can allow it with \"adduser $USER "
                             "sudo\"; then log out and log in again."} +
                     kNo,
                 "\n"),
        // The password dialog is never asked: it would cancel, or allow what polkit refused.
        Scenario(
            "PolkitOpensAndClosesTheLockWithoutSudo", "", "YES", "cancel", true,
            {"check", "authenticate", "fork", "check", "run=/bin/kill|$NATD",
             "run=/bin/cp|$RES/named.conf|/etc/named.conf", "deauthenticate", "helpers", "check"},
            QStringList{"check 0", "post BLAuthenticatedNotification", "authenticate 1", "fork",
                        "check 1", "run 1", "run 1", "post BLDeauthenticatedNotification",
                        "deauthenticate", "helpers 0", "check 0"},
            ""),
        Scenario("PolkitRefusalIsFinal", "", "NO", "accept right", true, kAsk, kNo, ""),
        Scenario("BuildTreeHelperIsNotTheActionsSoSudoAsks", "", "YES", "accept right", false, kAsk,
                 kYes, "\n")),
    [](const auto &row) { return std::string(row.param.name); });

// A session's temporary authorizations: only Velloran's own action for its own process goes.
TEST(PolkitTemporaryAuthorizations, RevokesOnlyThisProcessesHelperAuthorization)
{
    const QString ours = Polkit::kActionId;
    EXPECT_EQ(Polkit::ownTemporaryAuthorizations({{"a1", ours, "unix-process", 42},
                                                  {"a2", "org.other.action", "unix-process", 42},
                                                  {"a3", ours, "unix-process", 43},
                                                  {"a4", ours, "system-bus-name", 42}},
                                                 42),
              QStringList{"a1"});
}

} // namespace
