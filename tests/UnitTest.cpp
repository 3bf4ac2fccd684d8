// Rights, privileged starts, NATSetter's tool runs and the process lookup with the recording
// runner: what ran, was posted, logged and beeped, in order.
#include "BLAuthentication.h"
#include "NATSetter.h"
#include "NotificationCenter.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

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
                &observer, note, auth, [this, note](const Notification &) {
                    rec.events << "post " + note.mid(2, note.indexOf("Noti") - 2);
                });
    }
    ~Privileges() override { NotificationCenter::defaultCenter()->removeObserver(&observer); }
    static QString kill(qint64 pid) { return QStringLiteral("run /bin/kill %1").arg(pid); }

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
    EXPECT_FALSE(auth->isAuthenticated({}) || auth->fetchPassword({}) || auth->authenticate({}));
    EXPECT_TRUE(auth->authenticate(kTools)); // held: no prompt, nothing posted
    rec.rightsHeld = false;
    EXPECT_TRUE(auth->authenticate(kTools) && auth->authenticate(kTools));
    auth->deauthenticate();
    auth->deauthenticate();                                           // nothing left to drop
    EXPECT_TRUE(auth->executeCommand("/sbin/ipfw", {"-f", "flush"})); // asks, then starts
    rec.answer = Answer::Cancel;
    auth->deauthenticate();
    EXPECT_FALSE(auth->authenticate(kTools) || auth->executeCommand("/sbin/ipfw", {"-f", "flush"}));
    EXPECT_EQ(rec.events.join(", ") +
                  QString::asprintf("; %d prompts, %d releases", rec.prompts, rec.releases),
              "post Authenticated, post Deauthenticated, post Authenticated, run /sbin/ipfw -f "
              "flush, post Deauthenticated; 4 prompts, 2 releases");
    // A handle from a service no longer in place is forgotten, not released through another.
    {
        RecordingAuthorization other;
        auth->deauthenticate();
        EXPECT_EQ(other.releases + rec.releases, 2);
    }
}

// Each answer follows what the call ran and said.
TEST_F(Privileges, StartsAndToolRunsSayWhatRanAndWhatFailed)
{
    const auto answer = [&](bool yes) { rec.events << (yes ? "yes" : "no"); };
    QStringList args;
    for (int i = 0; i < 25; ++i)
        args << QString::number(i);
    for (int count : {0, 1, 19, 20}) // at most nineteen arguments reach the tool
        answer(auth->executeCommand("/usr/sbin/natd", args.mid(0, count)));
    answer(setter.ipfw(std::nullopt));
    answer(setter.ipfw(QString()));
    answer(setter.terminateAliasing({false, "en1", "10.0.1.1"}));
    answer(setter.terminateAliasing({true, "en0", "192.0.2.1"}));
    answer(setter.terminateAliasing({true, QString(), "10.0.1.1"}));
    answer(setter.terminateAliasing({true, "en1", QString()}));
    rec.failStart("/sbin/ipfw add 95", 5);
    answer(setter.ipfw(QString("en0")));
    rec.rightsHeld = false;
    rec.answer = Answer::Cancel;
    answer(setter.ipfw(QString("en0")));
    const QString nineteen = "run /usr/sbin/natd " + args.mid(0, 19).join(' ');
    EXPECT_EQ(rec.events.join(" | "),
              "run /usr/sbin/natd | yes | run /usr/sbin/natd 0 | yes | " + nineteen + " | yes | " +
                  nineteen +
                  " | yes | log Error configuring ipfw | no | log Error configuring ipfw | no | "
                  "run /sbin/ifconfig en1 10.0.1.1 -alias | yes | "
                  "run /sbin/ifconfig en0 192.0.2.1 -alias | yes | no | no | "
                  "run /sbin/ipfw -f flush | "
                  "run /sbin/ipfw add 95 divert natd all from any to any via en0 | beep | "
                  "log Error 5 in AuthorizationExecuteWithPrivileges | log \nPath: /sbin/ipfw | "
                  "log Error configuring ipfw | no | log Error configuring ipfw | no");
    EXPECT_EQ(rec.prompts, 1);
}

TEST_F(Privileges, LookupFindsRootsProgramNotAMentionAndKillsByFullPathThenBareName)
{
    EXPECT_EQ(auth->getPID(name), 0); // only the lookup's own lines
    FakeProcess mention({"editor", "/etc/" + name + ".conf", QString(3000, 'x')}); // listed first
    FakeProcess longer({name + "x", "600"}); // a name that only begins with it
    EXPECT_EQ(auth->getPID(name), 0);
    EXPECT_FALSE(auth->killProcess(name) || auth->killProcess("/etc/" + name + ".conf"));
    EXPECT_EQ(rec.events, (QStringList{"beep", kNoPid, "beep", kNoPid}));
    FakeProcess program({daemon, "-n", "600"});
    const std::pair<QString, qint64> rows[] = {
        {daemon, program.pid},        {name, program.pid}, {daemon + " -n", program.pid},
        {daemon + " -n 6", 0},        {name.toUpper(), 0}, {name + 'x', longer.pid},
        {"/etc/" + name + ".conf", 0}};
    for (const auto &[asked, pid] : rows)
        EXPECT_EQ(auth->getPID(asked), pid) << qPrintable(asked);
    rec.clearRecord(); // a lookup that finds its program says nothing
    EXPECT_TRUE(auth->killProcess(daemon));
    rec.rightsHeld = false;
    rec.answer = Answer::Cancel;
    EXPECT_TRUE(auth->killProcess(daemon)); // a refused password answers yes, starts nothing
    EXPECT_EQ(rec.prompts, 2);
    EXPECT_EQ(rec.events, QStringList{kill(program.pid)});
    rec.rightsHeld = true;
    for (const QStringList &natd :
         QList<QStringList>{{"/usr/sbin/natd", "-f", "/etc/natd.conf"}, {"natd"}}) {
        rec.clearRecord();
        FakeProcess running(natd);
        EXPECT_TRUE(setter.terminateNatd());
        EXPECT_EQ(rec.events, (natd.size() > 1 ? QStringList{kill(running.pid)}
                                               : QStringList{"beep", kNoPid, kill(running.pid)}));
    }
    // Strings a shell would have read open no pipeline, and are said.
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
    // Another user's process is never ours to show or kill, though ps alone would take it.
    VELLORAN_REQUIRE_ROOT();
    QProcess stranger; // one argv[0] with blanks, as nobody
    stranger.start("/usr/bin/setpriv",
                   {"--reuid=65534", "--regid=65534", "--clear-groups", "--", "/bin/bash", "-c",
                    "exec -a '" + daemon + "s -n' " VELLORAN_TEST_IDLE});
    ASSERT_TRUE(stranger.waitForStarted() && TestSupport::waitFor([&] {
                    return TestSupport::readAll(
                               QStringLiteral("/proc/%1/cmdline").arg(stranger.processId()))
                        .startsWith(daemon.toLocal8Bit());
                }));
    rec.clearRecord();
    EXPECT_FALSE(auth->getPID(daemon + "s") || auth->killProcess(daemon + "s"));
    EXPECT_EQ(rec.events, (QStringList{"beep", kNoPid}));
}
