#include "HelperProtocol.h"
#include "LinuxAuthorization.h"
#include "RecordingTool.h"
#include "TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

namespace {

using HelperProtocol::Request;

std::string word(std::uint32_t value)
{
    return std::string(reinterpret_cast<char *>(&value), 4);
}

std::string body(const std::vector<std::string> &strings, std::uint32_t count)
{
    std::string out = word(count);
    for (const std::string &s : strings)
        out += word(static_cast<std::uint32_t>(s.size())) + s;
    return out;
}

struct DecodeCase {
    const char *name;
    std::string body;
    bool accepted;
};

void PrintTo(const DecodeCase &row, std::ostream *out)
{
    *out << row.name;
}

class HelperDecodeTest : public ::testing::TestWithParam<DecodeCase>
{
};

TEST_P(HelperDecodeTest, AcceptsOnlyWellShapedRequests)
{
    const DecodeCase &c = GetParam();
    EXPECT_EQ(HelperProtocol::decode(c.body.data(), c.body.size()).has_value(), c.accepted);
}

std::vector<std::string> pathAnd(std::size_t arguments)
{
    std::vector<std::string> strings{"/sbin/ipfw"};
    strings.resize(arguments + 1, "x");
    return strings;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, HelperDecodeTest,
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

TEST(HelperProtocolTest, EncodeRoundTripsAndRefusesWhatTheHelperWould)
{
    const Request request{"/usr/sbin/natd", {"-interface", "en0", "", "two words"}};
    const auto message = HelperProtocol::encode(request);
    ASSERT_TRUE(message);
    std::uint32_t length = 0;
    std::memcpy(&length, message->data(), 4);
    ASSERT_EQ(length, message->size() - 4);
    const auto decoded = HelperProtocol::decode(message->data() + 4, length);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->path, request.path);
    EXPECT_EQ(decoded->arguments, request.arguments);

    EXPECT_FALSE(HelperProtocol::encode({"natd", {}}));
    EXPECT_FALSE(HelperProtocol::encode({"/usr/sbin/natd", std::vector<std::string>(20, "x")}));
    EXPECT_FALSE(HelperProtocol::encode({"/usr/sbin/natd", {std::string("a\0b", 3)}}));
}

// The real helper, started directly as root with a socket pair for its stdin and stdout.
class RootHelperTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        ASSERT_TRUE(folder.isValid());
    }
    void TearDown() override
    {
        if (channel >= 0)
            close(channel);
        if (helper > 0)
            waitpid(helper, nullptr, 0);
    }

    void startHelper(bool withPipe = true)
    {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (withPipe)
            posix_spawn_file_actions_adddup2(&actions, pair[1], 0);
        else
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, pair[1], 1);
        const QByteArray path = LinuxAuthorization::helperPath().toLocal8Bit();
        char *const argv[] = {const_cast<char *>(path.constData()), nullptr};
        ASSERT_EQ(posix_spawn(&helper, path.constData(), &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(pair[1]);
        channel = pair[0];
    }

    // Bytes the helper sent within a generous time, or fewer when it closed the pipe.
    std::string receive(std::size_t size)
    {
        std::string got;
        while (got.size() < size) {
            struct pollfd ready = {channel, POLLIN, 0};
            if (poll(&ready, 1, 30000) <= 0)
                break;
            char buffer[64];
            const ssize_t n = recv(channel, buffer, std::min(sizeof buffer, size - got.size()), 0);
            if (n <= 0)
                break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

    void send(const std::string &bytes)
    {
        ASSERT_EQ(::send(channel, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

    std::int32_t reply()
    {
        const std::string got = receive(4);
        std::int32_t status = -1;
        if (got.size() == 4)
            std::memcpy(&status, got.data(), 4);
        return status;
    }

    int helperExitStatus()
    {
        int status = 0;
        EXPECT_EQ(waitpid(helper, &status, 0), helper);
        helper = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    QTemporaryDir folder;
    pid_t helper = -1;
    int channel = -1;
};

TEST_F(RootHelperTest, GreetsRefusesOtherProgramsAndExitsWhenThePipeCloses)
{
    RecordingTool tool(folder.path(), "viahelper");
    startHelper();
    EXPECT_EQ(receive(4), std::string(HelperProtocol::kGreeting, 4));

    send(*HelperProtocol::encode({tool.path().toStdString(), {"-f", "flush"}}));
    EXPECT_EQ(reply(), EPERM);
    send(*HelperProtocol::encode({(folder.path() + "/missing").toStdString(), {}}));
    EXPECT_EQ(reply(), EPERM);
    EXPECT_TRUE(tool.starts().isEmpty());

    close(channel);
    channel = -1;
    EXPECT_EQ(helperExitStatus(), 0);
}

TEST_F(RootHelperTest, MisshapenRequestIsRefusedAndTheNextOneServed)
{
    RecordingTool tool(folder.path(), "afterbad");
    startHelper();
    ASSERT_EQ(receive(4).size(), 4u);
    const std::string bad = body({"relative/tool"}, 1);
    send(word(static_cast<std::uint32_t>(bad.size())) + bad);
    EXPECT_EQ(reply(), EINVAL);
    send(*HelperProtocol::encode({tool.path().toStdString(), {}}));
    EXPECT_EQ(reply(), EPERM) << "answered, and refused: not one of Velloran's commands";
    EXPECT_TRUE(tool.starts().isEmpty());
}

TEST_F(RootHelperTest, OversizedOrTornMessageEndsTheHelper)
{
    startHelper();
    ASSERT_EQ(receive(4).size(), 4u);
    send(word(static_cast<std::uint32_t>(HelperProtocol::kMaxBodySize + 1)));
    EXPECT_EQ(receive(4), std::string()) << "no reply, the pipe just closes";
    EXPECT_EQ(helperExitStatus(), 1);
}

TEST_F(RootHelperTest, RefusesAnythingButAPipeForRequests)
{
    startHelper(false);
    EXPECT_EQ(receive(4), std::string());
    EXPECT_EQ(helperExitStatus(), 1);
}

// The password dialog, answered by the suite through its fields and buttons.
class AskpassTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(folder.isValid()); }

    QString answerFile(const QByteArray &text, QFile::Permissions permissions)
    {
        const QString path = folder.path() + "/answer";
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
        file.close();
        file.setPermissions(permissions);
        return path;
    }

    QTemporaryDir folder;
    QProcess askpass;
};

struct AskpassCase {
    const char *name;
    QByteArray answer;
    int exitCode;
    QByteArray printed;
};

void PrintTo(const AskpassCase &row, std::ostream *out)
{
    *out << row.name;
}

class AskpassAnswerTest : public AskpassTest, public ::testing::WithParamInterface<AskpassCase>
{
};

TEST_P(AskpassAnswerTest, PrintsThePasswordOnlyWhenAccepted)
{
    const AskpassCase &c = GetParam();
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("VELLORAN_ASKPASS_TEST_ANSWER",
                       answerFile(c.answer, QFile::ReadOwner | QFile::WriteOwner));
    askpass.setProcessEnvironment(environment);
    askpass.start(LinuxAuthorization::askpassPath(), {"Password for someone: "});
    ASSERT_TRUE(askpass.waitForFinished(30000));
    EXPECT_EQ(askpass.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(askpass.exitCode(), c.exitCode);
    EXPECT_EQ(askpass.readAllStandardOutput(), c.printed);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AskpassAnswerTest,
    ::testing::Values(AskpassCase{"accepted", "velloran-askpass-test\naccept s3cret pass\n", 0,
                                  "s3cret pass\n"},
                      AskpassCase{"acceptedEmpty", "velloran-askpass-test\naccept \n", 0, "\n"},
                      AskpassCase{"cancelled", "velloran-askpass-test\ncancel\n", 1, ""}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(AskpassTest, AnswerFileOthersCanReadIsIgnored)
{
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("VELLORAN_ASKPASS_TEST_ANSWER",
                       answerFile("velloran-askpass-test\naccept leaked\n",
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    askpass.setProcessEnvironment(environment);
    askpass.start(LinuxAuthorization::askpassPath(), {"Password:"});
    ASSERT_TRUE(askpass.waitForStarted());
    // The dialog waits for a person instead.
    EXPECT_FALSE(askpass.waitForFinished(1000));
    askpass.kill();
    askpass.waitForFinished();
    EXPECT_EQ(askpass.readAllStandardOutput(), QByteArray());
}

} // namespace
