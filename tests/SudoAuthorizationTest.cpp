#include "LinuxAuthorization.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <pwd.h>

namespace {

// One use of the authorization by an ordinary user through real sudo, the real root helper and
// the real password dialog: the sudoers rule, the dialog's answer, the driver's steps and
// everything it prints ($NATD: the pid of an idle process that looks like root's natd; only root
// can end it, so its end shows the helper ran the kill with root's rights).
struct Scenario {
    const char *name, *defaults;
    bool withoutPassword;
    const char *answer; // the dialog's answer to each ask, "right" for the password
    QStringList steps;
    QStringList printed;
    bool natdKilled;
    const char *shown = nullptr; // the notice each ask showed
};
void PrintTo(const Scenario &row, std::ostream *os)
{
    *os << row.name;
}

class SudoAuthorization : public ::testing::TestWithParam<Scenario>
{
protected:
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        VELLORAN_REQUIRE(QFileInfo(LinuxAuthorization::sudoPath()).isExecutable(), "needs sudo");
        ASSERT_TRUE(QFileInfo(LinuxAuthorization::helperPath()).isExecutable());
        ASSERT_EQ(accounts("/usr/sbin/useradd", {"--no-create-home", "--user-group", "--shell",
                                                 "/usr/sbin/nologin", user}),
                  0);
        userMade = true;
        ASSERT_EQ(accounts("/usr/sbin/chpasswd", {}, (user + ':' + password + '\n').toUtf8()), 0);
        const passwd *entry = getpwnam(user.toLocal8Bit().constData());
        ASSERT_NE(entry, nullptr);
        uid = entry->pw_uid, gid = entry->pw_gid;
        // A home of the user's own for the answer file and the tools' records.
        ASSERT_TRUE(QDir().mkpath(home));
        ASSERT_EQ(chown(home.toLocal8Bit().constData(), uid, gid), 0);
        QFile::setPermissions(home, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile::setPermissions(scratch.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ExeOwner | QFile::ExeOther);
    }
    void TearDown() override
    {
        QFile::remove(sudoers);
        // --force: a process of the user that is still ending must not keep the account alive.
        if (userMade) {
            EXPECT_EQ(accounts("/usr/sbin/userdel", {"--force", user}), 0);
        }
        QFile::remove("/run/sudo/ts/" + user);
    }

    // The account tools refuse while another program holds /etc/passwd's lock, and userdel while
    // a process of the user (sudo, just ending after the driver) still runs: both pass quickly.
    static int accounts(const QString &program, const QStringList &arguments,
                        const QByteArray &input = {})
    {
        for (int attempt = 0;; ++attempt) {
            QProcess process;
            process.setProcessChannelMode(QProcess::MergedChannels);
            process.start(program, arguments);
            process.write(input);
            process.closeWriteChannel();
            process.waitForFinished();
            const QString output = QString::fromLocal8Bit(process.readAll());
            if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
                return 0;
            if ((!output.contains("lock") && !output.contains("currently used")) || attempt == 50) {
                ADD_FAILURE() << program.toStdString() << ": " << output.toStdString();
                return 1;
            }
            QThread::msleep(100);
        }
    }

    const QString user = QStringLiteral("vlauth%1").arg(getpid());
    const QString password = QStringLiteral("Corr3ct horse");
    const QString sudoers = "/etc/sudoers.d/velloran-test-" + QString::number(getpid());
    bool userMade = false;
    uid_t uid = 0;
    gid_t gid = 0;
    QTemporaryDir scratch;
    const QString home = scratch.path() + "/home";
};

TEST_P(SudoAuthorization, Scenario)
{
    const Scenario &row = GetParam();
    if (row.defaults) { // else no rule lets the user run the helper
        TestSupport::writeFile(sudoers,
                               QStringLiteral("Defaults:%1 lecture=never, %2\n%1 ALL=(root) %3%4\n")
                                   .arg(user, row.defaults, row.withoutPassword ? "NOPASSWD: " : "",
                                        LinuxAuthorization::helperPath())
                                   .toUtf8());
        QFile::setPermissions(sudoers, QFile::ReadOwner | QFile::ReadGroup);
        ASSERT_EQ(TestSupport::run("/usr/sbin/visudo", {"-cf", sudoers}), 0);
    }
    TestSupport::answerAskpass(home, QByteArray(row.answer).replace("right", password.toUtf8()),
                               uid, gid);
    FakeProcess natd({"/usr/sbin/natd", "-interface", "eth0"});
    const auto fill = [&](QStringList list) {
        return list.replaceInStrings("$NATD", QString::number(natd.pid))
            .replaceInStrings("$HOME", home)
            .replaceInStrings("$USER", user)
            .replaceInStrings("$EPERM", QString::number(EPERM));
    };

    QProcess driver;
    driver.setProcessEnvironment(TestSupport::userDriverEnvironment(home));
    driver.setWorkingDirectory(home);
    driver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    driver.start("/usr/bin/setpriv",
                 QStringList{"--reuid=" + QString::number(uid), "--regid=" + QString::number(gid),
                             "--init-groups", "--", VELLORAN_AUTH_DRIVER} +
                     fill(row.steps));
    EXPECT_TRUE(driver.waitForFinished(120000));
    EXPECT_EQ(driver.exitCode(), 0);
    EXPECT_EQ(driver.readAllStandardOutput().toStdString(), TestSupport::lines(fill(row.printed)));

    if (row.steps.join(' ').contains("$NATD")) {
        EXPECT_EQ(TestSupport::waitFor([&] { return !TestSupport::processAlive(natd.pid); },
                                       row.natdKilled ? 20 : 1),
                  row.natdKilled);
    }
    if (row.shown) {
        EXPECT_EQ(TestSupport::readAll(home + "/answer.shown").toStdString(), row.shown);
    }
}

// sudo's credential cache is per session by default and shared by all of the user's sessions
// with timestamp_type=global: either way no cached credential may outlive deauthenticate.
const QStringList kRootUntilDeauthenticate{
    "check",          "authenticate",   "check", "run=/bin/kill|$NATD",
    "deauthenticate", "deauthenticate", "check"};
const QStringList kRootUntilDeauthenticatePrinted{"check 0",
                                                  "authenticate 1",
                                                  "check 1",
                                                  "run 1",
                                                  "deauthenticate",
                                                  "deauthenticate",
                                                  "check 0",
                                                  "authenticated-notifications 1",
                                                  "deauthenticated-notifications 1",
                                                  "beeps 0"};
INSTANTIATE_TEST_SUITE_P(
    Table, SudoAuthorization,
    ::testing::Values(
        Scenario{"RightPasswordGivesRootUntilDeauthenticate", "timestamp_type=tty", false,
                 "accept right", kRootUntilDeauthenticate, kRootUntilDeauthenticatePrinted, true},
        Scenario{"GlobalTimestampIsForgottenToo", "timestamp_type=global", false, "accept right",
                 kRootUntilDeauthenticate, kRootUntilDeauthenticatePrinted, true},
        Scenario{"ToolOutsideVelloransCommandsIsRefusedAndReported",
                 "lecture=never",
                 false,
                 "accept right",
                 {"run=$HOME/missing|x"},
                 {"run 0", "authenticated-notifications 1", "deauthenticated-notifications 0",
                  "beeps 1", "log Error $EPERM in AuthorizationExecuteWithPrivileges",
                  "log \\nPath: $HOME/missing"},
                 false},
        Scenario{"CancelAnswersNoAndStartsNothing",
                 "lecture=never",
                 false,
                 "cancel",
                 {"authenticate", "run=/bin/kill|$NATD", "check"},
                 {"authenticate 0", "run 0", "check 0", "authenticated-notifications 0",
                  "deauthenticated-notifications 0", "beeps 0"},
                 false},
        Scenario{"WrongPasswordAnswersNoAndPostsNothing",
                 "lecture=never",
                 false,
                 "accept not-the-password",
                 {"authenticate", "check"},
                 {"authenticate 0", "check 0", "authenticated-notifications 0",
                  "deauthenticated-notifications 0", "beeps 0"},
                 false},
        Scenario{"RuleWithoutPasswordPassesTheSilentCheck",
                 "lecture=never",
                 true,
                 "cancel",
                 {"check", "authenticate", "deauthenticate"},
                 {"check 1", "authenticate 1", "deauthenticate", "authenticated-notifications 0",
                  "deauthenticated-notifications 1", "beeps 0"},
                 false},
        // The dialog and the alert say what went wrong.
        Scenario{"NotInSudoersIsExplained",
                 nullptr,
                 false,
                 "accept right",
                 {"authenticate", "check"},
                 {"authenticate 0", "check 0", "authenticated-notifications 0",
                  "deauthenticated-notifications 0", "beeps 0",
                  "alert Your account may not make changes as an administrator: sudo refused it. "
                  "An administrator can allow it with \"adduser $USER sudo\"; then log out and "
                  "log in again."},
                 false,
                 "\n"},
        Scenario{"WrongThenRightPasswordSaysTryAgain",
                 "lecture=never",
                 false,
                 "accept wrong\naccept right",
                 {"authenticate", "check"},
                 {"authenticate 1", "check 1", "authenticated-notifications 1",
                  "deauthenticated-notifications 0", "beeps 0"},
                 false,
                 "\nSorry, try again.\n"}),
    [](const auto &row) { return std::string(row.param.name); });

} // namespace
