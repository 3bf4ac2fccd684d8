#include "PrivilegedStart.h"
#include "BLAuthentication.h"
#include "RecordingAuthorization.h"
#include "RecordingTool.h"
#include "TestSupport.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>

namespace {

// The real privileged start: Velloran runs as root here, so the Linux service starts tools
// itself, exactly as its helper does for an ordinary user.
class PrivilegedStartTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        ASSERT_TRUE(folder.isValid());
    }

    BLAuthentication *auth = BLAuthentication::sharedInstance();
    QTemporaryDir folder;
    CapturedFeedback feedback;
};

QStringList numbered(int count)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << QStringLiteral("arg %1").arg(i);
    return list;
}

TEST_F(PrivilegedStartTest, ToolGetsExactArgvAsRootInACleanDetachedStart)
{
    RecordingTool tool(folder.path(), "recorder");
    const QStringList arguments{"-interface", "en0", "two words", "", "-dynamic"};
    ASSERT_TRUE(auth->executeCommand(tool.path(), arguments));

    const auto starts = tool.starts();
    ASSERT_EQ(starts.size(), 1);
    const RecordingTool::Start &start = starts.first();
    EXPECT_EQ(start.argv, QStringList{tool.path()} + arguments);
    EXPECT_EQ(start.uid, 0u);
    EXPECT_EQ(start.cwd, "/");
    EXPECT_EQ(start.sid, start.pid) << "the tool leads a session of its own";
    EXPECT_EQ(start.environment, QStringList{QString::fromLatin1(PrivilegedStart::kToolPath)});
    EXPECT_EQ(start.stdinTarget, "/dev/null");
    EXPECT_EQ(start.stdoutTarget, "/dev/null");
    EXPECT_EQ(start.fds, QStringList({"0", "1", "2"}));
    EXPECT_TRUE(feedback.log().isEmpty());
}

TEST_F(PrivilegedStartTest, ArgumentCountsReachingTheTool)
{
    RecordingTool tool(folder.path(), "counter");
    ASSERT_TRUE(auth->executeCommand(tool.path()));
    ASSERT_TRUE(auth->executeCommand(tool.path(), {}));
    ASSERT_TRUE(auth->executeCommand(tool.path(), numbered(25)));
    const auto starts = tool.starts();
    ASSERT_EQ(starts.size(), 3);
    EXPECT_EQ(starts[0].argv, QStringList{tool.path()});
    EXPECT_EQ(starts[1].argv, QStringList{tool.path()});
    EXPECT_EQ(starts[2].argv, QStringList{tool.path()} + numbered(19));
}

TEST_F(PrivilegedStartTest, MissingToolBeepsAndLogsStatusThenPath)
{
    const QString missing = folder.path() + "/no-such-tool";
    EXPECT_FALSE(auth->executeCommand(missing, {"-f", "flush"}));
    EXPECT_EQ(feedback.beeps(), 1);
    EXPECT_EQ(
        feedback.log(),
        QStringList({QStringLiteral("Error %1 in AuthorizationExecuteWithPrivileges").arg(ENOENT),
                     "\nPath: " + missing}));
}

TEST_F(PrivilegedStartTest, NonExecutableAndRelativePathsFailToStart)
{
    RecordingTool tool(folder.path(), "plainfile");
    QFile::setPermissions(tool.path(), QFile::ReadOwner | QFile::WriteOwner);
    EXPECT_FALSE(auth->executeCommand(tool.path()));
    EXPECT_FALSE(auth->executeCommand("bin/true"));
    EXPECT_EQ(feedback.beeps(), 2);
    EXPECT_TRUE(tool.starts().isEmpty());
}

TEST_F(PrivilegedStartTest, ToolThatFailsWithinTheWaitIsAFailure)
{
    RecordingTool tool(folder.path(), "exit3");
    EXPECT_FALSE(auth->executeCommand(tool.path(), {"-f", "flush"}));
    EXPECT_EQ(tool.starts().size(), 1);
    EXPECT_EQ(feedback.beeps(), 1);
}

TEST_F(PrivilegedStartTest, CommandsTakeEffectInTheOrderIssued)
{
    // The first tool waits before it writes; without the runner's wait the second would win.
    RecordingTool first(folder.path(), "slow-first");
    RecordingTool second(folder.path(), "second");
    ASSERT_TRUE(auth->executeCommand(first.path(), {"-f", "flush"}));
    ASSERT_TRUE(auth->executeCommand(second.path(), {"add", "95"}));
    EXPECT_EQ(RecordingTool::journal(folder.path()),
              QStringList({"slow-first -f flush", "second add 95"}));
}

TEST_F(PrivilegedStartTest, DaemonReturnsPromptlyAndOutlivesTheCall)
{
    RecordingTool tool(folder.path(), "daemon");
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(auth->executeCommand(tool.path(), {"-interface", "en0"}));
    // Its parent ended at once, so the runner did not sit out its whole wait for the daemon.
    EXPECT_LT(timer.elapsed(), PrivilegedStart::kToolWaitMs);
    const qint64 daemon = tool.waitForDaemonPid();
    ASSERT_GT(daemon, 0);
    EXPECT_EQ(::kill(static_cast<pid_t>(daemon), 0), 0) << "the daemon still runs";
    ::kill(static_cast<pid_t>(daemon), SIGTERM);
}

TEST_F(PrivilegedStartTest, ToolOutlastingTheWaitIsAStartAndIsCollectedLater)
{
    RecordingTool tool(folder.path(), "linger");
    const QByteArray path = tool.path().toLocal8Bit();
    char *const argv[] = {const_cast<char *>(path.constData()), nullptr};
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(PrivilegedStart::start(path.constData(), argv, "/nonexistent", 50), 0);
    EXPECT_LT(timer.elapsed(), 2000) << "returned before the tool ended";
    // The tool writes its record once it runs, which a slow build may not reach within 50 ms.
    QDeadlineTimer started(20000);
    while (!started.hasExpired() && tool.starts().isEmpty())
        QThread::msleep(20);
    const auto starts = tool.starts();
    ASSERT_EQ(starts.size(), 1);
    const pid_t pid = static_cast<pid_t>(starts.first().pid);
    EXPECT_EQ(::kill(pid, 0), 0);
    // Once it has ended, the next start collects it: no zombie is left behind.
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired() && QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid))) {
        PrivilegedStart::reapFinished();
        QThread::msleep(20);
    }
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)));
}

// Who the tools run for: sudo's or pkexec's word, never a mix of both.
struct Requester {
    const char *name;
    const char *sudoUid;
    const char *pkexecUid;
    const char *expected;
};

class RequestingUser : public ::testing::TestWithParam<Requester>
{
};

TEST_P(RequestingUser, ComesFromTheProgramThatStartedTheHelper)
{
    const Requester &row = GetParam();
    const char *user = PrivilegedStart::requestingUser(row.sudoUid, row.pkexecUid);
    EXPECT_EQ(user ? std::string(user) : std::string("none"), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Launchers, RequestingUser,
                         ::testing::Values(Requester{"Sudo", "1000", nullptr, "1000"},
                                           Requester{"Pkexec", nullptr, "1001", "1001"},
                                           Requester{"EmptySudoBesidePkexec", "", "1001", "1001"},
                                           Requester{"Both", "1000", "1001", "none"},
                                           Requester{"Neither", nullptr, nullptr, "none"}),
                         [](const auto &row) { return std::string(row.param.name); });

} // namespace
