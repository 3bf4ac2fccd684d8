#include "NATSetter.h"
#include "BLAuthentication.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"

#include <QProcess>
#include <QThread>
#include <functional>
#include <gtest/gtest.h>

namespace {

using Answer = RecordingAuthorization::Answer;

class NATSetterTest : public ::testing::Test
{
protected:
    NATSetter setter;
    ScopedRecordingAuthorization service;
    CapturedFeedback feedback;
};

struct CommandCase {
    const char *name;
    std::function<bool(NATSetter &)> operation;
    bool answer;
    QStringList commandLines;
};

void PrintTo(const CommandCase &row, std::ostream *out)
{
    *out << row.name;
}

class NATSetterCommandTest : public NATSetterTest, public ::testing::WithParamInterface<CommandCase>
{
};

TEST_P(NATSetterCommandTest, RunsExactlyTheseTools)
{
    const CommandCase &c = GetParam();
    EXPECT_EQ(c.operation(setter), c.answer);
    EXPECT_EQ(service->commandLines(), c.commandLines);
}

const QStringList kIpfwRules{"/sbin/ipfw -f flush",
                             "/sbin/ipfw add 95 divert natd all from any to any via en0",
                             "/sbin/ipfw add 65530 pass all from any to any"};

INSTANTIATE_TEST_SUITE_P(
    Operations, NATSetterCommandTest,
    ::testing::Values(
        CommandCase{"sysctl",
                    [](NATSetter &s) { return s.sysctl(); },
                    true,
                    {"/usr/sbin/sysctl -w net.inet.ip.forwarding=1"}},
        CommandCase{"ifconfig",
                    [](NATSetter &s) {
                        return s.ifconfig({"en1", "10.0.1.1", "netmask", "255.255.255.0", "alias"});
                    },
                    true,
                    {"/sbin/ifconfig en1 10.0.1.1 netmask 255.255.255.0 alias"}},
        CommandCase{"natd",
                    [](NATSetter &s) {
                        return s.natd({"-interface", "en0", "-dynamic", "-use_sockets"});
                    },
                    true,
                    {"/usr/sbin/natd -interface en0 -dynamic -use_sockets"}},
        CommandCase{"ipfw", [](NATSetter &s) { return s.ipfw(QString("en0")); }, true, kIpfwRules},
        CommandCase{
            "ipfwWithoutInterface", [](NATSetter &s) { return s.ipfw(std::nullopt); }, false, {}},
        CommandCase{
            "ipfwWithEmptyInterface", [](NATSetter &s) { return s.ipfw(QString()); }, false, {}},
        CommandCase{"aliasRemovalWhileOff",
                    [](NATSetter &s) {
                        return s.terminateAliasing({false, "en1", "10.0.1.1"});
                    },
                    true,
                    {"/sbin/ifconfig en1 10.0.1.1 -alias"}},
        CommandCase{"aliasRemovalWhileOn",
                    [](NATSetter &s) {
                        return s.terminateAliasing({true, "en0", "192.0.2.1"});
                    },
                    true,
                    {"/sbin/ifconfig en0 192.0.2.1 -alias"}},
        CommandCase{"aliasRemovalWithoutInterface",
                    [](NATSetter &s) {
                        return s.terminateAliasing({true, QString(), "10.0.1.1"});
                    },
                    false,
                    {}},
        CommandCase{"aliasRemovalWithoutAddress",
                    [](NATSetter &s) {
                        return s.terminateAliasing({true, "en1", QString()});
                    },
                    false,
                    {}}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(NATSetterTest, IpfwRunsHaveTwoElevenAndEightArguments)
{
    ASSERT_TRUE(setter.ipfw(QString("en0")));
    ASSERT_EQ(service->runs().size(), 3);
    EXPECT_EQ(service->runs()[0].arguments.size(), 2);
    EXPECT_EQ(service->runs()[1].arguments.size(), 11);
    EXPECT_EQ(service->runs()[1].arguments[10], "en0");
    EXPECT_EQ(service->runs()[2].arguments.size(), 8);
    EXPECT_TRUE(feedback.log().isEmpty());
}

TEST_F(NATSetterTest, IpfwStopsAfterARefusedFirstRun)
{
    service->setRightsHeld(false);
    service->answerPrompts(Answer::Cancel);
    EXPECT_FALSE(setter.ipfw(QString("en0")));
    EXPECT_TRUE(service->runs().isEmpty());
    EXPECT_EQ(service->prompts(), 1);
    EXPECT_EQ(feedback.log(), QStringList{"Error configuring ipfw"});
    EXPECT_EQ(feedback.beeps(), 0);
}

TEST_F(NATSetterTest, IpfwStopsAfterTheDivertRuleFailsToStart)
{
    service->setStartResult([](const RecordingAuthorization::Run &run) {
        return run.arguments.contains("95") ? 5 : 0;
    });
    EXPECT_FALSE(setter.ipfw(QString("en0")));
    EXPECT_EQ(service->commandLines(), kIpfwRules.mid(0, 2));
    EXPECT_EQ(feedback.log(), QStringList({"Error 5 in AuthorizationExecuteWithPrivileges",
                                           "\nPath: /sbin/ipfw", "Error configuring ipfw"}));
}

TEST_F(NATSetterTest, IpfwWithoutInterfaceLogsItsError)
{
    EXPECT_FALSE(setter.ipfw(std::nullopt));
    EXPECT_EQ(feedback.log(), QStringList{"Error configuring ipfw"});
}

// A harmless program (a copy of sleep) listed under the name `argv0`.
class ListedProcess
{
public:
    explicit ListedProcess(const QString &argv0)
    {
        m_process.start("/bin/bash", {"-c", "exec -a \"$0\" /bin/sleep 600", argv0});
        EXPECT_TRUE(m_process.waitForStarted());
        // Wait until bash has become the program, so the listing shows its new name.
        for (int i = 0; i < 1000 && BLAuthentication::sharedInstance()->getPID(argv0) == 0; ++i)
            QThread::msleep(5);
    }
    ~ListedProcess()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
};

TEST_F(NATSetterTest, TerminateNatdKillsByFullPathWithoutFallback)
{
    ListedProcess natd("/usr/sbin/natd");
    ASSERT_EQ(BLAuthentication::sharedInstance()->getPID("/usr/sbin/natd"), natd.pid());
    EXPECT_TRUE(setter.terminateNatd());
    EXPECT_EQ(service->commandLines(), QStringList{QStringLiteral("/bin/kill %1").arg(natd.pid())});
    EXPECT_TRUE(feedback.log().isEmpty());
}

TEST_F(NATSetterTest, TerminateNatdFallsBackToTheBareName)
{
    ListedProcess natd("natd");
    VELLORAN_REQUIRE(BLAuthentication::sharedInstance()->getPID("/usr/sbin/natd") == 0,
                     "a process of this machine runs as /usr/sbin/natd");
    EXPECT_TRUE(setter.terminateNatd());
    EXPECT_EQ(service->commandLines(), QStringList{QStringLiteral("/bin/kill %1").arg(natd.pid())});
    EXPECT_EQ(feedback.log(), QStringList{"Error killing process 0, invalid PID."});
    EXPECT_EQ(feedback.beeps(), 1);
}

TEST_F(NATSetterTest, TerminateNatdWithoutNatdFailsTwice)
{
    VELLORAN_REQUIRE(BLAuthentication::sharedInstance()->getPID("natd") == 0,
                     "a natd runs on this machine");
    EXPECT_FALSE(setter.terminateNatd());
    EXPECT_TRUE(service->runs().isEmpty());
    EXPECT_EQ(feedback.log(), QStringList({"Error killing process 0, invalid PID.",
                                           "Error killing process 0, invalid PID."}));
    EXPECT_EQ(feedback.beeps(), 2);
}

} // namespace
