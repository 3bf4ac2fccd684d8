// Rights, privileged starts, the process lookup and NATSetter's tool runs, recorded in order with
// the notifications posted, what was logged and beeped.
#include "BLAuthentication.h"
#include "NATSetter.h"
#include "NotificationCenter.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <csignal>
#include <sys/wait.h>

namespace {
using Answer = RecordingAuthorization::Answer;
const QStringList kTools{"/usr/sbin/sysctl", "/sbin/ifconfig", "/usr/sbin/natd", "/sbin/ipfw"};
const QString kNoPid = QStringLiteral("log Error killing process 0, invalid PID.");
} // namespace

class Privileges : public ::testing::Test
{
protected:
    Privileges()
    {
        for (const QString &note : {BLAuthenticatedNotification, BLDeauthenticatedNotification})
            NotificationCenter::defaultCenter()->addObserver(
                &observer, note, auth,
                [this, note](const Notification &) { rec.events << "post " + note; });
    }
    ~Privileges() override { NotificationCenter::defaultCenter()->removeObserver(&observer); }

    BLAuthentication *auth = BLAuthentication::sharedInstance();
    RecordingAuthorization rec; // whatever the shared BLAuthentication held before is forgotten
    QObject observer;
    NATSetter setter;
    // A command line no other process of this machine has.
    const QString name = QStringLiteral("vlnatd%1").arg(QCoreApplication::applicationPid());
    const QString daemon = "/opt/velloran-test/" + name;
};

TEST_F(Privileges, RightsArePromptedOncePostedOnceAndDropped)
{
    auth->deauthenticate(); // no handle yet: nothing to post
    EXPECT_FALSE(auth->isAuthenticated({}) || auth->fetchPassword({}) || auth->authenticate({}));
    EXPECT_EQ(rec.handles, 1);               // an empty list answers no but leaves a handle
    EXPECT_TRUE(auth->authenticate(kTools)); // held: no prompt, nothing posted
    rec.rightsHeld = false;
    EXPECT_FALSE(auth->isAuthenticated(kTools));
    EXPECT_TRUE(auth->authenticate(kTools) && auth->authenticate(kTools));
    EXPECT_EQ(rec.prompts, 1);
    auth->deauthenticate();
    auth->deauthenticate();
    EXPECT_EQ(rec.releases, 1);
    EXPECT_FALSE(auth->isAuthenticated(kTools));
    EXPECT_EQ(rec.handles, 2);
    EXPECT_TRUE(auth->executeCommand("/sbin/ipfw", {"-f", "flush"})); // asks, then starts
    EXPECT_EQ(rec.events,
              (QStringList{"post BLAuthenticatedNotification", "post BLDeauthenticatedNotification",
                           "post BLAuthenticatedNotification", "run /sbin/ipfw -f flush"}));
    EXPECT_EQ(rec.prompts, 2);
    rec.clearRecord();
    rec.rightsHeld = false;
    rec.answer = Answer::Cancel;
    auth->deauthenticate();
    EXPECT_FALSE(auth->authenticate(kTools) || auth->executeCommand("/sbin/ipfw", {"-f", "flush"}));
    EXPECT_EQ(rec.prompts, 2);
    EXPECT_EQ(rec.events, QStringList{"post BLDeauthenticatedNotification"});
}

TEST_F(Privileges, AsRootRightsSurviveTheReleaseAndAReplacedServiceIsForgottenQuietly)
{
    rec.asRoot = true;
    rec.rightsHeld = false;
    ASSERT_TRUE(auth->isAuthenticated(kTools));
    auth->deauthenticate();
    EXPECT_TRUE(auth->isAuthenticated(kTools));
    {
        RecordingAuthorization other;
        auth->deauthenticate(); // the handle came from the service no longer in place
        EXPECT_EQ(other.releases, 0);
        EXPECT_TRUE(auth->isAuthenticated(kTools));
        EXPECT_EQ(other.handles, 1);
    }
    EXPECT_EQ(rec.events, QStringList{"post BLDeauthenticatedNotification"});
    EXPECT_TRUE(auth->isAuthenticated(kTools)); // a handle of its own again
    EXPECT_EQ(rec.handles, 3);
}

TEST_F(Privileges, StartsWithAtMostNineteenArgumentsAndSaysWhenAStartFails)
{
    QStringList args;
    for (int i = 0; i < 25; ++i)
        args << QString::number(i);
    EXPECT_TRUE(auth->executeCommand("/usr/sbin/natd"));
    for (int count : {0, 1, 19, 20, 25})
        EXPECT_TRUE(auth->executeCommand("/usr/sbin/natd", args.mid(0, count)));
    rec.failStart("/usr/sbin/named", 2);
    EXPECT_FALSE(auth->executeCommand("/usr/sbin/named", {"-c", "/etc/named.conf"}));
    const QString nineteen = "run /usr/sbin/natd " + args.mid(0, 19).join(' ');
    EXPECT_EQ(rec.events,
              (QStringList{"run /usr/sbin/natd", "run /usr/sbin/natd", "run /usr/sbin/natd 0",
                           nineteen, nineteen, nineteen, "run /usr/sbin/named -c /etc/named.conf",
                           "beep", "log Error 2 in AuthorizationExecuteWithPrivileges",
                           "log \nPath: /usr/sbin/named"}));
}

// Each operation's answer follows what it ran and said.
TEST_F(Privileges, SetterRunsExactlyTheseTools)
{
    const auto answer = [&](bool yes) { rec.events << (yes ? "yes" : "no"); };
    answer(setter.sysctl());
    answer(setter.ifconfig({"en1", "10.0.1.1", "netmask", "255.255.255.0", "alias"}));
    answer(setter.natd({"-interface", "en0", "-dynamic"}));
    answer(setter.ipfw(QString("en0")));
    answer(setter.ipfw(std::nullopt));
    answer(setter.ipfw(QString()));
    answer(setter.terminateAliasing({false, "en1", "10.0.1.1"}));
    answer(setter.terminateAliasing({true, "en0", "192.0.2.1"}));
    answer(setter.terminateAliasing({true, QString(), "10.0.1.1"}));
    answer(setter.terminateAliasing({true, "en1", QString()}));
    answer(setter.terminateNatd()); // none runs
    rec.failStart("/sbin/ipfw add 95", 5);
    answer(setter.ipfw(QString("en0")));
    rec.rightsHeld = false;
    rec.answer = Answer::Cancel;
    answer(setter.ipfw(QString("en0")));
    EXPECT_EQ(rec.events.join('\n'), R"(run /usr/sbin/sysctl -w net.inet.ip.forwarding=1
yes
run /sbin/ifconfig en1 10.0.1.1 netmask 255.255.255.0 alias
yes
run /usr/sbin/natd -interface en0 -dynamic
yes
run /sbin/ipfw -f flush
run /sbin/ipfw add 95 divert natd all from any to any via en0
run /sbin/ipfw add 65530 pass all from any to any
yes
log Error configuring ipfw
no
log Error configuring ipfw
no
run /sbin/ifconfig en1 10.0.1.1 -alias
yes
run /sbin/ifconfig en0 192.0.2.1 -alias
yes
no
no
beep
log Error killing process 0, invalid PID.
beep
log Error killing process 0, invalid PID.
no
run /sbin/ipfw -f flush
run /sbin/ipfw add 95 divert natd all from any to any via en0
beep
log Error 5 in AuthorizationExecuteWithPrivileges
log 
Path: /sbin/ipfw
log Error configuring ipfw
no
log Error configuring ipfw
no)");
    EXPECT_EQ(rec.prompts, 1);
}

TEST_F(Privileges, TerminateNatdKillsByFullPathThenByTheBareName)
{
    {
        FakeProcess natd({"/usr/sbin/natd", "-f", "/etc/natd.conf"});
        EXPECT_TRUE(setter.terminateNatd());
        EXPECT_EQ(rec.events, QStringList{QStringLiteral("run /bin/kill %1").arg(natd.pid)});
    }
    rec.clearRecord();
    FakeProcess natd({"natd"});
    EXPECT_TRUE(setter.terminateNatd());
    EXPECT_EQ(rec.events,
              (QStringList{"beep", kNoPid, QStringLiteral("run /bin/kill %1").arg(natd.pid)}));
}

TEST_F(Privileges, LookupFindsTheProgramNotAMentionAndReadsTheWholeListing)
{
    EXPECT_EQ(auth->getPID(name), 0); // only the lookup's own lines
    FakeProcess mention({"editor", "/etc/" + name + ".conf", QString(3000, 'x')}); // listed first
    FakeProcess longer({name + "x", "600"}); // a name that only begins with it
    EXPECT_EQ(auth->getPID(name), 0);
    EXPECT_FALSE(auth->killProcess(name) || auth->killProcess("/etc/" + name + ".conf"));
    EXPECT_EQ(rec.events, (QStringList{"beep", kNoPid, "beep", kNoPid}));
    FakeProcess program({daemon, "600"});
    for (const QString &asked : {daemon, name, daemon + " 600"})
        EXPECT_EQ(auth->getPID(asked), program.pid) << qPrintable(asked);
    EXPECT_EQ(auth->getPID(name.toUpper()), 0) << "the lookup tells letter case apart";
    EXPECT_EQ(rec.events.size(), 4); // a lookup that finds its program says nothing
    rec.clearRecord();
    EXPECT_TRUE(auth->killProcess(daemon));
    EXPECT_EQ(rec.events, QStringList{QStringLiteral("run /bin/kill %1").arg(program.pid)});
    // A refused password still answers yes, and starts nothing.
    rec.clearRecord();
    rec.rightsHeld = false;
    rec.answer = Answer::Cancel;
    EXPECT_TRUE(auth->killProcess(daemon));
    EXPECT_EQ(rec.prompts, 2);
    EXPECT_EQ(rec.events, QStringList());
    EXPECT_EQ(::kill(mention.pid, 0) | ::kill(program.pid, 0), 0);
}

TEST_F(Privileges, StringsTheShellWouldReadOpenNoPipeline)
{
    QTemporaryDir folder;
    const QString touch = "touch " + folder.filePath("owned");
    for (const QString &hostile :
         {"natd\"; " + touch + "; \"", "$(" + touch + ')', '`' + touch + '`'}) {
        rec.clearRecord();
        EXPECT_EQ(auth->getPID(hostile), 0);
        EXPECT_EQ(rec.events, (QStringList{"log Error opening pipe: " + hostile, "beep"}));
    }
    EXPECT_FALSE(QFile::exists(folder.filePath("owned")));
    EXPECT_EQ(auth->getPID(QString()), 0);
}

TEST(ProcessLookup, KillProcessEndsTheRealProcessAsRoot)
{
    VELLORAN_REQUIRE_ROOT();
    CapturedFeedback feedback;
    FakeProcess program({QStringLiteral("/opt/vlkill%1").arg(::getpid()), "600"});
    EXPECT_TRUE(BLAuthentication::sharedInstance()->killProcess(
        QStringLiteral("/opt/vlkill%1").arg(::getpid())));
    int status = 0;
    ASSERT_EQ(::waitpid(program.pid, &status, 0), program.pid);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(feedback.events, QStringList());
}
