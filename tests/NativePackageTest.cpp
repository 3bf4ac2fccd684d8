#include "DesktopPackage.h"
#include "HelpWindow.h"
#include "TestSupport.h"
#include "WindowFixture.h"
#include "Workspace.h"

#include <QFile>
#include <QRegularExpression>

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

} // namespace
