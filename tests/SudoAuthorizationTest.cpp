#include "LinuxAuthorization.h"
#include "RecordingTool.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <pwd.h>

namespace {

std::string lines(const QStringList &expected)
{
    return (expected.join('\n') + '\n').toStdString();
}

// Real sudo, the real root helper and the real password dialog, used by an ordinary user that
// the test makes (with a password and a sudoers rule for the helper) and removes again.
class SudoAuthorizationTest : public ::testing::Test
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
        uid = entry->pw_uid;
        gid = entry->pw_gid;

        // A folder of the user's own for the answer file, its home and the tools' records.
        ASSERT_TRUE(scratch.isValid());
        home = scratch.path() + "/home";
        ASSERT_TRUE(QDir().mkpath(home));
        ASSERT_EQ(chown(home.toLocal8Bit().constData(), uid, gid), 0);
        QFile::setPermissions(home, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile::setPermissions(scratch.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ExeOwner | QFile::ExeOther);
    }

    void TearDown() override
    {
        if (!sudoers.isEmpty())
            QFile::remove(sudoers);
        if (userMade) {
            // --force: a process of the user that is still ending must not keep the account alive.
            EXPECT_EQ(accounts("/usr/sbin/userdel", {"--force", user}), 0);
            QFile::remove("/run/sudo/ts/" + user);
        }
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
            const bool passing = output.contains(QLatin1String("lock")) ||
                                 output.contains(QLatin1String("currently used"));
            if (!passing || attempt == 50) {
                ADD_FAILURE() << program.toStdString() << ": " << output.toStdString();
                return 1;
            }
            QThread::msleep(100);
        }
    }

    void allowHelper(bool withoutPassword = false, const QString &defaults = QString())
    {
        sudoers = "/etc/sudoers.d/velloran-test-" + QString::number(getpid());
        QFile file(sudoers);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QStringLiteral("Defaults:%1 lecture=never%2\n%1 ALL=(root) %3%4\n")
                       .arg(user, defaults.isEmpty() ? QString() : ", " + defaults,
                            withoutPassword ? "NOPASSWD: " : "", LinuxAuthorization::helperPath())
                       .toUtf8());
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::ReadGroup);
        ASSERT_EQ(TestSupport::run("/usr/sbin/visudo", {"-cf", sudoers}), 0);
    }

    void answer(const QByteArray &line)
    {
        const QString path = home + "/answer";
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("velloran-askpass-test\n" + line + '\n');
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        ASSERT_EQ(chown(path.toLocal8Bit().constData(), uid, gid), 0);
    }

    // Runs the driver as the user, without a terminal; what it printed.
    std::string drive(const QStringList &steps)
    {
        QProcessEnvironment environment = TestSupport::userDriverEnvironment(home);
        QProcess driver;
        driver.setProcessEnvironment(environment);
        driver.setWorkingDirectory(home);
        driver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        driver.start("/usr/bin/setpriv", QStringList{"--reuid=" + QString::number(uid),
                                                     "--regid=" + QString::number(gid),
                                                     "--init-groups", "--", VELLORAN_AUTH_DRIVER} +
                                             steps);
        EXPECT_TRUE(driver.waitForFinished(120000));
        EXPECT_EQ(driver.exitCode(), 0);
        return driver.readAllStandardOutput().toStdString();
    }

    const QString user = QStringLiteral("vlauth%1").arg(getpid());
    const QString password = QStringLiteral("Corr3ct horse");
    bool userMade = false;
    uid_t uid = 0;
    gid_t gid = 0;
    QString sudoers;
    QTemporaryDir scratch;
    QString home;
};

// sudo's credential cache, per session by default, shared by all of the user's sessions with
// timestamp_type=global: either way no cached credential may outlive deauthenticate.
class SudoCacheTest : public SudoAuthorizationTest,
                      public ::testing::WithParamInterface<const char *>
{
};

TEST_P(SudoCacheTest, RightPasswordGivesRootUntilDeauthenticate)
{
    allowHelper(false, GetParam());
    answer("accept " + password.toUtf8());
    // Only root can stop root's natd: the helper's kill shows the rights were root's.
    FakeProcess natd({"/usr/sbin/natd", "-interface", "eth0"});
    EXPECT_EQ(drive({"check", "authenticate", "check", "run=/bin/kill|" + QString::number(natd.pid),
                     "deauthenticate", "deauthenticate", "check"}),
              lines({"check 0", "authenticate 1", "check 1", "run 1", "deauthenticate",
                     "deauthenticate", "check 0", "authenticated-notifications 1",
                     "deauthenticated-notifications 1", "beeps 0"}));
    EXPECT_TRUE(TestSupport::waitFor([&] { return !TestSupport::processAlive(natd.pid); }));
}

INSTANTIATE_TEST_SUITE_P(Timestamps, SudoCacheTest,
                         ::testing::Values("timestamp_type=tty", "timestamp_type=global"),
                         [](const auto &row) { return std::string(row.param).substr(15); });

TEST_F(SudoAuthorizationTest, ToolOutsideVelloransCommandsIsRefusedAndReported)
{
    allowHelper();
    answer("accept " + password.toUtf8());
    EXPECT_EQ(
        drive({"run=" + home + "/missing|x"}),
        lines({"run 0", "authenticated-notifications 1", "deauthenticated-notifications 0",
               "beeps 1",
               QStringLiteral("log Error %1 in AuthorizationExecuteWithPrivileges").arg(EPERM),
               "log \\nPath: " + home + "/missing"}));
}

TEST_F(SudoAuthorizationTest, WrongPasswordAnswersNoAndPostsNothing)
{
    allowHelper();
    answer("accept not-the-password");
    EXPECT_EQ(drive({"authenticate", "check"}),
              lines({"authenticate 0", "check 0", "authenticated-notifications 0",
                     "deauthenticated-notifications 0", "beeps 0"}));
}

TEST_F(SudoAuthorizationTest, CancelAnswersNoAndStartsNothing)
{
    allowHelper();
    answer("cancel");
    RecordingTool tool(home, "never");
    EXPECT_EQ(drive({"authenticate", "run=" + tool.path()}),
              lines({"authenticate 0", "run 0", "authenticated-notifications 0",
                     "deauthenticated-notifications 0", "beeps 0"}));
    EXPECT_TRUE(tool.starts().isEmpty());
}

TEST_F(SudoAuthorizationTest, RuleWithoutPasswordPassesTheSilentCheck)
{
    allowHelper(true);
    answer("cancel");
    EXPECT_EQ(drive({"check", "authenticate", "deauthenticate"}),
              lines({"check 1", "authenticate 1", "deauthenticate", "authenticated-notifications 0",
                     "deauthenticated-notifications 1", "beeps 0"}));
}

} // namespace
