// Velloran's Debian package as users get it.
#include "DesktopPackage.h"
#include "TestSupport.h"

#include <QDir>
#include <QImage>
#include <QLockFile>
#include <QRegularExpression>

QString DesktopPackage::build(QString *error)
{
    const QString binary = VELLORAN_TEST_BINARY_DIR;
    QLockFile lock(binary + "/velloran_deb.lock"); // tests side by side build it once
    lock.setStaleLockTime(0);
    QString output;
    if (!lock.lock() ||
        TestSupport::run(VELLORAN_CMAKE_COMMAND, {"--build", binary, "--target", "velloran_deb"},
                         &output, 300000) != 0)
        return *error = "building the package failed:\n" + output, QString();
    const QStringList debs = QDir(binary + "/package").entryList({"velloran_*.deb"});
    *error = "expected one package, found: " + debs.join(' ');
    return debs.size() == 1 ? binary + "/package/" + debs.first() : QString();
}

namespace {

// In an overlay of the system and a network of its own: installs, looks, boots, removes, purges.
const char *const kJourney = R"sh(set -u
work=$1 deb=$2 tools=$3 shot=$4 golden=$5
mount -t tmpfs tmpfs "$work"
mkdir "$work/upper" "$work/work" "$work/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/work" "$work/root"
for d in proc dev sys; do mount --rbind "/$d" "$work/root/$d"; done
for d in run tmp; do mount -t tmpfs tmpfs "$work/root/$d"; done
cp "$deb" "$work/root/tmp/velloran.deb" && cp "$tools/screenshot" "$work/root/tmp/"
cp "$golden/Velloran.plain" "$work/root/tmp/Velloran.tmp"
cp "$golden/natd.conf.all" "$work/root/tmp/natd.conf.tmp"
chroot "$work/root" /bin/sh -c '
exec 2>&1
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
deb=/tmp/velloran.deb res=/usr/lib/velloran/Velloran.app/Contents/Resources
# lintian takes seconds: it reads the package beside the rest and says its verdict last.
(lintian --fail-on error $deb >/dev/null 2>&1 || echo lintian finds errors) >/tmp/lintian &
rm -f /var/lib/man-db/auto-update # nor is the manual pages index rebuilt at each dpkg run
apt-get install --simulate --no-install-recommends $deb >/dev/null && echo every name resolves
dpkg-deb -f $deb Depends Recommends |
    grep -owE "[A-Z][a-z]*:|sudo|iproute2|procps|libqt6(widgets|dbus|svg)6|libmnl0|bind9|polkitd|pkexec" | xargs echo
dpkg-deb --ctrl-tarfile $deb | tar -t | sort | xargs echo control
dpkg-deb --contents $deb | grep -E "/systemd/|\./etc/|/init\.d/"
dpkg -i $deb 2>&1 >/dev/null | grep -v "^Not building database"
cd /usr/share
grep -E "^(Exec|Categories)=" applications/org.velloran.Velloran.desktop
ls icons/hicolor/scalable/apps/$(sed -n "s/^Icon=//p" applications/*.Velloran.desktop).svg
desktop-file-validate applications/org.velloran.Velloran.desktop
appstreamcli validate --no-net metainfo/org.velloran.Velloran.metainfo.xml >/dev/null ||
    echo appstream finds errors
MANWIDTH=80 MAN_KEEP_STDERR=1 man --warnings -l man/man1/velloran.1.gz | grep SYNOPSIS
grep -o "<action id=[^>]*\|auth_admin_keep</[a-z_]*\|exec.path.>[^<]*" polkit-1/actions/org.velloran.Velloran.policy
[ -x $res/velloran-helper ] && readlink -f /usr/bin/velloran
velloran --version && velloran --help | grep -c -- --version
HOME=/tmp xvfb-run -a -s "-screen 0 1280x1024x24" /tmp/screenshot velloran /tmp/shot.png >/dev/null 2>&1 &&
    echo window shown
echo "# the administrator own" >/etc/rc.common && install -m 0644 $res/named.conf /etc/named.conf
cp $res/StartupParameters.plist /tmp/Velloran.StartupParameters.plist.tmp
$res/load_install >/dev/null 2>&1
echo "boot $(systemctl is-enabled velloran.service)"
used=$(sed -n "s/^ExecStart=//p" /etc/systemd/system/velloran.service | tr -d "\"")
dpkg --remove velloran 2>&1 >/dev/null | grep -v "^Not building database"
echo "removed: boot $(systemctl is-enabled velloran.service), item $(ls /Library/StartupItems)"
cp /etc/natd.conf /tmp/ours && echo "interface eth0" >/etc/natd.conf
/var/lib/dpkg/info/velloran.postrm purge && echo "natd.conf $(cat /etc/natd.conf)"
cp /tmp/ours /etc/natd.conf && touch /etc/named.clients /etc/named.listen
dpkg --purge velloran >/dev/null
for f in $used /etc/systemd/system/velloran.service /Library /etc/natd.conf /etc/named.conf \
    /etc/named.clients /etc/named.listen \
    /etc/systemd/system/multi-user.target.wants/velloran.service /var/lib/velloran; do
    [ ! -e "$f" ] || echo "left $f"; done
echo "rc.common $(cat /etc/rc.common)"
wait && cat /tmp/lintian'
cp "$work/root/tmp/shot.png" "$shot" 2>/dev/null || true)sh";

TEST(Package, InstallsWhatItShouldRemovesAndPurgesOnlyItsOwn)
{
    VELLORAN_REQUIRE_ROOT();
    QString error, output;
    const QString deb = DesktopPackage::build(&error);
    ASSERT_FALSE(deb.isEmpty()) << error.toStdString();
    const QString shot = VELLORAN_TEST_BINARY_DIR "/artifacts/installed-velloran.png";
    QDir().mkpath(QFileInfo(shot).path()), QFile::remove(shot);
    QTemporaryDir work;
    const QString golden = VELLORAN_TEST_SOURCE_DIR "/golden";
    const QStringList argv{"-mn", "sh",  "-c", kJourney, "sh", work.path(), deb, VELLORAN_TOOLS_DIR,
                           shot,  golden};
    ASSERT_EQ(TestSupport::run("unshare", argv, &output), 0) << qPrintable(output);
    const QString app = "/usr/lib/velloran/Velloran.app/Contents";
    EXPECT_EQ(output.toStdString(),
              ("every name resolves\nDepends: sudo iproute2 procps libqt6svg6 libmnl0 "
               "libqt6dbus6 libqt6widgets6 Recommends: bind9 polkitd pkexec\n"
               "control ./control ./md5sums ./postrm ./prerm\n"
               "Exec=velloran\nCategories=Network;Qt;\n"
               "icons/hicolor/scalable/apps/org.velloran.Velloran.svg\nSYNOPSIS\n"
               "<action id=\"org.velloran.Velloran.helper\"\nauth_admin_keep</allow_any\n"
               "auth_admin_keep</allow_inactive\nauth_admin_keep</allow_active\nexec.path\">" +
               app + "/Resources/velloran-helper\n" + app +
               "/MacOS/Velloran\nVelloran " VELLORAN_VERSION "\n1\nwindow shown\nboot enabled\n"
               "removed: boot disabled, item Velloran\nnatd.conf interface eth0\n"
               "rc.common # the administrator own\n")
                  .toStdString());
    EXPECT_GT(QImage(shot).width(), 200) << "no screenshot at " << qPrintable(shot);
}

} // namespace
