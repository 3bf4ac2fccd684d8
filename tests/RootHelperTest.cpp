// The real root helper, started as root as Velloran starts it, and the password dialog.
#include "HelperProtocol.h"
#include "LinuxAuthorization.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"

#include <QFileInfo>
#include <QProcess>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>

namespace {

using Strings = std::vector<std::string>;

std::string word(std::size_t value)
{
    const auto bytes = std::uint32_t(value);
    return std::string(reinterpret_cast<const char *>(&bytes), 4);
}

// A message by hand: its length, how many strings, then each string with its length.
std::string framed(const Strings &strings, std::size_t count)
{
    std::string body = word(count);
    for (const std::string &s : strings)
        body += word(s.size()) + s;
    return word(body.size()) + body;
}

// The helper as Velloran starts it, root's, with `messages` on its stdin (or /dev/null there):
// all it said, then its exit status.
std::string converse(const Strings &messages, bool pipe = true)
{
    QProcess helper;
    if (!pipe)
        helper.setStandardInputFile(QProcess::nullDevice());
    helper.start(LinuxAuthorization::helperPath());
    for (const std::string &message : messages)
        helper.write(message.data(), qint64(message.size()));
    helper.closeWriteChannel();
    EXPECT_TRUE(helper.waitForFinished(30000));
    return helper.readAllStandardOutput().toStdString() + " exit " +
           std::to_string(helper.exitCode());
}

TEST(RootHelper, RunsOnlyVelloransCommandsAnswersEachAndEndsWithThePipe)
{
    VELLORAN_REQUIRE_ROOT();
    QTemporaryDir folder;
    RecordingTool tool(folder.path(), "viahelper");
    // Another user's process named as natd by `exec -a` is never root's to stop; root's natd is.
    QProcess impostor;
    impostor.start("/usr/bin/setpriv",
                   {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/bash", "-c",
                    "exec -a /usr/sbin/natd \"$0\" x", VELLORAN_TEST_IDLE});
    FakeProcess natd({"/usr/sbin/natd", "-interface", "eth0"});
    const auto showsAsNatd = [](qint64 pid) {
        return TestSupport::readAll(QStringLiteral("/proc/%1/cmdline").arg(pid))
            .startsWith("/usr/sbin/natd");
    };
    ASSERT_TRUE(TestSupport::waitFor(
        [&] { return showsAsNatd(impostor.processId()) && showsAsNatd(natd.pid); }));
    Strings twenty(21, "x"), longest{"/" + std::string(4095, 'a')};
    twenty[0] = "/sbin/ipfw";
    const Strings nineteen(twenty.begin(), twenty.end() - 1);
    // Each message and the helper's answer: refused (EPERM), misshapen (EINVAL) or run (0).
    const std::pair<std::string, int> exchange[] = {
        {framed({tool.path().toStdString(), "-f", "flush"}, 3), EPERM},
        {framed({"/bin/sh", "-c", "touch " + folder.filePath("ran").toStdString()}, 3), EPERM},
        {framed({"relative/tool"}, 1), EINVAL},
        {framed({""}, 1), EINVAL},
        {framed({}, 0), EINVAL},
        {word(0), EINVAL},
        {framed(nineteen, 20), EPERM},
        {framed(twenty, 21), EINVAL},
        {framed({"/sbin/ipfw"}, 2), EINVAL},
        {framed({std::string("/sbin/ipfw\0-f", 13)}, 1), EINVAL},
        {framed(longest, 1), EPERM},
        {framed({longest[0] + "a"}, 1), EINVAL},
        {word(12) + word(1) + word(100) + "/bin", EINVAL},
        {word(9) + word(1) + word(0xffffffffu) + "/", EINVAL},
        {framed({"/bin/kill", std::to_string(impostor.processId())}, 2), EPERM},
        {framed({"/bin/kill", std::to_string(natd.pid)}, 2), 0}};
    Strings messages;
    std::string replies(HelperProtocol::kGreeting, 4);
    for (const auto &[sent, reply] : exchange) {
        messages.push_back(sent);
        replies += word(std::size_t(reply));
    }
    // Velloran's own messages are framed just so, blanks and empty words too.
    EXPECT_EQ(*HelperProtocol::encode({"/bin/kill", {"", "two words"}}),
              framed({"/bin/kill", "", "two words"}, 3));
    EXPECT_EQ(converse(messages), replies + " exit 0");
    EXPECT_TRUE(tool.starts().isEmpty() && !QFileInfo::exists(folder.filePath("ran")));
    EXPECT_TRUE(TestSupport::processAlive(pid_t(impostor.processId())));
    EXPECT_TRUE(TestSupport::waitFor([&] { return !TestSupport::processAlive(natd.pid); }));
    impostor.kill();
    impostor.waitForFinished();
    // An oversized message leaves no way to find the next one; a terminal or file is no caller.
    EXPECT_EQ(converse({word(HelperProtocol::kMaxBodySize + 1)}),
              std::string(HelperProtocol::kGreeting, 4) + " exit 1");
    EXPECT_EQ(converse({}, false), " exit 1");
}

// A process of the same user (root without CAP_SYS_PTRACE here) can't copy the helper's pipe
// out of it with pidfd_getfd, though it can from an ordinary process of that user.
TEST(RootHelper, SameUserCannotCopyTheChannelOut)
{
    VELLORAN_REQUIRE_ROOT();
    QProcess running;
    running.start(LinuxAuthorization::helperPath());
    ASSERT_TRUE(running.waitForReadyRead(30000)); // its greeting: the helper is set up
    const pid_t helper = pid_t(running.processId());
    FakeProcess ordinary({"idle"});
    const pid_t getter = fork();
    if (getter == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2]{};
        syscall(SYS_capget, &header, caps);
        caps[0].effective &= ~(1u << CAP_SYS_PTRACE);
        syscall(SYS_capset, &header, caps);
        const long fromHelper = syscall(SYS_pidfd_getfd, syscall(SYS_pidfd_open, helper, 0), 0, 0);
        const int helperError = errno;
        const long fromOrdinary =
            syscall(SYS_pidfd_getfd, syscall(SYS_pidfd_open, ordinary.pid, 0), 0, 0);
        _exit((fromHelper < 0 && helperError == EPERM ? 1 : 0) | (fromOrdinary >= 0 ? 2 : 0));
    }
    int status = 0;
    ASSERT_EQ(waitpid(getter, &status, 0), getter);
    EXPECT_EQ(WEXITSTATUS(status), 3) << "1: the helper refused; 2: the ordinary process gave";
}

// The password dialog, answered through its fields and buttons from a file only its user reads:
// it prints the password only when accepted.
TEST(Askpass, PrintsThePasswordOnlyWhenAccepted)
{
    const QFile::Permissions own = QFile::ReadOwner | QFile::WriteOwner;
    const struct {
        QByteArray answer;
        QFile::Permissions permissions;
        QString outcome; // exit status (or "waits" for a person) and what it printed
    } rows[] = {{"accept s3cret pass", own, "0 s3cret pass\n"},
                {"cancel", own, "1 "},
                {"accept leaked", own | QFile::ReadOther, "waits "}};
    for (const auto &row : rows) {
        QTemporaryDir folder;
        TestSupport::answerAskpass(folder.path(), row.answer, getuid(), getgid());
        QFile::setPermissions(folder.filePath("answer"), row.permissions);
        QProcess askpass;
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("VELLORAN_ASKPASS_TEST_ANSWER", folder.filePath("answer"));
        askpass.setProcessEnvironment(environment);
        askpass.start(LinuxAuthorization::askpassPath(), {"Password for someone: "});
        const bool ended = askpass.waitForFinished(row.outcome.startsWith("waits") ? 1000 : 30000);
        askpass.kill();
        askpass.waitForFinished();
        EXPECT_EQ((ended ? QString::number(askpass.exitCode()) : "waits") + ' ' +
                      askpass.readAllStandardOutput(),
                  row.outcome);
    }
}

} // namespace
