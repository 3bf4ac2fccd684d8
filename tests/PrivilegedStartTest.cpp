#include "PrivilegedStart.h"
#include "BLAuthentication.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <csignal>

namespace {

// The real privileged start: the tests run as root, so the Linux service starts tools itself,
// exactly as its helper does for an ordinary user.
class PrivilegedStartTest : public ::testing::Test
{
protected:
    void SetUp() override { VELLORAN_REQUIRE_ROOT(); }
    BLAuthentication *auth = BLAuthentication::sharedInstance();
    QTemporaryDir folder;
    CapturedFeedback feedback;
};

TEST_F(PrivilegedStartTest, ToolsGetTheirExactArgvAsRootInACleanDetachedStartAndFailuresSayWhy)
{
    // The first tool waits before it writes; without the runner's wait the second would win.
    RecordingTool tool(folder.path(), "slow-first"), failing(folder.path(), "exit3"),
        plain(folder.path(), "plainfile");
    QFile::setPermissions(plain.path(), QFile::ReadOwner | QFile::WriteOwner);
    const QString missing = folder.path() + "/no-such-tool";
    const QStringList arguments{"-interface", "en0", "two words", "", "-dynamic"};
    EXPECT_TRUE(auth->executeCommand(tool.path(), arguments));
    EXPECT_FALSE(auth->executeCommand(failing.path(), {"add", "95"})); // ends non-zero at once
    EXPECT_TRUE(auth->executeCommand(tool.path()));
    EXPECT_FALSE(auth->executeCommand(missing, {"-f", "flush"}));
    EXPECT_FALSE(auth->executeCommand(plain.path()));
    EXPECT_FALSE(auth->executeCommand("bin/true"));
    EXPECT_EQ(RecordingTool::journal(folder.path()),
              QStringList({"slow-first " + arguments.join(' '), "exit3 add 95", "slow-first"}));
    QStringList said; // each failure beeps, then logs its status and the tool's path
    for (const auto &[code, path] : {std::pair{PrivilegedStart::kToolFailed, failing.path()},
                                     {ENOENT, missing},
                                     {EACCES, plain.path()},
                                     {EINVAL, QString("bin/true")}})
        said << "beep"
             << QStringLiteral("log Error %1 in AuthorizationExecuteWithPrivileges").arg(code)
             << "log \nPath: " + path;
    EXPECT_EQ(feedback.events, said);

    const auto starts = tool.starts();
    ASSERT_EQ(starts.size(), 2);
    EXPECT_EQ(starts[0].argv, QStringList{tool.path()} + arguments);
    EXPECT_EQ(starts[1].argv, QStringList{tool.path()});
    const RecordingTool::Start &start = starts[0];
    EXPECT_EQ(QStringList({QString::number(start.uid), start.cwd, start.stdinTarget,
                           start.stdoutTarget, start.fds.join(',')}),
              QStringList({"0", "/", "/dev/null", "/dev/null", "0,1,2"}));
    EXPECT_EQ(start.sid, start.pid) << "the tool leads a session of its own";
    EXPECT_EQ(start.environment, QStringList{QString::fromLatin1(PrivilegedStart::kToolPath)});
}

TEST_F(PrivilegedStartTest, DaemonsAndSlowToolsCountAsStartedAndAreCollectedLater)
{
    RecordingTool daemon(folder.path(), "daemon"), linger(folder.path(), "linger");
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(auth->executeCommand(daemon.path(), {"-interface", "en0"}));
    // Its parent ended at once, so the runner did not sit out its whole wait for the daemon.
    EXPECT_LT(timer.elapsed(), PrivilegedStart::kToolWaitMs);
    const pid_t background = pid_t(daemon.waitForDaemonPid());
    ASSERT_GT(background, 0);
    EXPECT_EQ(::kill(background, SIGTERM), 0) << "the daemon still runs";

    const QByteArray path = linger.path().toLocal8Bit();
    char *const argv[] = {const_cast<char *>(path.constData()), nullptr};
    timer.restart();
    EXPECT_EQ(PrivilegedStart::start(path.constData(), argv, "/nonexistent", 50), 0);
    EXPECT_LT(timer.elapsed(), 2000) << "returned before the tool ended";
    ASSERT_TRUE(TestSupport::waitFor([&] { return !linger.starts().isEmpty(); }));
    const pid_t pid = pid_t(linger.starts().first().pid);
    EXPECT_EQ(::kill(pid, 0), 0);
    // Once it has ended, the next start collects it: no zombie is left behind.
    EXPECT_TRUE(TestSupport::waitFor([&] {
        PrivilegedStart::reapFinished();
        return !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
    }));
}

// Who the tools run for: sudo's or pkexec's word, never a mix of both.
TEST(RequestingUser, ComesFromTheProgramThatStartedTheHelper)
{
    const struct {
        const char *sudo, *pkexec, *expected;
    } rows[] = {{"1000", nullptr, "1000"},
                {nullptr, "1001", "1001"},
                {"", "1001", "1001"},
                {"1000", "1001", nullptr},
                {nullptr, nullptr, nullptr}};
    for (const auto &row : rows) {
        const char *user = PrivilegedStart::requestingUser(row.sudo, row.pkexec);
        EXPECT_STREQ(user, row.expected)
            << (row.sudo ? row.sudo : "-") << ' ' << (row.pkexec ? row.pkexec : "-");
    }
}

} // namespace
