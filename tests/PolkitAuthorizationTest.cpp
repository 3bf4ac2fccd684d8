#include "DesktopPackage.h"
#include "Polkit.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QString kInstalledBundle = QStringLiteral("/usr/lib/velloran/Velloran.app");

std::string lines(const QStringList &expected)
{
    return (expected.join('\n') + '\n').toStdString();
}

// tests/desktop_root: the unpacked package over /usr, a system D-Bus and polkitd, and the
// test's administrator user, all in a mount namespace that ends with this object.
class DesktopRoot
{
public:
    DesktopRoot(const QString &work, const QString &packageRoot, const QString &user,
                const QString &password)
    {
        m_script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_script.start(QStringLiteral(VELLORAN_TEST_SOURCE_DIR "/desktop_root"),
                       {work, packageRoot, user, password});
        QByteArray said;
        while (!said.contains('\n') && m_script.waitForReadyRead(30000))
            said += m_script.readAllStandardOutput();
        if (said.startsWith("ready "))
            m_pid = said.mid(6).trimmed().toLongLong();
    }
    ~DesktopRoot()
    {
        m_script.closeWriteChannel();
        if (!m_script.waitForFinished(30000)) {
            m_script.kill();
            m_script.waitForFinished();
        }
    }
    bool ready() const { return m_pid > 0; }

    // `argv` run inside the namespace: nsenter enters it and execs, so the pid stays the same.
    QStringList inside(const QStringList &argv) const
    {
        return QStringList{QStringLiteral("/usr/bin/nsenter"), QStringLiteral("--mount"),
                           QStringLiteral("--target"), QString::number(m_pid),
                           QStringLiteral("--")} +
               argv;
    }

private:
    QProcess m_script;
    qint64 m_pid = 0;
};

// pkttyagent, polkit's own text agent, registered for one process on a terminal of its own;
// the test reads what it shows and types the password when it asks.
class TextAgent
{
public:
    ~TextAgent()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
        if (m_terminal >= 0)
            ::close(m_terminal);
    }

    // Starts `argv` (which ends in pkttyagent's options, "--notify-fd" last, its value added
    // here); true once the agent has registered with polkitd.
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

        m_pid = ::forkpty(&m_terminal, nullptr, nullptr, nullptr);
        if (m_pid == 0) {
            ::fcntl(notify[1], F_SETFD, 0);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(notify[1]);
        if (m_pid < 0) {
            ::close(notify[0]);
            return false;
        }
        ::fcntl(m_terminal, F_SETFL, O_NONBLOCK);
        // pkttyagent closes the descriptor once polkitd took its registration.
        struct pollfd closed = {notify[0], POLLIN, 0};
        const bool answered = ::poll(&closed, 1, 30000) == 1;
        char ignored;
        const bool registered = answered && ::read(notify[0], &ignored, 1) == 0 &&
                                ::waitpid(m_pid, nullptr, WNOHANG) == 0;
        ::close(notify[0]);
        return registered;
    }

    // Reads what the agent shows for up to `ms`, answering each password prompt with `password`.
    void serve(const QByteArray &password, int ms)
    {
        struct pollfd ready = {m_terminal, POLLIN, 0};
        if (::poll(&ready, 1, ms) > 0) {
            char buffer[1024];
            const ssize_t got = ::read(m_terminal, buffer, sizeof buffer);
            if (got > 0)
                m_transcript += QByteArray(buffer, got);
        }
        const int asked = m_transcript.count("Password:");
        if (asked > m_answered && waitingForPassword()) {
            const QByteArray line = password + '\n';
            if (::write(m_terminal, line.constData(), line.size()) == line.size())
                ++m_answered;
        }
    }

    int prompts() const { return m_transcript.count("AUTHENTICATING FOR"); }
    QByteArray transcript() const { return m_transcript; }

private:
    // Typed too early, a password is flushed away when the agent turns echo off: wait until
    // echo is off and one of its threads is blocked reading the terminal.
    bool waitingForPassword() const
    {
        struct termios modes {
        };
        if (::tcgetattr(m_terminal, &modes) != 0 || (modes.c_lflag & ECHO))
            return false;
        const QString process = QStringLiteral("/proc/%1").arg(m_pid);
        for (const QString &task :
             QDir(process + "/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile syscall(process + "/task/" + task + "/syscall");
            if (!syscall.open(QIODevice::ReadOnly))
                continue;
            const QList<QByteArray> fields = syscall.readAll().split(' ');
            if (fields.size() < 2 || fields[0] != "0")
                continue;
            const QString target = QFile::symLinkTarget(
                process + "/fd/" + QString::number(fields[1].toInt(nullptr, 16)));
            if (target == QLatin1String("/dev/tty") ||
                target.startsWith(QLatin1String("/dev/pts/")))
                return true;
        }
        return false;
    }

    pid_t m_pid = -1;
    int m_terminal = -1;
    int m_answered = 0;
    QByteArray m_transcript;
};

struct Scenario {
    const char *name;
    bool agent;           // a polkit agent is registered for the driver
    bool installedBundle; // the driver uses the packaged bundle (else the build tree's)
    const char *agentPassword;
    const char *askpassAnswer; // "accept" (the right password) or "cancel"
    int agentPrompts;
    bool authenticated;
};

// Real polkitd, pkexec and pkttyagent on a system D-Bus of the test's own, the installed package,
// and the real sudo fallback, used by an ordinary administrator the test makes.
class PolkitAuthorization : public ::testing::TestWithParam<Scenario>
{
protected:
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        for (const char *program :
             {"/usr/bin/pkexec", "/usr/bin/pkttyagent", "/usr/lib/polkit-1/polkitd",
              "/usr/bin/dbus-daemon", "/usr/bin/dbus-send", "/usr/bin/nsenter", "/usr/bin/sudo"})
            VELLORAN_REQUIRE(QFileInfo(program).isExecutable(),
                             std::string("needs ") + program + " (pkexec, polkitd, dbus)");
        ASSERT_TRUE(work.isValid());
        QString error;
        const QString deb = DesktopPackage::build(&error);
        ASSERT_FALSE(deb.isEmpty()) << error.toStdString();
        ASSERT_TRUE(DesktopPackage::unpack(deb, work.path() + "/package", &error))
            << error.toStdString();
        // The package's password dialog has no test hook: the test build's one answers here.
        const QString askpass =
            work.path() + "/package" + kInstalledBundle + "/Contents/Resources/velloran-askpass";
        EXPECT_FALSE(TestSupport::readAll(askpass).contains("VELLORAN_ASKPASS_TEST_ANSWER"));
        ASSERT_TRUE(QFile::remove(askpass));
        ASSERT_TRUE(
            QFile::copy(VELLORAN_TEST_BUNDLE "/Contents/Resources/velloran-askpass", askpass));
        root = std::make_unique<DesktopRoot>(work.path(), work.path() + "/package", user, password);
        ASSERT_TRUE(root->ready()) << "the namespace with polkitd didn't come up:\n"
                                   << logs().toStdString();

        QString output;
        ASSERT_EQ(run(root->inside({"/usr/bin/id", "-u", user}), &output), 0);
        uid = output.trimmed().toUInt();
        ASSERT_EQ(run(root->inside({"/usr/bin/id", "-g", user}), &output), 0);
        gid = output.trimmed().toUInt();
        ASSERT_GT(uid, 0u);

        // A home of the user's own for the password dialog's answer; the tools stay root's.
        home = work.path() + "/home";
        ASSERT_TRUE(QDir().mkpath(home));
        ASSERT_EQ(::chown(home.toLocal8Bit().constData(), uid, gid), 0);
        QFile::setPermissions(work.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                               QFile::ExeOther);
        QFile::setPermissions(home, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void TearDown() override
    {
        agent.reset();
        root.reset();
    }

    QString logs() const
    {
        QString text;
        for (const char *name : {"/dbus.log", "/polkitd.log"}) {
            QFile file(work.path() + name);
            if (file.open(QIODevice::ReadOnly))
                text += QString::fromLocal8Bit(file.readAll());
        }
        return text;
    }

    static int run(const QStringList &argv, QString *output)
    {
        return TestSupport::run(argv.first(), argv.mid(1), output);
    }

    void answerAskpass(const QByteArray &line)
    {
        QFile file(home + "/answer");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("velloran-askpass-test\n" + line + '\n');
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        ASSERT_EQ(::chown(file.fileName().toLocal8Bit().constData(), uid, gid), 0);
    }

    // Runs the driver as the user inside the namespace. It pauses first; meanwhile the agent, if
    // wanted, registers for the driver's own process, as a desktop's agent covers its session.
    std::string drive(const QStringList &steps, const QString &bundle, bool withAgent,
                      const QByteArray &agentPassword)
    {
        QProcessEnvironment environment = TestSupport::userDriverEnvironment(home);
        const QStringList asUser{"/usr/bin/setpriv", "--reuid=" + QString::number(uid),
                                 "--regid=" + QString::number(gid), "--init-groups", "--"};
        QStringList driverArgs = asUser + QStringList{VELLORAN_AUTH_DRIVER};
        if (!bundle.isEmpty())
            driverArgs << "--bundle=" + bundle;
        driverArgs << "pause" << steps;
        const QStringList argv = root->inside(driverArgs);

        QProcess driver;
        driver.setProcessEnvironment(environment);
        driver.setWorkingDirectory(home);
        driver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        driver.start(argv.first(), argv.mid(1));
        QByteArray output;
        while (!output.contains("paused\n") && driver.waitForReadyRead(30000))
            output += driver.readAllStandardOutput();
        EXPECT_TRUE(output.startsWith("paused\n")) << output.toStdString();
        output.remove(0, 7);

        if (withAgent) {
            agent = std::make_unique<TextAgent>();
            EXPECT_TRUE(agent->start(root->inside(
                asUser + QStringList{"/usr/bin/pkttyagent", "--process",
                                     QString::number(driver.processId()), "--notify-fd"})))
                << "the agent didn't register";
        }
        driver.write("\n");
        QElapsedTimer clock;
        clock.start();
        while (driver.state() != QProcess::NotRunning && clock.elapsed() < 120000) {
            if (agent)
                agent->serve(agentPassword, 20);
            driver.waitForFinished(20);
        }
        EXPECT_EQ(driver.state(), QProcess::NotRunning) << "the driver hung";
        if (driver.state() != QProcess::NotRunning) {
            driver.kill();
            driver.waitForFinished();
        }
        EXPECT_EQ(driver.exitCode(), 0);
        output += driver.readAllStandardOutput();
        return output.toStdString();
    }

    const QString user = QStringLiteral("vlpk%1").arg(getpid());
    const QString password = QStringLiteral("Desk top 7");
    QTemporaryDir work;
    std::unique_ptr<DesktopRoot> root;
    std::unique_ptr<TextAgent> agent;
    uid_t uid = 0;
    gid_t gid = 0;
    QString home;
};

TEST_F(PolkitAuthorization, LockAsksTheAgentOpensAndClosesWithoutSudo)
{
    // Through sudo this would fail: its password dialog cancels.
    answerAskpass("cancel");
    // Only root stops root's natd; the installed helper copies the bundle's named.conf.
    FakeProcess natd({"/usr/sbin/natd", "-interface", "eth0"});
    const QString resources = kInstalledBundle + "/Contents/Resources";
    const std::string output = drive(
        {"check", "authenticate", "check", "run=/bin/kill|" + QString::number(natd.pid),
         "run=/bin/cp|" + resources + "/named.conf|/etc/named.conf", "deauthenticate", "check"},
        kInstalledBundle, true, password.toUtf8());
    EXPECT_EQ(output, lines({"check 0", "authenticate 1", "check 1", "run 1", "run 1",
                             "deauthenticate", "check 0", "authenticated-notifications 1",
                             "deauthenticated-notifications 1", "beeps 0"}));
    // Dropping the rights looked for a login session without trying to start logind.
    EXPECT_FALSE(logs().contains("Activating service")) << logs().toStdString();
    // The silent checks never reached the agent; the request did, once.
    EXPECT_EQ(agent->prompts(), 1) << agent->transcript().toStdString();
    EXPECT_TRUE(agent->transcript().contains("org.velloran.Velloran.helper"));

    EXPECT_TRUE(TestSupport::waitFor([&] { return !TestSupport::processAlive(natd.pid); }));
    // The copy landed in the root's own /etc (WORK's), made by root.
    EXPECT_EQ(TestSupport::readAll(work.path() + "/etc/named.conf"),
              TestSupport::readAll(work.path() + "/package" + resources + "/named.conf"));
    EXPECT_EQ(QFileInfo(work.path() + "/etc/named.conf").ownerId(), 0u);
}

// Which way the request goes: the agent when polkit can take it, sudo when it can't, and never
// sudo behind the back of a user who failed at the agent.
class PolkitRoutes : public PolkitAuthorization
{
};

TEST_P(PolkitRoutes, RequestTakesTheRightWay)
{
    const Scenario &row = GetParam();
    answerAskpass(QByteArray(row.askpassAnswer) == "accept" ? "accept " + password.toUtf8()
                                                            : QByteArray("cancel"));
    const std::string output =
        drive({"authenticate", "check"}, row.installedBundle ? kInstalledBundle : QString(),
              row.agent, row.agentPassword);
    const QString yes = row.authenticated ? "1" : "0";
    EXPECT_EQ(output,
              lines({"authenticate " + yes, "check " + yes, "authenticated-notifications " + yes,
                     "deauthenticated-notifications 0", "beeps 0"}));
    if (agent) {
        EXPECT_EQ(agent->prompts(), row.agentPrompts) << agent->transcript().toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, PolkitRoutes,
                         ::testing::Values(Scenario{"WrongPasswordAtTheAgentAnswersNo", true, true,
                                                    "not the password", "accept", 1, false},
                                           Scenario{"WithoutAgentSudoAsks", false, true, "",
                                                    "accept", 0, true},
                                           Scenario{"WithoutAgentCancelledSudoAnswersNo", false,
                                                    true, "", "cancel", 0, false},
                                           Scenario{"BuildTreeHelperIsNotTheActionsSoSudoAsks",
                                                    true, false, "", "accept", 0, true}),
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
        {"tmpauthz5", ours, "unix-process", 4242},
    };
    EXPECT_EQ(Polkit::ownTemporaryAuthorizations(all, 4242),
              QStringList({"tmpauthz1", "tmpauthz5"}));
    EXPECT_TRUE(Polkit::ownTemporaryAuthorizations(all, 1).isEmpty());
}

} // namespace
