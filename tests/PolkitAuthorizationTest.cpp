#include "DesktopPackage.h"
#include "Polkit.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>

namespace {

const QString kInstalledBundle = QStringLiteral("/usr/lib/velloran/Velloran.app");
const QString kResources = kInstalledBundle + "/Contents/Resources";

// pkttyagent, polkit's own text agent, on a terminal of its own for one process; the test reads
// what it shows and types the password when it asks.
class TextAgent
{
public:
    ~TextAgent()
    {
        if (m_pid > 0 && ::kill(m_pid, SIGTERM) == 0)
            ::waitpid(m_pid, nullptr, 0);
        if (m_terminal >= 0)
            ::close(m_terminal);
    }
    // Starts `argv` (ending in "--notify-fd", whose value is added here); true once registered.
    bool start(const QStringList &argv)
    {
        int notify[2];
        if (::pipe2(notify, O_CLOEXEC) != 0)
            return false;
        std::vector<QByteArray> bytes;
        for (const QString &argument : argv + QStringList{QString::number(notify[1])})
            bytes.push_back(argument.toLocal8Bit());
        std::vector<char *> args;
        for (QByteArray &argument : bytes)
            args.push_back(argument.data());
        args.push_back(nullptr);
        if ((m_pid = ::forkpty(&m_terminal, nullptr, nullptr, nullptr)) == 0) {
            ::fcntl(notify[1], F_SETFD, 0);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(notify[1]);
        ::fcntl(m_terminal, F_SETFL, O_NONBLOCK);
        // pkttyagent closes the descriptor once polkitd took its registration.
        pollfd closed = {notify[0], POLLIN, 0};
        char ignored;
        const bool registered = m_pid > 0 && ::poll(&closed, 1, 30000) == 1 &&
                                ::read(notify[0], &ignored, 1) == 0 &&
                                ::waitpid(m_pid, nullptr, WNOHANG) == 0;
        ::close(notify[0]);
        return registered;
    }
    // Reads what the agent shows for up to `ms`, answering each password prompt.
    void serve(const QByteArray &password, int ms)
    {
        pollfd ready = {m_terminal, POLLIN, 0};
        char buffer[1024];
        if (::poll(&ready, 1, ms) > 0)
            if (const ssize_t got = ::read(m_terminal, buffer, sizeof buffer); got > 0)
                transcript += QByteArray(buffer, got);
        const QByteArray line = password + '\n';
        if (transcript.count("Password:") > m_answered && waitingForPassword() &&
            ::write(m_terminal, line.constData(), line.size()) == line.size())
            ++m_answered;
    }
    QByteArray transcript;

private:
    // Typed too early, a password is flushed away when the agent turns echo off: wait until
    // echo is off and one of its threads is blocked reading the terminal.
    bool waitingForPassword() const
    {
        termios modes{};
        if (::tcgetattr(m_terminal, &modes) != 0 || (modes.c_lflag & ECHO))
            return false;
        const QString process = QStringLiteral("/proc/%1").arg(m_pid);
        for (const QString &task :
             QDir(process + "/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QList<QByteArray> fields =
                TestSupport::readAll(process + "/task/" + task + "/syscall").split(' ');
            const QString target =
                fields.size() < 2 || fields[0] != "0"
                    ? QString()
                    : QFile::symLinkTarget(process + "/fd/" +
                                           QString::number(fields[1].toInt(nullptr, 16)));
            if (target == "/dev/tty" || target.startsWith("/dev/pts/"))
                return true;
        }
        return false;
    }
    pid_t m_pid = -1;
    int m_terminal = -1, m_answered = 0;
};

// Which way a request goes: the agent when polkit can take it (the installed package's helper),
// sudo when it can't, and never sudo behind the back of a user who failed at the agent.
struct Scenario {
    const char *name;
    bool agent, installedBundle;
    const char *agentPassword; // "right" or a wrong one
    bool askpassAccepts;       // with the right password, else it cancels
    QStringList steps, printed;
    int prompts;
};
void PrintTo(const Scenario &row, std::ostream *os)
{
    *os << row.name;
}

// Real polkitd, pkexec and pkttyagent on a system D-Bus of the test's own (tests/desktop_root),
// the installed package, and the real sudo fallback, used by an administrator the test makes.
class PolkitAuthorization : public ::testing::TestWithParam<Scenario>
{
protected:
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        for (const char *program :
             {"/usr/bin/pkexec", "/usr/bin/pkttyagent", "/usr/lib/polkit-1/polkitd",
              "/usr/bin/dbus-daemon", "/usr/bin/dbus-send", "/usr/bin/nsenter", "/usr/bin/sudo"})
            VELLORAN_REQUIRE(QFileInfo(program).isExecutable(), std::string("needs ") + program);
        QString error;
        const QString deb = DesktopPackage::build(&error);
        ASSERT_FALSE(deb.isEmpty()) << error.toStdString();
        ASSERT_EQ(TestSupport::run("/usr/bin/dpkg-deb", {"-x", deb, work.path() + "/package"}), 0);
        // The package's password dialog has no test hook: the test build's one answers here.
        const QString askpass = work.path() + "/package" + kResources + "/velloran-askpass";
        EXPECT_FALSE(TestSupport::readAll(askpass).contains("VELLORAN_ASKPASS_TEST_ANSWER"));
        ASSERT_TRUE(QFile::remove(askpass));
        ASSERT_TRUE(
            QFile::copy(VELLORAN_TEST_BUNDLE "/Contents/Resources/velloran-askpass", askpass));
        script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        script.start(VELLORAN_TEST_SOURCE_DIR "/desktop_root",
                     {work.path(), work.path() + "/package", user, password});
        QByteArray said;
        while (!said.contains('\n') && script.waitForReadyRead(30000))
            said += script.readAllStandardOutput();
        ASSERT_TRUE(said.startsWith("ready ")) << "no polkitd:\n" << logs().toStdString();
        nsenter = {"/usr/bin/nsenter", "--mount", "--target", said.mid(6).trimmed(), "--"};
        QString id;
        ASSERT_EQ(TestSupport::run(nsenter[0],
                                   nsenter.mid(1) + QStringList{"/usr/bin/id", "-u", user}, &id),
                  0);
        uid = id.trimmed().toUInt();
        TestSupport::run(nsenter[0], nsenter.mid(1) + QStringList{"/usr/bin/id", "-g", user}, &id);
        gid = id.trimmed().toUInt();
        // A home of the user's own for the password dialog's answer; the tools stay root's.
        ASSERT_TRUE(QDir().mkpath(home));
        ASSERT_EQ(::chown(home.toLocal8Bit().constData(), uid, gid), 0);
        QFile::setPermissions(home, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile::setPermissions(work.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                               QFile::ExeOther);
    }
    void TearDown() override
    {
        agent.reset();
        script.closeWriteChannel();
        if (!script.waitForFinished(30000)) {
            script.kill();
            script.waitForFinished();
        }
    }
    QString logs() const
    {
        return TestSupport::readAll(work.path() + "/dbus.log") +
               TestSupport::readAll(work.path() + "/polkitd.log");
    }

    const QString user = QStringLiteral("vlpk%1").arg(getpid());
    const QString password = QStringLiteral("Desk top 7");
    QTemporaryDir work;
    const QString home = work.path() + "/home";
    QProcess script;
    QStringList nsenter;
    std::unique_ptr<TextAgent> agent;
    uid_t uid = 0;
    gid_t gid = 0;
};

TEST_P(PolkitAuthorization, RequestTakesTheRightWay)
{
    const Scenario &row = GetParam();
    TestSupport::answerAskpass(home, row.askpassAccepts ? "accept " + password.toUtf8() : "cancel",
                               uid, gid);
    // Only root stops root's natd; the installed helper copies the bundle's named.conf.
    FakeProcess natd({"/usr/sbin/natd", "-interface", "eth0"});
    QStringList steps = row.steps;
    steps.replaceInStrings("$NATD", QString::number(natd.pid))
        .replaceInStrings("$RES", kResources);

    // The driver runs as the user inside the namespace and pauses first; meanwhile the agent, if
    // wanted, registers for the driver's own process, as a desktop's agent covers its session.
    const QStringList asUser{"/usr/bin/setpriv", "--reuid=" + QString::number(uid),
                             "--regid=" + QString::number(gid), "--init-groups", "--"};
    QStringList argv = nsenter + asUser + QStringList{VELLORAN_AUTH_DRIVER};
    if (row.installedBundle)
        argv << "--bundle=" + kInstalledBundle;
    QProcess driver;
    driver.setProcessEnvironment(TestSupport::userDriverEnvironment(home));
    driver.setWorkingDirectory(home);
    driver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    driver.start(argv.first(), argv.mid(1) + QStringList{"pause"} + steps);
    QByteArray output;
    while (!output.contains("paused\n") && driver.waitForReadyRead(30000))
        output += driver.readAllStandardOutput();
    ASSERT_TRUE(output.startsWith("paused\n")) << output.toStdString();
    if (row.agent) {
        agent = std::make_unique<TextAgent>();
        EXPECT_TRUE(agent->start(nsenter + asUser +
                                 QStringList{"/usr/bin/pkttyagent", "--process",
                                             QString::number(driver.processId()), "--notify-fd"}))
            << "the agent didn't register";
    }
    driver.write("\n");
    const QByteArray agentPassword = QByteArray(row.agentPassword) == "right"
                                         ? password.toUtf8()
                                         : QByteArray(row.agentPassword);
    QElapsedTimer clock;
    clock.start();
    while (driver.state() != QProcess::NotRunning && clock.elapsed() < 120000) {
        if (agent)
            agent->serve(agentPassword, 20);
        driver.waitForFinished(20);
    }
    ASSERT_EQ(driver.state(), QProcess::NotRunning) << "the driver hung";
    EXPECT_EQ(driver.exitCode(), 0);
    output += driver.readAllStandardOutput();
    EXPECT_EQ(output.mid(7).toStdString(), TestSupport::lines(row.printed));
    if (agent) {
        // The silent checks never reach the agent; a request does, for Velloran's own action.
        EXPECT_EQ(agent->transcript.count("AUTHENTICATING FOR"), row.prompts)
            << agent->transcript.toStdString();
        EXPECT_EQ(agent->transcript.contains("org.velloran.Velloran.helper"), row.prompts > 0);
    }
    if (!steps.join(' ').contains("run="))
        return;
    // Dropping the rights looked for a login session without trying to start logind.
    EXPECT_FALSE(logs().contains("Activating service")) << logs().toStdString();
    EXPECT_TRUE(TestSupport::waitFor([&] { return !TestSupport::processAlive(natd.pid); }));
    // The copy landed in the root's own /etc (WORK's), made by root.
    const QString copy = work.path() + "/etc/named.conf";
    EXPECT_EQ(TestSupport::readAll(copy),
              TestSupport::readAll(work.path() + "/package" + kResources + "/named.conf"));
    EXPECT_EQ(QFileInfo(copy).ownerId(), 0u);
}

QStringList answers(bool yes)
{
    const QString flag = yes ? "1" : "0";
    return {"authenticate " + flag, "check " + flag, "authenticated-notifications " + flag,
            "deauthenticated-notifications 0", "beeps 0"};
}

INSTANTIATE_TEST_SUITE_P(Scenarios, PolkitAuthorization,
                         ::testing::Values(
                             // Through sudo this would fail: its password dialog cancels.
                             Scenario{"LockAsksTheAgentOpensAndClosesWithoutSudo",
                                      true,
                                      true,
                                      "right",
                                      false,
                                      {"check", "authenticate", "check", "run=/bin/kill|$NATD",
                                       "run=/bin/cp|$RES/named.conf|/etc/named.conf",
                                       "deauthenticate", "check"},
                                      {"check 0", "authenticate 1", "check 1", "run 1", "run 1",
                                       "deauthenticate", "check 0", "authenticated-notifications 1",
                                       "deauthenticated-notifications 1", "beeps 0"},
                                      1},
                             Scenario{"WrongPasswordAtTheAgentAnswersNo",
                                      true,
                                      true,
                                      "not the password",
                                      true,
                                      {"authenticate", "check"},
                                      answers(false),
                                      1},
                             Scenario{"WithoutAgentSudoAsks",
                                      false,
                                      true,
                                      "",
                                      true,
                                      {"authenticate", "check"},
                                      answers(true),
                                      0},
                             Scenario{"WithoutAgentCancelledSudoAnswersNo",
                                      false,
                                      true,
                                      "",
                                      false,
                                      {"authenticate", "check"},
                                      answers(false),
                                      0},
                             Scenario{"BuildTreeHelperIsNotTheActionsSoSudoAsks",
                                      true,
                                      false,
                                      "",
                                      true,
                                      {"authenticate", "check"},
                                      answers(true),
                                      0}),
                         [](const auto &row) { return std::string(row.param.name); });

// A session's temporary authorizations: only Velloran's own action for its own process goes.
TEST(PolkitTemporaryAuthorizations, RevokesOnlyThisProcessesHelperAuthorization)
{
    const QString ours = QString::fromLatin1(Polkit::kActionId);
    const QList<Polkit::TemporaryAuthorization> all{
        {"tmpauthz1", ours, "unix-process", 4242},
        {"tmpauthz2", "org.freedesktop.packagekit.install", "unix-process", 4242},
        {"tmpauthz3", ours, "unix-process", 4243},
        {"tmpauthz4", ours, "system-bus-name", 4242},
        {"tmpauthz5", ours, "unix-process", 4242}};
    EXPECT_EQ(Polkit::ownTemporaryAuthorizations(all, 4242),
              QStringList({"tmpauthz1", "tmpauthz5"}));
    EXPECT_TRUE(Polkit::ownTemporaryAuthorizations(all, 1).isEmpty());
}

} // namespace
