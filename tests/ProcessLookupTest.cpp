#include "BLAuthentication.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <memory>

namespace {

// Real processes with distinctive command lines, found through the real ps | grep pipeline.
class ProcessLookupTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder.isValid());
        daemon = folder.path() + '/' + name;
        ASSERT_TRUE(QFile::copy("/bin/sleep", daemon));
    }
    void TearDown() override
    {
        for (auto &process : processes) {
            process->kill();
            process->waitForFinished();
        }
    }

    QProcess *start(const QString &program, const QStringList &arguments)
    {
        processes.push_back(std::make_unique<QProcess>());
        QProcess *process = processes.back().get();
        process->start(program, arguments);
        EXPECT_TRUE(process->waitForStarted());
        return process;
    }

    // A process that only mentions the name, as an editor open on its configuration would.
    QProcess *startMention(int padding)
    {
        return start("/bin/sh", {"-c", "read line", "editor", "/etc/" + name + ".conf",
                                 QString(padding, 'x')});
    }

    // Waits until the listing shows `count` lines with the name besides the lookup's own.
    void waitUntilListed(int count)
    {
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            QString listing;
            TestSupport::run("/bin/ps", {"-axwwocommand"}, &listing);
            if (listing.count(name) >= count)
                return;
            QThread::msleep(5);
        }
    }

    BLAuthentication *auth = BLAuthentication::sharedInstance();
    QTemporaryDir folder;
    const QString name = QStringLiteral("vlnatd%1").arg(QCoreApplication::applicationPid());
    QString daemon;
    std::vector<std::unique_ptr<QProcess>> processes;
    CapturedFeedback feedback;
};

TEST_F(ProcessLookupTest, FindsTheProgramByFullPathAndByBareName)
{
    QProcess *process = start(daemon, {"600"});
    waitUntilListed(1);
    EXPECT_EQ(auth->getPID(daemon), process->processId());
    EXPECT_EQ(auth->getPID(name), process->processId());
    EXPECT_EQ(auth->getPID(daemon + " 600"), process->processId());
    EXPECT_EQ(auth->getPID(name.toUpper()), 0) << "grep itself tells letter case apart";
    EXPECT_TRUE(feedback.log().isEmpty());
}

TEST_F(ProcessLookupTest, OnlyTheLookupsOwnLinesGiveZero)
{
    EXPECT_EQ(auth->getPID(name), 0);
    EXPECT_EQ(auth->getPID(daemon), 0);
    EXPECT_EQ(feedback.beeps(), 0);
}

TEST_F(ProcessLookupTest, ListingLongerThanOneChunkIsReadWhole)
{
    // The mention comes first in the listing, with far more than 512 bytes; the program after it.
    startMention(3000);
    waitUntilListed(1);
    QProcess *process = start(daemon, {"600"});
    waitUntilListed(2);
    EXPECT_EQ(auth->getPID(name), process->processId());
}

TEST_F(ProcessLookupTest, MentionInArgumentsIsNeverFoundNorKilled)
{
    VELLORAN_REQUIRE_ROOT();
    QProcess *mention = startMention(10);
    waitUntilListed(1);
    EXPECT_EQ(auth->getPID(name), 0);
    EXPECT_FALSE(auth->killProcess(name));
    EXPECT_FALSE(auth->killProcess("/etc/" + name + ".conf"));
    EXPECT_EQ(feedback.log(), QStringList({"Error killing process 0, invalid PID.",
                                           "Error killing process 0, invalid PID."}));
    EXPECT_EQ(feedback.beeps(), 2);
    EXPECT_FALSE(mention->waitForFinished(300)) << "the mentioning process must live on";
}

TEST_F(ProcessLookupTest, KillProcessEndsTheRealProcessAsRoot)
{
    VELLORAN_REQUIRE_ROOT();
    QProcess *process = start(daemon, {"600"});
    waitUntilListed(1);
    EXPECT_TRUE(auth->killProcess(name));
    ASSERT_TRUE(process->waitForFinished(20000));
    EXPECT_EQ(process->exitStatus(), QProcess::CrashExit);
    EXPECT_TRUE(feedback.log().isEmpty());
}

TEST_F(ProcessLookupTest, KillWithRefusedPasswordStillIssuesKill)
{
    ScopedRecordingAuthorization service;
    service->setRightsHeld(false);
    service->answerPrompts(RecordingAuthorization::Answer::Cancel);
    QProcess *process = start(daemon, {"600"});
    waitUntilListed(1);
    EXPECT_TRUE(auth->killProcess(daemon));
    EXPECT_EQ(service->prompts(), 2);
    EXPECT_TRUE(service->runs().isEmpty());
    EXPECT_TRUE(feedback.log().isEmpty());
    EXPECT_EQ(process->state(), QProcess::Running);
}

TEST_F(ProcessLookupTest, KillRunsBinKillWithTheDecimalPid)
{
    ScopedRecordingAuthorization service;
    QProcess *process = start(daemon, {"600"});
    waitUntilListed(1);
    EXPECT_TRUE(auth->killProcess(daemon));
    EXPECT_EQ(service->commandLines(),
              QStringList{QStringLiteral("/bin/kill %1").arg(process->processId())});
}

TEST_F(ProcessLookupTest, StringsTheShellWouldReadOpenNoPipeline)
{
    ScopedRecordingAuthorization service;
    for (const QString &hostile : {QString("natd\"; touch " + folder.path() + "/owned; \""),
                                   QString("$(touch " + folder.path() + "/owned)"),
                                   QString("`touch " + folder.path() + "/owned`")}) {
        feedback.clear();
        EXPECT_EQ(auth->getPID(hostile), 0);
        EXPECT_EQ(feedback.log(), QStringList{"Error opening pipe: " + hostile});
        EXPECT_EQ(feedback.beeps(), 1);
    }
    EXPECT_FALSE(QFile::exists(folder.path() + "/owned"));
    EXPECT_EQ(auth->getPID(QString()), 0);
    EXPECT_TRUE(service->runs().isEmpty());
}

} // namespace
