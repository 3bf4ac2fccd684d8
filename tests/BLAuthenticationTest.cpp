#include "BLAuthentication.h"
#include "RecordingAuthorization.h"

#include <gtest/gtest.h>
#include <optional>

namespace {

using Answer = RecordingAuthorization::Answer;

const QStringList kTools{"/usr/sbin/sysctl", "/sbin/ifconfig", "/usr/sbin/natd", "/sbin/ipfw"};

class BLAuthenticationTest : public ::testing::Test
{
protected:
    BLAuthentication *auth = BLAuthentication::sharedInstance();
    ScopedRecordingAuthorization service;
    CapturedFeedback feedback;
    NotificationCounter authenticated{BLAuthenticatedNotification, auth};
    NotificationCounter deauthenticated{BLDeauthenticatedNotification, auth};
};

TEST_F(BLAuthenticationTest, NotificationNamesAreTheirOwnText)
{
    EXPECT_EQ(BLAuthenticatedNotification, "BLAuthenticatedNotification");
    EXPECT_EQ(BLDeauthenticatedNotification, "BLDeauthenticatedNotification");
    EXPECT_EQ(BLAuthentication::sharedInstance(), auth);
}

TEST_F(BLAuthenticationTest, EmptyListAnswersNoButLeavesAHandle)
{
    EXPECT_FALSE(auth->isAuthenticated({}));
    EXPECT_EQ(service->handlesCreated(), 1);
    EXPECT_EQ(service->silentChecks(), 0);
    EXPECT_FALSE(auth->fetchPassword({}));
    EXPECT_FALSE(auth->authenticate({}));
    EXPECT_EQ(service->prompts(), 0);
    EXPECT_EQ(service->handlesCreated(), 1);
}

TEST_F(BLAuthenticationTest, HeldRightsNeedNoPromptAndPostNothing)
{
    EXPECT_TRUE(auth->authenticate(kTools));
    EXPECT_EQ(service->prompts(), 0);
    EXPECT_EQ(authenticated.count(), 0);
}

TEST_F(BLAuthenticationTest, GrantedPasswordPostsExactlyOnce)
{
    service->setRightsHeld(false);
    EXPECT_FALSE(auth->isAuthenticated(kTools));
    EXPECT_TRUE(auth->authenticate(kTools));
    EXPECT_TRUE(auth->authenticate(kTools));
    EXPECT_EQ(service->prompts(), 1);
    EXPECT_EQ(authenticated.count(), 1);
    EXPECT_EQ(deauthenticated.count(), 0);
}

TEST_F(BLAuthenticationTest, CancelledPasswordAnswersNoAndPostsNothing)
{
    service->setRightsHeld(false);
    service->answerPrompts(Answer::Cancel);
    EXPECT_FALSE(auth->authenticate(kTools));
    EXPECT_FALSE(auth->executeCommand("/sbin/ipfw", {"-f", "flush"}));
    EXPECT_EQ(service->prompts(), 2);
    EXPECT_TRUE(service->runs().isEmpty());
    EXPECT_EQ(authenticated.count(), 0);
    EXPECT_TRUE(feedback.log().isEmpty());
    EXPECT_EQ(feedback.beeps(), 0);
}

TEST_F(BLAuthenticationTest, DeauthenticateDropsRightsAndPostsOnceForTwoCalls)
{
    auth->deauthenticate(); // before any check: no handle, nothing posted
    EXPECT_EQ(deauthenticated.count(), 0);

    ASSERT_TRUE(auth->isAuthenticated(kTools));
    auth->deauthenticate();
    auth->deauthenticate();
    EXPECT_EQ(deauthenticated.count(), 1);
    EXPECT_EQ(service->releases(), 1);

    EXPECT_FALSE(auth->isAuthenticated(kTools));
    EXPECT_EQ(service->handlesCreated(), 2);
    EXPECT_TRUE(auth->authenticate(kTools));
    EXPECT_EQ(service->prompts(), 1);
    EXPECT_EQ(authenticated.count(), 1);
}

TEST_F(BLAuthenticationTest, AsRootRightsSurviveTheRelease)
{
    service->setRunningAsRoot(true);
    service->setRightsHeld(false);
    ASSERT_TRUE(auth->isAuthenticated(kTools));
    auth->deauthenticate();
    EXPECT_EQ(deauthenticated.count(), 1);
    EXPECT_TRUE(auth->isAuthenticated(kTools));
}

struct VectorCase {
    const char *name;
    std::optional<QStringList> given; // none: the list is left out
    QStringList started;
};

QStringList numbered(int count)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << QStringLiteral("a%1").arg(i);
    return list;
}

void PrintTo(const VectorCase &row, std::ostream *out)
{
    *out << row.name;
}

class ExecuteVectorTest : public BLAuthenticationTest,
                          public ::testing::WithParamInterface<VectorCase>
{
};

TEST_P(ExecuteVectorTest, StartsTheToolWithAtMostNineteenArguments)
{
    const VectorCase &c = GetParam();
    const bool started = c.given ? auth->executeCommand("/usr/sbin/natd", *c.given)
                                 : auth->executeCommand("/usr/sbin/natd");
    EXPECT_TRUE(started);
    ASSERT_EQ(service->runs().size(), 1);
    EXPECT_EQ(service->runs().first(), (RecordingAuthorization::Run{"/usr/sbin/natd", c.started}));
    EXPECT_TRUE(feedback.log().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Lists, ExecuteVectorTest,
                         ::testing::Values(VectorCase{"absent", std::nullopt, {}},
                                           VectorCase{"empty", QStringList{}, {}},
                                           VectorCase{"one", QStringList{"-f"}, {"-f"}},
                                           VectorCase{"eleven", numbered(11), numbered(11)},
                                           VectorCase{"nineteen", numbered(19), numbered(19)},
                                           VectorCase{"twenty", numbered(20), numbered(19)},
                                           VectorCase{"twentyfive", numbered(25), numbered(19)}),
                         [](const auto &row) { return std::string(row.param.name); });

TEST_F(BLAuthenticationTest, FailedStartBeepsAndLogsStatusThenPath)
{
    service->failStart("/usr/sbin/named", 2);
    EXPECT_FALSE(auth->executeCommand("/usr/sbin/named", {"-c", "/etc/named.conf"}));
    EXPECT_EQ(feedback.beeps(), 1);
    EXPECT_EQ(feedback.log(), QStringList({"Error 2 in AuthorizationExecuteWithPrivileges",
                                           "\nPath: /usr/sbin/named"}));
}

TEST_F(BLAuthenticationTest, StartAfterPasswordRequestPostsAuthentication)
{
    service->setRightsHeld(false);
    EXPECT_TRUE(auth->executeCommand("/sbin/ipfw", {"-f", "flush"}));
    EXPECT_EQ(service->commandLines(), QStringList{"/sbin/ipfw -f flush"});
    EXPECT_EQ(authenticated.count(), 1);
}

TEST_F(BLAuthenticationTest, ReplacedServiceForgetsTheOldHandleQuietly)
{
    ASSERT_TRUE(auth->isAuthenticated(kTools));
    {
        ScopedRecordingAuthorization other;
        auth->deauthenticate(); // the handle came from the service no longer in place
        EXPECT_EQ(other->releases(), 0);
        EXPECT_TRUE(auth->isAuthenticated(kTools));
        EXPECT_EQ(other->handlesCreated(), 1);
    }
    EXPECT_EQ(deauthenticated.count(), 0);
    EXPECT_EQ(service->releases(), 0);
    // The outer recorder is back in place and hands out a handle of its own again.
    EXPECT_TRUE(auth->isAuthenticated(kTools));
    EXPECT_EQ(service->handlesCreated(), 2);
}

} // namespace
