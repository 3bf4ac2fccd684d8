#include "DesktopPackage.h"
#include "HelpWindow.h"
#include "LinuxAuthorization.h"
#include "TestSupport.h"
#include "WindowFixture.h"
#include "Workspace.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <pwd.h>

namespace {

// Installs the package in an overlay over the whole system (a mount namespace of its own, no
// running systemd), turns start at boot on as Velloran does, purges, and says what is left.
const char *const kInstallAndPurge = R"sh(set -eu
work=$1 deb=$2
mount -t tmpfs tmpfs "$work"
mkdir "$work/upper" "$work/work" "$work/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/work" "$work/root"
for d in proc dev sys; do mount --rbind "/$d" "$work/root/$d"; done
for d in run tmp; do mount -t tmpfs tmpfs "$work/root/$d"; done
cp "$deb" "$work/root/tmp/velloran.deb"
exec chroot "$work/root" /bin/sh -eu -c '
dpkg -i /tmp/velloran.deb >/dev/null
res=/usr/lib/velloran/Velloran.app/Contents/Resources
echo "# the administrator own" >/etc/rc.common && install -m 0644 $res/named.conf /etc/named.conf
echo "#!/bin/sh" >/tmp/Velloran.tmp && echo "-dynamic yes" >/tmp/natd.conf.tmp
cp $res/StartupParameters.plist /tmp/Velloran.StartupParameters.plist.tmp && $res/load_install
echo "boot $(systemctl is-enabled velloran.service)"
used=$(sed -n "s/^ExecStart=//p" /etc/systemd/system/velloran.service | tr -d "\"")
dpkg --purge velloran >/dev/null
for f in $used /etc/systemd/system/velloran.service /Library /etc/natd.conf /etc/named.conf \
    /etc/systemd/system/multi-user.target.wants/velloran.service /var/lib/velloran; do
    [ ! -e "$f" ] || echo "left $f"; done
echo "rc.common $(cat /etc/rc.common)"')sh";

TEST(NativePackage, PurgeLeavesNothingOfStartAtBootAndLintianFindsNoError)
{
    VELLORAN_REQUIRE_ROOT();
    QString error, output;
    const QString deb = DesktopPackage::build(&error);
    ASSERT_FALSE(deb.isEmpty()) << error.toStdString();
    EXPECT_EQ(TestSupport::run("lintian", {"--fail-on", "error", deb}, &output), 0)
        << output.toStdString();
    QTemporaryDir work;
    ASSERT_EQ(TestSupport::run(
                  "unshare", {"-m", "sh", "-c", kInstallAndPurge, "sh", work.path(), deb}, &output),
              0)
        << output.toStdString();
    const QStringList said = output.split('\n').filter(QRegularExpression("^(boot|left|rc)"));
    EXPECT_EQ(said.join('\n').toStdString(), "boot enabled\nrc.common # the administrator own")
        << output.toStdString();
}

TEST(NativePackage, VersionAndHelpAnswerWithoutADisplay)
{
    const QString velloran = VELLORAN_TEST_BUNDLE "/Contents/MacOS/Velloran";
    const QStringList noDisplay{"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    QString said;
    EXPECT_EQ(TestSupport::run(velloran, {"--version"}, &said, noDisplay, 30000), 0);
    EXPECT_EQ(said.toStdString(), "Velloran " VELLORAN_VERSION "\n");
    EXPECT_EQ(TestSupport::run(velloran, {"--help"}, &said, noDisplay, 30000), 0);
    EXPECT_TRUE(said.contains("--version")) << said.toStdString();
}

using HelpWindowTest = WindowFixture;

TEST_F(HelpWindowTest, ReadMeAndSetUpShowInVelloransOwnWindow)
{
    QStringList opened;
    Workspace::setHandler([&opened](const QString &path) { return opened << path, true; });
    ui().actionReadme->trigger();
    auto *help = loaded->window->findChild<HelpWindow *>();
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(help->isVisible());
    EXPECT_TRUE(help->toPlainText().contains("This computer becomes their router"));
    ui().actionSetup->trigger();
    EXPECT_EQ(loaded->window->findChildren<HelpWindow *>().size(), 1);
    EXPECT_FALSE(help->toPlainText().contains("This computer becomes their router"));
    Workspace::setHandler(nullptr);
    EXPECT_TRUE(opened.isEmpty());
}

// Real sudo, the real root helper and the real password dialog, for a user the test makes.
struct Refusal {
    const char *name;
    bool allowed;        // a sudoers rule lets the user run the helper
    const char *answers; // the dialog's answer to each ask
    const char *result;  // the driver's lines
    const char *shown;   // the notice each ask showed
};

class SudoRefusalTest : public ::testing::TestWithParam<Refusal>
{
protected:
    static int account(const QString &program, const QStringList &arguments,
                       const QByteArray &input = {})
    {
        // The account tools refuse while another program holds /etc/passwd's lock.
        for (int attempt = 0; attempt < 50; QThread::msleep(100), ++attempt) {
            QProcess process;
            process.start(program, arguments);
            process.write(input);
            process.closeWriteChannel();
            if (process.waitForFinished() && process.exitCode() == 0)
                return 0;
        }
        return 1;
    }
    void TearDown() override
    {
        QFile::remove(sudoers);
        if (made && account("/usr/sbin/userdel", {"--force", user}) != 0)
            ADD_FAILURE() << "can't remove " << user.toStdString();
    }
    const QString user = QStringLiteral("vlrefuse%1").arg(getpid());
    const QString sudoers = "/etc/sudoers.d/velloran-refusal-" + QString::number(getpid());
    bool made = false;
    QTemporaryDir scratch;
};

TEST_P(SudoRefusalTest, TheDialogAndTheAlertSayWhatWentWrong)
{
    VELLORAN_REQUIRE_ROOT();
    ASSERT_EQ(account("/usr/sbin/useradd", {"--no-create-home", "--user-group", user}), 0);
    made = true;
    ASSERT_EQ(account("/usr/sbin/chpasswd", {}, (user + ":Corr3ct horse\n").toUtf8()), 0);
    const passwd *entry = getpwnam(user.toLocal8Bit().constData());
    ASSERT_NE(entry, nullptr);
    if (GetParam().allowed) {
        TestSupport::writeFile(sudoers, QStringLiteral("%1 ALL=(root) %2\n")
                                            .arg(user, LinuxAuthorization::helperPath())
                                            .toUtf8());
        QFile::setPermissions(sudoers, QFile::ReadOwner);
    }
    const QString home = scratch.path();
    TestSupport::writeFile(home + "/answer",
                           "velloran-askpass-test\n" + QByteArray(GetParam().answers));
    for (const QString &path : {home, home + "/answer"})
        ASSERT_EQ(chown(path.toLocal8Bit().constData(), entry->pw_uid, entry->pw_gid), 0);
    QFile::setPermissions(home + "/answer", QFile::ReadOwner | QFile::WriteOwner);

    QProcess driver;
    driver.setProcessEnvironment(TestSupport::userDriverEnvironment(home));
    driver.start("/usr/bin/setpriv", {"--reuid=" + user, "--regid=" + user, "--init-groups", "--",
                                      VELLORAN_AUTH_DRIVER, "authenticate", "check"});
    ASSERT_TRUE(driver.waitForFinished(120000));
    EXPECT_EQ(driver.readAllStandardOutput().toStdString(),
              QString(GetParam().result).arg(user).toStdString());
    EXPECT_EQ(TestSupport::readAll(home + "/answer.shown").toStdString(), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Sudo, SudoRefusalTest,
    ::testing::Values(
        Refusal{"notInSudoers", false, "accept Corr3ct horse\n",
                "authenticate 0\ncheck 0\nauthenticated-notifications 0\n"
                "deauthenticated-notifications 0\nbeeps 0\nalert Your account may not make changes "
                "as an administrator: sudo refused it. An administrator can allow it with "
                "\"adduser %1 sudo\"; then log out and log in again.\n",
                "\n"},
        Refusal{"wrongThenRight", true, "accept wrong\naccept Corr3ct horse\n",
                "authenticate 1\ncheck 1\nauthenticated-notifications 1\n"
                "deauthenticated-notifications 0\nbeeps 0\n",
                "\nSorry, try again.\n"}),
    [](const auto &row) { return std::string(row.param.name); });

} // namespace
