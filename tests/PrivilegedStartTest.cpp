#include "PrivilegedStart.h"
#include "BLAuthentication.h"
#include "RecordingAuthorization.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <csignal>

namespace {

QStringList numbered(int count)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << QStringLiteral("arg %1").arg(i);
    return list;
}

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

TEST_F(PrivilegedStartTest, ToolsGetTheirExactArgvAsRootInACleanDetachedStartInOrderAndFailuresBeep)
{
    // The first tool waits before it writes; without the runner's wait the second would win.
    RecordingTool tool(folder.path(), "slow-first"), second(folder.path(), "exit3");
    const QStringList arguments{"-interface", "en0", "two words", "", "-dynamic"};
    ASSERT_TRUE(auth->executeCommand(tool.path(), arguments));
    // A tool that ends non-zero within the wait is a failure: it beeps, and the next still runs.
    EXPECT_FALSE(auth->executeCommand(second.path(), {"add", "95"}));
    ASSERT_TRUE(auth->executeCommand(tool.path()));
    ASSERT_TRUE(auth->executeCommand(tool.path(), numbered(25)));
    EXPECT_EQ(RecordingTool::journal(folder.path()),
              QStringList({"slow-first " + arguments.join(' '), "exit3 add 95", "slow-first",
                           "slow-first " + numbered(19).join(' ')}));

    const auto starts = tool.starts();
    ASSERT_EQ(starts.size(), 3);
    EXPECT_EQ(starts[0].argv, QStringList{tool.path()} + arguments);
    EXPECT_EQ(starts[1].argv, QStringList{tool.path()});
    EXPECT_EQ(starts[2].argv, QStringList{tool.path()} + numbered(19));
    EXPECT_EQ(starts[0].uid, 0u);
    EXPECT_EQ(starts[0].cwd, "/");
    EXPECT_EQ(starts[0].sid, starts[0].pid) << "the tool leads a session of its own";
    EXPECT_EQ(starts[0].environment, QStringList{QString::fromLatin1(PrivilegedStart::kToolPath)});
    EXPECT_EQ(starts[0].stdinTarget, "/dev/null");
    EXPECT_EQ(starts[0].stdoutTarget, "/dev/null");
    EXPECT_EQ(starts[0].fds, QStringList({"0", "1", "2"}));
    EXPECT_EQ(second.starts().size(), 1);
    EXPECT_EQ(feedback.beeps(), 1);
}

TEST_F(PrivilegedStartTest, ToolsThatCannotStartBeepAndLogStatusThenPath)
{
    const QString missing = folder.path() + "/no-such-tool";
    EXPECT_FALSE(auth->executeCommand(missing, {"-f", "flush"}));
    EXPECT_EQ(
        feedback.log(),
        QStringList({QStringLiteral("Error %1 in AuthorizationExecuteWithPrivileges").arg(ENOENT),
                     "\nPath: " + missing}));
    RecordingTool tool(folder.path(), "plainfile");
    QFile::setPermissions(tool.path(), QFile::ReadOwner | QFile::WriteOwner);
    EXPECT_FALSE(auth->executeCommand(tool.path()));
    EXPECT_FALSE(auth->executeCommand("bin/true"));
    EXPECT_EQ(feedback.beeps(), 3);
    EXPECT_TRUE(tool.starts().isEmpty());
}

TEST_F(PrivilegedStartTest, DaemonReturnsPromptlyAndOutlivesTheCall)
{
    RecordingTool tool(folder.path(), "daemon");
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(auth->executeCommand(tool.path(), {"-interface", "en0"}));
    // Its parent ended at once, so the runner did not sit out its whole wait for the daemon.
    EXPECT_LT(timer.elapsed(), PrivilegedStart::kToolWaitMs);
    const pid_t daemon = pid_t(tool.waitForDaemonPid());
    ASSERT_GT(daemon, 0);
    EXPECT_EQ(::kill(daemon, SIGTERM), 0) << "the daemon still runs";
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
    ASSERT_TRUE(TestSupport::waitFor([&] { return !tool.starts().isEmpty(); }));
    const pid_t pid = pid_t(tool.starts().first().pid);
    EXPECT_EQ(::kill(pid, 0), 0);
    // Once it has ended, the next start collects it: no zombie is left behind.
    EXPECT_TRUE(TestSupport::waitFor([&] {
        PrivilegedStart::reapFinished();
        return !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
    }));
}

// Who the tools run for: sudo's or pkexec's word, never a mix of both.
struct Requester {
    const char *name, *sudoUid, *pkexecUid, *expected;
};

void PrintTo(const Requester &row, std::ostream *os)
{
    *os << row.name;
}

class RequestingUser : public ::testing::TestWithParam<Requester>
{
};

TEST_P(RequestingUser, ComesFromTheProgramThatStartedTheHelper)
{
    const char *user = PrivilegedStart::requestingUser(GetParam().sudoUid, GetParam().pkexecUid);
    EXPECT_STREQ(user ? user : "none", GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Launchers, RequestingUser,
                         ::testing::Values(Requester{"Sudo", "1000", nullptr, "1000"},
                                           Requester{"Pkexec", nullptr, "1001", "1001"},
                                           Requester{"EmptySudoBesidePkexec", "", "1001", "1001"},
                                           Requester{"Both", "1000", "1001", "none"},
                                           Requester{"Neither", nullptr, nullptr, "none"}),
                         [](const auto &row) { return std::string(row.param.name); });

} // namespace
