// Rights, privileged starts, the process lookup and NATSetter's tool runs, recorded in order with
// the notifications posted, what was logged and beeped.
#include "BLAuthentication.h"
#include "NATSetter.h"
#include "NotificationCenter.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <csignal>
#include <functional>
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

struct SetterRow {
    const char *name;
    std::function<bool(NATSetter &, RecordingAuthorization &)> operation;
    bool answer;
    QStringList events;
};
void PrintTo(const SetterRow &row, std::ostream *out)
{
    *out << row.name;
}
class Setter : public Privileges, public ::testing::WithParamInterface<SetterRow>
{
};

TEST_P(Setter, RunsExactlyTheseTools)
{
    EXPECT_EQ(GetParam().operation(setter, rec), GetParam().answer);
    EXPECT_EQ(rec.events, GetParam().events);
}

const QStringList kIpfw{"run /sbin/ipfw -f flush",
                        "run /sbin/ipfw add 95 divert natd all from any to any via en0",
                        "run /sbin/ipfw add 65530 pass all from any to any"};
const AliasingInfo kAlias{true, "en0", "192.0.2.1"};

INSTANTIATE_TEST_SUITE_P(
    Operations, Setter,
    ::testing::Values(
        SetterRow{"sysctl",
                  [](NATSetter &s, RecordingAuthorization &) { return s.sysctl(); },
                  true,
                  {"run /usr/sbin/sysctl -w net.inet.ip.forwarding=1"}},
        SetterRow{"ifconfig",
                  [](NATSetter &s, RecordingAuthorization &) {
                      return s.ifconfig({"en1", "10.0.1.1", "netmask", "255.255.255.0", "alias"});
                  },
                  true,
                  {"run /sbin/ifconfig en1 10.0.1.1 netmask 255.255.255.0 alias"}},
        SetterRow{"natd",
                  [](NATSetter &s, RecordingAuthorization &) {
                      return s.natd({"-interface", "en0", "-dynamic"});
                  },
                  true,
                  {"run /usr/sbin/natd -interface en0 -dynamic"}},
        SetterRow{"ipfw",
                  [](NATSetter &s, RecordingAuthorization &) { return s.ipfw(QString("en0")); },
                  true, kIpfw},
        SetterRow{"ipfwWithoutInterface",
                  [](NATSetter &s, RecordingAuthorization &) { return s.ipfw(std::nullopt); },
                  false,
                  {"log Error configuring ipfw"}},
        SetterRow{"ipfwWithEmptyInterface",
                  [](NATSetter &s, RecordingAuthorization &) { return s.ipfw(QString()); },
                  false,
                  {"log Error configuring ipfw"}},
        SetterRow{"ipfwRefused",
                  [](NATSetter &s, RecordingAuthorization &rec) {
                      rec.rightsHeld = false, rec.answer = Answer::Cancel;
                      return s.ipfw(QString("en0"));
                  },
                  false,
                  {"log Error configuring ipfw"}},
        SetterRow{"ipfwDivertFails",
                  [](NATSetter &s, RecordingAuthorization &rec) {
                      rec.failStart("/sbin/ipfw add 95", 5);
                      return s.ipfw(QString("en0"));
                  },
                  false,
                  kIpfw.mid(0, 2) +
                      QStringList{"beep", "log Error 5 in AuthorizationExecuteWithPrivileges",
                                  "log \nPath: /sbin/ipfw", "log Error configuring ipfw"}},
        SetterRow{"aliasWhileOff",
                  [](NATSetter &s, RecordingAuthorization &) {
                      return s.terminateAliasing({false, "en1", "10.0.1.1"});
                  },
                  true,
                  {"run /sbin/ifconfig en1 10.0.1.1 -alias"}},
        SetterRow{
            "aliasWhileOn",
            [](NATSetter &s, RecordingAuthorization &) { return s.terminateAliasing(kAlias); },
            true,
            {"run /sbin/ifconfig en0 192.0.2.1 -alias"}},
        SetterRow{"aliasWithoutInterface",
                  [](NATSetter &s, RecordingAuthorization &) {
                      return s.terminateAliasing({true, QString(), "10.0.1.1"});
                  },
                  false,
                  {}},
        SetterRow{"aliasWithoutAddress",
                  [](NATSetter &s, RecordingAuthorization &) {
                      return s.terminateAliasing({true, "en1", QString()});
                  },
                  false,
                  {}},
        SetterRow{"natdGone",
                  [](NATSetter &s, RecordingAuthorization &) { return s.terminateNatd(); },
                  false,
                  {"beep", kNoPid, "beep", kNoPid}}),
    [](const auto &row) { return std::string(row.param.name); });

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
    EXPECT_EQ(auth->getPID(name), 0);
    EXPECT_FALSE(auth->killProcess(name) || auth->killProcess("/etc/" + name + ".conf"));
    EXPECT_EQ(rec.events, (QStringList{"beep", kNoPid, "beep", kNoPid}));
    FakeProcess program({daemon, "600"});
    for (const QString &asked : {daemon, name, daemon + " 600"})
        EXPECT_EQ(auth->getPID(asked), program.pid) << qPrintable(asked);
    EXPECT_EQ(auth->getPID(name.toUpper()), 0) << "grep itself tells letter case apart";
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
