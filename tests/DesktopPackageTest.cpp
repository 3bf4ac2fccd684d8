#include "DesktopPackage.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <iostream>

namespace {

bool have(const char *program)
{
    return !QStandardPaths::findExecutable(program).isEmpty();
}

// "cmake --install" into a folder of the test's own, with the prefix the package uses.
TEST(InstalledFiles, ValidateAndPointIntoTheInstalledBundle)
{
    VELLORAN_REQUIRE(have("desktop-file-validate") && have("appstreamcli") && have("man"),
                     "needs desktop-file-utils, appstream and man-db");
    QTemporaryDir destdir;
    const QString root = destdir.path();
    QString output;
    ASSERT_EQ(TestSupport::run(VELLORAN_CMAKE_COMMAND,
                               {"--install", VELLORAN_TEST_BINARY_DIR, "--prefix", "/usr"}, &output,
                               {"DESTDIR=" + root}),
              0)
        << output.toStdString();
    const QString entry = root + "/usr/share/applications/org.velloran.Velloran.desktop";
    EXPECT_EQ(TestSupport::run("desktop-file-validate", {entry}, &output), 0)
        << output.toStdString();
    EXPECT_FALSE(output.contains("error")) << output.toStdString();
    EXPECT_EQ(TestSupport::run("appstreamcli",
                               {"validate", "--no-net",
                                root + "/usr/share/metainfo/org.velloran.Velloran.metainfo.xml"},
                               &output),
              0)
        << output.toStdString();
    // The menu starts the unprivileged launcher, with an icon the theme can find.
    QSettings desktop(entry, QSettings::IniFormat);
    desktop.beginGroup("Desktop Entry");
    EXPECT_EQ(desktop.value("Exec").toString(), "velloran");
    EXPECT_TRUE(desktop.value("Categories").toString().split(';').contains("Network"));
    EXPECT_TRUE(QFileInfo::exists(root + "/usr/share/icons/hicolor/scalable/apps/" +
                                  desktop.value("Icon").toString() + ".svg"));
    // man reads the page without a warning from groff.
    EXPECT_EQ(TestSupport::run("man",
                               {"--warnings", "-l", root + "/usr/share/man/man1/velloran.1.gz"},
                               &output, {"MANWIDTH=80", "MAN_KEEP_STDERR=1"}),
              0);
    EXPECT_TRUE(output.contains("SYNOPSIS") && !output.contains("warning")) << output.toStdString();

    const QFileInfo launcher(root + "/usr/bin/velloran");
    EXPECT_TRUE(launcher.isSymLink() && launcher.isExecutable());
    EXPECT_EQ(launcher.canonicalFilePath(),
              QFileInfo(root + "/usr/lib/velloran/Velloran.app/Contents/MacOS/Velloran")
                  .canonicalFilePath());
    // One action, kept open without asking again, for the installed helper only.
    const QString policy =
        TestSupport::readAll(root + "/usr/share/polkit-1/actions/org.velloran.Velloran.policy");
    EXPECT_EQ(policy.count("<action "), 1);
    EXPECT_TRUE(policy.contains("<action id=\"org.velloran.Velloran.helper\">"));
    for (const char *allow : {"allow_any", "allow_inactive", "allow_active"})
        EXPECT_TRUE(policy.contains(QStringLiteral("<%1>auth_admin_keep</%1>").arg(allow)))
            << allow;
    const QString helper = "/usr/lib/velloran/Velloran.app/Contents/Resources/velloran-helper";
    EXPECT_TRUE(policy.contains("\"org.freedesktop.policykit.exec.path\">" + helper + "<"));
    EXPECT_TRUE(QFileInfo(root + helper).isExecutable());
}

class DebianPackage : public ::testing::Test
{
protected:
    void SetUp() override
    {
        VELLORAN_REQUIRE(have("dpkg-shlibdeps"), "needs dpkg-dev for shlibdeps");
        QString error;
        deb = DesktopPackage::build(&error);
        ASSERT_FALSE(deb.isEmpty()) << error.toStdString();
    }
    QStringList names(const char *field) const
    {
        QString output;
        TestSupport::run("dpkg-deb", {"--field", deb, field}, &output);
        return output.trimmed().split(
            QRegularExpression("\\s*(\\([^)]*\\))?\\s*[,|]\\s*|\\s*\\([^)]*\\)"),
            Qt::SkipEmptyParts);
    }
    QString deb;
};

TEST_F(DebianPackage, DependsOnWhatVelloranRunsRecommendsTheRestAndOnlyCleansUpAfterItself)
{
    const QStringList depends = names("Depends"), recommends = names("Recommends");
    // The stand-ins carry libnl inside them; nftables' library is shared.
    for (const char *needed : {"sudo", "iproute2", "procps", "libqt6widgets6", "libqt6dbus6",
                               "libqt6svg6", "libnftables1"})
        EXPECT_TRUE(depends.contains(needed))
            << needed << " missing: " << depends.join(", ").toStdString();
    for (const char *wanted : {"bind9", "polkitd", "pkexec"})
        EXPECT_TRUE(recommends.contains(wanted) && !depends.contains(wanted)) << wanted;
    // Every relation resolves on this Debian: no misspelt or vanished package names.
    QString output;
    EXPECT_EQ(TestSupport::run("apt-get", {"install", "--simulate", "--no-install-recommends", deb},
                               &output),
              0)
        << output.toStdString();
    QTemporaryDir control;
    ASSERT_EQ(TestSupport::run("dpkg-deb", {"--control", deb, control.path()}), 0);
    EXPECT_EQ(QDir(control.path()).entryList(QDir::Files, QDir::Name),
              QStringList({"control", "md5sums", "postrm", "prerm"}));
    ASSERT_EQ(TestSupport::run("dpkg-deb", {"--contents", deb}, &output), 0);
    for (const char *place : {"/systemd/", "./etc/", "/init.d/"})
        EXPECT_FALSE(output.contains(place)) << place << " in\n" << output.toStdString();
}

TEST_F(DebianPackage, StartsFromTheInstalledLauncherUnderXvfb)
{
    VELLORAN_REQUIRE(have("xvfb-run") && have("xwininfo") && have("import"),
                     "needs xvfb, x11-utils and imagemagick");
    QTemporaryDir scratch;
    const QString root = scratch.path() + "/root", runtime = scratch.path() + "/runtime";
    ASSERT_EQ(TestSupport::run("dpkg-deb", {"-x", deb, root}), 0);
    ASSERT_TRUE(QDir().mkpath(runtime));
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString shot = VELLORAN_TEST_BINARY_DIR "/artifacts/installed-velloran.png";
    ASSERT_TRUE(QDir().mkpath(QFileInfo(shot).path()));
    QFile::remove(shot);
    QString output;
    // The window goes to the virtual X display, not to the tests' offscreen platform.
    EXPECT_EQ(TestSupport::run("xvfb-run",
                               {"-a", "-s", "-screen 0 1280x1024x24",
                                VELLORAN_TOOLS_DIR "/screenshot", root + "/usr/bin/velloran", shot},
                               &output,
                               {"QT_QPA_PLATFORM", "HOME=" + scratch.path(),
                                "XDG_CONFIG_HOME=" + scratch.path() + "/config",
                                "XDG_RUNTIME_DIR=" + runtime}),
              0)
        << output.toStdString();
    const QImage image(shot);
    EXPECT_TRUE(image.width() > 200 && image.height() > 200)
        << "no screenshot at " << shot.toStdString();
    std::cout << "Velloran from the installed package, under Xvfb: " << shot.toStdString()
              << std::endl;
}

} // namespace
