#include "BLAuthentication.h"
#include "PrivilegedStart.h"
#include "RecordingAuthorization.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

namespace {

// Idle processes with command lines of the test's choosing, as root or as `nobody`.
class FastPathsTest : public ::testing::Test
{
protected:
    void SetUp() override { VELLORAN_REQUIRE_ROOT(); }
    void TearDown() override
    {
        for (auto &process : processes) {
            process->kill();
            process->waitForFinished();
        }
    }

    qint64 start(const QString &commandLine, const QStringList &asUser = {})
    {
        processes.push_back(std::make_unique<QProcess>());
        QProcess *process = processes.back().get();
        // exec keeps our pid; one argv[0] with blanks shows in ps and /proc as the words it holds.
        const QStringList shell{"-c", "exec -a '" + commandLine + "' " VELLORAN_TEST_IDLE};
        if (asUser.isEmpty())
            process->start("/bin/bash", shell);
        else
            process->start("/usr/bin/setpriv", asUser + QStringList{"--", "/bin/bash"} + shell);
        EXPECT_TRUE(process->waitForStarted());
        TestSupport::waitFor([&] {
            return TestSupport::readAll(
                       QStringLiteral("/proc/%1/cmdline").arg(process->processId()))
                .startsWith(commandLine.toLocal8Bit());
        });
        return process->processId();
    }

    // What the lookup once answered: the first line of ps | grep naming the program itself.
    static int pipelineAnswer(const QString &query)
    {
        QString listing;
        TestSupport::run("/bin/sh", {"-c", "/bin/ps -axwwopid,command | grep \"" + query + "\""},
                         &listing);
        for (const QString &line : listing.split('\n')) {
            const QString command = line.trimmed().section(' ', 1).trimmed();
            const QString first = command.section(' ', 0, 0);
            const bool named =
                (command + ' ').startsWith(query + ' ') ||
                (first.contains('/') && first.endsWith('/' + query.section(' ', 0, 0)));
            if (named && !line.left(line.indexOf(query)).contains(QLatin1String("grep")))
                return line.trimmed().section(' ', 0, 0).toInt();
        }
        return 0;
    }

    const QString name = QStringLiteral("vlnatd%1").arg(QCoreApplication::applicationPid());
    std::vector<std::unique_ptr<QProcess>> processes;
    BLAuthentication *auth = BLAuthentication::sharedInstance();
};

TEST_F(FastPathsTest, ProcLookupAnswersAsThePipelineDid)
{
    start("vi /etc/" + name + ".conf");
    const qint64 daemon = start("/usr/sbin/" + name + " -n -f /etc/" + name + ".conf");
    start(name + "x");
    for (const QString &query :
         QStringList{"/usr/sbin/" + name, name, "/usr/sbin/" + name + " -n", name.toUpper(),
                     name + "x", "/etc/" + name + ".conf", "vi", "/usr/sbin/" + name + " -f"}) {
        SCOPED_TRACE(query.toStdString());
        EXPECT_EQ(auth->getPID(query), pipelineAnswer(query));
    }
    EXPECT_EQ(auth->getPID("/usr/sbin/" + name), daemon);
}

TEST_F(FastPathsTest, AnotherUsersProcessIsNeverOursToShowOrKill)
{
    RecordingAuthorization service;
    const qint64 stranger =
        start("/usr/sbin/" + name + " -n", {"--reuid=65534", "--regid=65534", "--clear-groups"});
    ASSERT_EQ(pipelineAnswer("/usr/sbin/" + name), stranger) << "ps alone would take it";
    EXPECT_EQ(auth->getPID("/usr/sbin/" + name), 0);
    EXPECT_EQ(auth->getPID(name), 0);
    EXPECT_FALSE(auth->killProcess("/usr/sbin/" + name));
    EXPECT_EQ(service.events, (QStringList{"beep", "log Error killing process 0, invalid PID."}));
    EXPECT_TRUE(TestSupport::processAlive(pid_t(stranger)));
}

// Every tool of a process joins one kept tool view instead of building its own.
TEST_F(FastPathsTest, ToolsShareOneKeptView)
{
    QTemporaryDir scratch;
    const QString standIns = QStringLiteral(VELLORAN_TEST_BUNDLE) + "/Contents/Resources/bsdtools";
    QStringList seen;
    for (int run = 0; run < 3; ++run) {
        const QByteArray out = (scratch.path() + QStringLiteral("/ns%1").arg(run)).toLocal8Bit();
        // Written only where the stand-in is in place of the host's program.
        const QByteArray script = "cmp -s /usr/sbin/natd '" + QFile::encodeName(standIns) +
                                  "/natd' && readlink /proc/self/ns/mnt > " + out;
        char *argv[] = {const_cast<char *>("/bin/sh"), const_cast<char *>("-c"),
                        const_cast<char *>(script.constData()), nullptr};
        ASSERT_EQ(PrivilegedStart::start("/bin/sh", argv, QFile::encodeName(standIns).constData()),
                  0);
        seen << QString::fromLatin1(TestSupport::readAll(QString::fromLocal8Bit(out))).trimmed();
    }
    EXPECT_FALSE(seen[0].isEmpty());
    EXPECT_EQ(seen.count(seen[0]), 3) << seen.join(' ').toStdString();
    EXPECT_NE(seen[0], QFile::symLinkTarget("/proc/self/ns/mnt").section('/', -1))
        << "the tools run in the view, not beside us";
}

} // namespace
