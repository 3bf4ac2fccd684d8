#include "RecordingAuthorization.h"
#include "HelperProtocol.h"
#include "LinuxAuthorization.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>

namespace {

std::string word(std::uint32_t value)
{
    return std::string(reinterpret_cast<char *>(&value), 4);
}

std::string body(const std::vector<std::string> &strings, std::uint32_t count)
{
    std::string out = word(count);
    for (const std::string &s : strings)
        out += word(std::uint32_t(s.size())) + s;
    return out;
}

std::vector<std::string> pathAnd(std::size_t arguments)
{
    std::vector<std::string> strings{"/sbin/ipfw"};
    strings.resize(arguments + 1, "x");
    return strings;
}

struct DecodeCase {
    const char *name;
    std::string body;
    bool accepted;
};

void PrintTo(const DecodeCase &row, std::ostream *os)
{
    *os << row.name;
}

class HelperDecode : public ::testing::TestWithParam<DecodeCase>
{
};

TEST_P(HelperDecode, AcceptsOnlyWellShapedRequests)
{
    EXPECT_EQ(HelperProtocol::decode(GetParam().body.data(), GetParam().body.size()).has_value(),
              GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, HelperDecode,
    ::testing::Values(DecodeCase{"pathOnly", body({"/sbin/ipfw"}, 1), true},
                      DecodeCase{"nineteenArguments", body(pathAnd(19), 20), true},
                      DecodeCase{"twentyArguments", body(pathAnd(20), 21), false},
                      DecodeCase{"noStrings", body({}, 0), false},
                      DecodeCase{"empty", std::string(), false},
                      DecodeCase{"relativePath", body({"sbin/ipfw"}, 1), false},
                      DecodeCase{"emptyPath", body({""}, 1), false},
                      DecodeCase{"countAboveStrings", body({"/sbin/ipfw"}, 2), false},
                      DecodeCase{"trailingBytes", body({"/sbin/ipfw"}, 1) + "x", false},
                      DecodeCase{"nulInside", body({std::string("/sbin/ipfw\0-f", 13)}, 1), false},
                      DecodeCase{"longestString", body({"/" + std::string(4095, 'a')}, 1), true},
                      DecodeCase{"stringTooLong", body({"/" + std::string(4096, 'a')}, 1), false},
                      DecodeCase{"sizeBeyondBody", word(1) + word(100) + "/sbin/ipfw", false},
                      DecodeCase{"hugeSize", word(1) + word(0xffffffffu) + "/", false}),
    [](const auto &row) { return std::string(row.param.name); });

TEST(HelperProtocol, EncodeRoundTripsAndRefusesWhatTheHelperWould)
{
    const HelperProtocol::Request request{"/usr/sbin/natd", {"-interface", "en0", "", "two words"}};
    const auto message = HelperProtocol::encode(request);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->substr(0, 4), word(std::uint32_t(message->size() - 4)));
    const auto decoded = HelperProtocol::decode(message->data() + 4, message->size() - 4);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->path, request.path);
    EXPECT_EQ(decoded->arguments, request.arguments);
    EXPECT_FALSE(HelperProtocol::encode({"natd", {}}));
    EXPECT_FALSE(HelperProtocol::encode({"/usr/sbin/natd", std::vector<std::string>(20, "x")}));
    EXPECT_FALSE(HelperProtocol::encode({"/usr/sbin/natd", {std::string("a\0b", 3)}}));
}

// The real helper as Velloran starts it: root's, its stdout (and with `pipe` its stdin) on a
// socket whose other end becomes `channel`. Its pid, or -1.
pid_t startHelper(bool pipe, int &channel)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipe)
        posix_spawn_file_actions_adddup2(&actions, pair[1], 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pair[1], 1);
    const QByteArray path = LinuxAuthorization::helperPath().toLocal8Bit();
    char *const argv[] = {const_cast<char *>(path.constData()), nullptr};
    pid_t helper = -1;
    if (posix_spawn(&helper, path.constData(), &actions, nullptr, argv, environ) != 0)
        helper = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pair[1]);
    channel = pair[0];
    return helper;
}

// The real helper, started as root with a socket pair (or /dev/null) for its stdin and stdout:
// what it answers to what is sent, and how it ends.
struct Exchange {
    const char *name;
    bool pipe;
    // "TOOL args" asks for the recording tool, which is none of Velloran's commands; else raw bytes
    std::vector<std::string> requests;
    std::string replies; // everything the helper sends back
    int exitStatus;
};

void PrintTo(const Exchange &row, std::ostream *os)
{
    *os << row.name;
}

class RootHelper : public ::testing::TestWithParam<Exchange>
{
};

TEST_P(RootHelper, AnswersAndEnds)
{
    VELLORAN_REQUIRE_ROOT();
    const Exchange &row = GetParam();
    QTemporaryDir folder;
    RecordingTool tool(folder.path(), "viahelper");
    int channel = -1;
    const pid_t helper = startHelper(row.pipe, channel);
    ASSERT_GT(helper, 0);
    for (std::string request : row.requests) {
        if (request.rfind("TOOL", 0) == 0) {
            const QStringList words = QString::fromStdString(request).split(' ').mid(1);
            std::vector<std::string> arguments;
            for (const QString &argument : words)
                arguments.push_back(argument.toStdString());
            request = *HelperProtocol::encode({tool.path().toStdString(), arguments});
        }
        ::send(channel, request.data(), request.size(), MSG_NOSIGNAL);
    }
    shutdown(channel, SHUT_WR);
    std::string got;
    char buffer[64];
    for (pollfd ready{channel, POLLIN, 0}; poll(&ready, 1, 30000) > 0;) {
        const ssize_t n = recv(channel, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        got.append(buffer, std::size_t(n));
    }
    close(channel);
    int status = 0;
    ASSERT_EQ(waitpid(helper, &status, 0), helper);
    EXPECT_EQ(got, row.replies);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, row.exitStatus);
    EXPECT_TRUE(tool.starts().isEmpty()) << "the helper runs only Velloran's own commands";
}

const std::string kGreeting(HelperProtocol::kGreeting, 4);
const std::string kBad =
    word(std::uint32_t(body({"relative/tool"}, 1).size())) + body({"relative/tool"}, 1);
INSTANTIATE_TEST_SUITE_P(
    Exchanges, RootHelper,
    ::testing::Values(Exchange{"RefusesOtherProgramsUntilThePipeCloses",
                               true,
                               {"TOOL -f flush",
                                *HelperProtocol::encode({"/nonexistent/tool", {}})},
                               kGreeting + word(EPERM) + word(EPERM),
                               0},
                      Exchange{"RefusesAMisshapenRequestAndAnswersTheNext",
                               true,
                               {kBad, "TOOL -f flush"},
                               kGreeting + word(EINVAL) + word(EPERM),
                               0},
                      Exchange{"EndsOnAnOversizedMessageWithoutReply",
                               true,
                               {word(std::uint32_t(HelperProtocol::kMaxBodySize + 1))},
                               kGreeting,
                               1},
                      Exchange{"RefusesAnythingButAPipe", false, {}, "", 1}),
    [](const auto &row) { return std::string(row.param.name); });

// One helper kept for a whole case, asked one request at a time.
class RealHelper : public ::testing::Test
{
protected:
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        ASSERT_GT(helper = startHelper(true, channel), 0);
        char greeting[4];
        ASSERT_EQ(recv(channel, greeting, 4, MSG_WAITALL), 4);
    }
    void TearDown() override
    {
        close(channel);
        if (helper > 0)
            waitpid(helper, nullptr, 0);
    }
    std::int32_t ask(const std::string &path, const std::vector<std::string> &arguments)
    {
        const std::string message = *HelperProtocol::encode({path, arguments});
        std::int32_t status = -1;
        ::send(channel, message.data(), message.size(), MSG_NOSIGNAL);
        recv(channel, &status, sizeof status, MSG_WAITALL);
        return status;
    }
    // A process shows its new command line a moment after the spawn returns.
    static bool showsAsNatd(qint64 pid)
    {
        return TestSupport::waitFor([pid] {
            return TestSupport::readAll(QStringLiteral("/proc/%1/cmdline").arg(pid))
                .startsWith("/usr/sbin/natd");
        });
    }
    pid_t helper = -1;
    int channel = -1;
};

TEST_F(RealHelper, RefusesAShellAndOthersProcessesAndStopsRootsNatd)
{
    QTemporaryDir folder;
    EXPECT_EQ(ask("/bin/sh", {"-c", "touch " + folder.filePath("ran").toStdString()}), EPERM);
    EXPECT_FALSE(QFileInfo::exists(folder.filePath("ran"))) << "the shell ran";

    // Another user's process named as natd by `exec -a`: never root's to stop.
    QProcess impostor;
    impostor.start("/usr/bin/setpriv",
                   {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/bash", "-c",
                    "exec -a /usr/sbin/natd \"$0\" x", VELLORAN_TEST_IDLE});
    ASSERT_TRUE(impostor.waitForStarted() && showsAsNatd(impostor.processId()));
    EXPECT_EQ(ask("/bin/kill", {std::to_string(impostor.processId())}), EPERM);
    EXPECT_TRUE(TestSupport::processAlive(pid_t(impostor.processId())));
    impostor.kill();
    impostor.waitForFinished();

    FakeProcess natd({"/usr/sbin/natd", "-interface", "eth0"});
    ASSERT_TRUE(showsAsNatd(natd.pid));
    EXPECT_EQ(ask("/bin/kill", {std::to_string(natd.pid)}), 0);
    EXPECT_TRUE(TestSupport::waitFor([&] { return !TestSupport::processAlive(natd.pid); }));
}

// A process of the same user (root without CAP_SYS_PTRACE here) can't copy the helper's pipe
// out of it with pidfd_getfd, though it can from an ordinary process of that user.
TEST_F(RealHelper, SameUserCannotCopyTheChannelOut)
{
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

// The password dialog, answered through its fields and buttons from a file only its user reads.
struct Answer {
    const char *name;
    QByteArray answer;
    QFile::Permissions permissions;
    int exitCode; // -1: still waiting for a person
    QByteArray printed;
};

void PrintTo(const Answer &row, std::ostream *os)
{
    *os << row.name;
}

class Askpass : public ::testing::TestWithParam<Answer>
{
};

TEST_P(Askpass, PrintsThePasswordOnlyWhenAccepted)
{
    const Answer &row = GetParam();
    QTemporaryDir folder;
    TestSupport::writeFile(folder.filePath("answer"), "velloran-askpass-test\n" + row.answer);
    QFile::setPermissions(folder.filePath("answer"), row.permissions);
    QProcess askpass;
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("VELLORAN_ASKPASS_TEST_ANSWER", folder.filePath("answer"));
    askpass.setProcessEnvironment(environment);
    askpass.start(LinuxAuthorization::askpassPath(), {"Password for someone: "});
    const bool finished = askpass.waitForFinished(row.exitCode < 0 ? 1000 : 30000);
    EXPECT_EQ(finished ? askpass.exitCode() : -1, row.exitCode);
    askpass.kill();
    askpass.waitForFinished();
    EXPECT_EQ(askpass.readAllStandardOutput(), row.printed);
}

const QFile::Permissions kOwn = QFile::ReadOwner | QFile::WriteOwner;
INSTANTIATE_TEST_SUITE_P(Answers, Askpass,
                         ::testing::Values(Answer{"accepted", "accept s3cret pass\n", kOwn, 0,
                                                  "s3cret pass\n"},
                                           Answer{"acceptedEmpty", "accept \n", kOwn, 0, "\n"},
                                           Answer{"cancelled", "cancel\n", kOwn, 1, ""},
                                           Answer{"fileOthersCanReadIsIgnored", "accept leaked\n",
                                                  kOwn | QFile::ReadOther, -1, ""}),
                         [](const auto &row) { return std::string(row.param.name); });

} // namespace
