#include "DesktopPackage.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <gtest/gtest.h>
#include <iostream>

namespace {

const QString kInstalledHelper =
    QStringLiteral("/usr/lib/velloran/Velloran.app/Contents/Resources/velloran-helper");

bool haveProgram(const QString &name)
{
    return !QStandardPaths::findExecutable(name).isEmpty();
}

// The polkit action file's action ids with their defaults and the program pkexec may start.
struct PolicyAction {
    QString id;
    QStringList defaults;
    QString execPath;
};

QList<PolicyAction> readPolicy(const QString &path)
{
    QFile file(path);
    QList<PolicyAction> actions;
    if (!file.open(QIODevice::ReadOnly))
        return actions;
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        const auto name = xml.name();
        if (name == QLatin1String("action")) {
            actions.append({xml.attributes().value(QLatin1String("id")).toString(), {}, {}});
        } else if (actions.isEmpty()) {
            continue;
        } else if (name == QLatin1String("allow_any") || name == QLatin1String("allow_inactive") ||
                   name == QLatin1String("allow_active")) {
            actions.last().defaults << xml.readElementText();
        } else if (name == QLatin1String("annotate") &&
                   xml.attributes().value(QLatin1String("key")) ==
                       QLatin1String("org.freedesktop.policykit.exec.path")) {
            actions.last().execPath = xml.readElementText();
        }
    }
    return xml.hasError() ? QList<PolicyAction>() : actions;
}

// "cmake --install" into a folder of the test's own, with the prefix the package uses.
class InstalledFiles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(destdir.isValid());
        root = destdir.path();
        QString output;
        ASSERT_EQ(DesktopPackage::run(QStringLiteral(VELLORAN_CMAKE_COMMAND),
                                      {QStringLiteral("--install"),
                                       QStringLiteral(VELLORAN_TEST_BINARY_DIR),
                                       QStringLiteral("--prefix"), QStringLiteral("/usr")},
                                      &output, {QStringLiteral("DESTDIR=") + root}),
                  0)
            << output.toStdString();
    }

    QTemporaryDir destdir;
    QString root;
};

TEST_F(InstalledFiles, DesktopEntryAndMetainfoValidate)
{
    VELLORAN_REQUIRE(haveProgram("desktop-file-validate") && haveProgram("appstreamcli"),
                     "needs desktop-file-utils and appstream");
    const QString entry = root + "/usr/share/applications/org.velloran.Velloran.desktop";
    const QString metainfo = root + "/usr/share/metainfo/org.velloran.Velloran.metainfo.xml";
    QString output;
    EXPECT_EQ(DesktopPackage::run("desktop-file-validate", {entry}, &output), 0)
        << output.toStdString();
    EXPECT_FALSE(output.contains("error")) << output.toStdString();
    EXPECT_EQ(DesktopPackage::run("appstreamcli", {"validate", "--no-net", metainfo}, &output), 0)
        << output.toStdString();

    // The menu starts the unprivileged launcher, with an icon the theme can find.
    QSettings desktop(entry, QSettings::IniFormat);
    desktop.beginGroup("Desktop Entry");
    EXPECT_EQ(desktop.value("Exec").toString(), "velloran");
    EXPECT_TRUE(desktop.value("Categories").toString().split(';').contains("Network"));
    EXPECT_TRUE(QFileInfo::exists(root + "/usr/share/icons/hicolor/scalable/apps/" +
                                  desktop.value("Icon").toString() + ".svg"));
    // man reads the page without a warning from groff.
    VELLORAN_REQUIRE(haveProgram("man"), "needs man-db");
    EXPECT_EQ(DesktopPackage::run("man",
                                  {"--warnings", "-l", root + "/usr/share/man/man1/velloran.1.gz"},
                                  &output, {"MANWIDTH=80", "MAN_KEEP_STDERR=1"}),
              0);
    EXPECT_TRUE(output.contains("SYNOPSIS")) << output.toStdString();
    EXPECT_FALSE(output.contains("warning")) << output.toStdString();
}

TEST_F(InstalledFiles, LauncherAndPolkitActionPointIntoTheInstalledBundle)
{
    const QFileInfo launcher(root + "/usr/bin/velloran");
    ASSERT_TRUE(launcher.isSymLink());
    EXPECT_EQ(launcher.canonicalFilePath(),
              QFileInfo(root + "/usr/lib/velloran/Velloran.app/Contents/MacOS/Velloran")
                  .canonicalFilePath());
    EXPECT_TRUE(launcher.isExecutable());

    const auto actions =
        readPolicy(root + "/usr/share/polkit-1/actions/org.velloran.Velloran.policy");
    ASSERT_EQ(actions.size(), 1);
    EXPECT_EQ(actions[0].id, "org.velloran.Velloran.helper");
    // The lock stays open without asking again: the kept administrator authorization.
    EXPECT_EQ(actions[0].defaults,
              QStringList({"auth_admin_keep", "auth_admin_keep", "auth_admin_keep"}));
    EXPECT_EQ(actions[0].execPath, kInstalledHelper);
    EXPECT_TRUE(QFileInfo(root + actions[0].execPath).isExecutable())
        << "the action names a helper the install doesn't have";
}

class DebianPackage : public ::testing::Test
{
protected:
    void SetUp() override
    {
        VELLORAN_REQUIRE(haveProgram("dpkg-shlibdeps"), "needs dpkg-dev for shlibdeps");
        QString error;
        deb = DesktopPackage::build(&error);
        ASSERT_FALSE(deb.isEmpty()) << error.toStdString();
    }

    QString field(const QString &name) const
    {
        QString output;
        DesktopPackage::run("dpkg-deb", {"--field", deb, name}, &output);
        return output.trimmed();
    }

    static QStringList names(const QString &relations)
    {
        QStringList list;
        for (const QString &relation : relations.split(',', Qt::SkipEmptyParts))
            for (const QString &alternative : relation.split('|'))
                list << alternative.trimmed().section(' ', 0, 0);
        return list;
    }

    QString deb;
};

TEST_F(DebianPackage, DependsOnWhatVelloranRunsAndRecommendsTheRest)
{
    const QStringList depends = names(field("Depends"));
    // The stand-ins carry libnl inside them; nftables' library is shared.
    for (const char *needed : {"sudo", "iproute2", "procps", "libqt6widgets6", "libqt6dbus6",
                               "libqt6svg6", "libnftables1"})
        EXPECT_TRUE(depends.contains(needed))
            << needed << " missing from " << depends.join(", ").toStdString();
    const QStringList recommends = names(field("Recommends"));
    for (const char *wanted : {"bind9", "polkitd", "pkexec"}) {
        EXPECT_TRUE(recommends.contains(wanted)) << wanted;
        EXPECT_FALSE(depends.contains(wanted)) << wanted << " must stay optional";
    }

    // Every relation resolves on this Debian: no misspelt or vanished package names.
    QString output;
    EXPECT_EQ(DesktopPackage::run(
                  "apt-get", {"install", "--simulate", "--no-install-recommends", deb}, &output),
              0)
        << output.toStdString();
}

TEST_F(DebianPackage, InstallsNoBootUnitAndOnlyCleansUpAfterItself)
{
    QString output;
    QTemporaryDir control;
    ASSERT_EQ(DesktopPackage::run("dpkg-deb", {"--control", deb, control.path()}, &output), 0);
    EXPECT_EQ(QDir(control.path()).entryList(QDir::Files, QDir::Name),
              QStringList({"control", "md5sums", "postrm", "prerm"}));

    ASSERT_EQ(DesktopPackage::run("dpkg-deb", {"--contents", deb}, &output), 0);
    for (const char *place : {"/systemd/", "./etc/", "/init.d/"})
        EXPECT_FALSE(output.contains(place)) << place << " in\n" << output.toStdString();
}

TEST_F(DebianPackage, StartsFromTheInstalledLauncherUnderXvfb)
{
    VELLORAN_REQUIRE(haveProgram("xvfb-run") && haveProgram("xwininfo") && haveProgram("import"),
                     "needs xvfb, x11-utils and imagemagick");
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const QString root = scratch.path() + "/root";
    QString error;
    ASSERT_TRUE(DesktopPackage::unpack(deb, root, &error)) << error.toStdString();
    const QString runtime = scratch.path() + "/runtime";
    ASSERT_TRUE(QDir().mkpath(runtime));
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    const QString artifacts = QStringLiteral(VELLORAN_TEST_BINARY_DIR "/artifacts");
    ASSERT_TRUE(QDir().mkpath(artifacts));
    const QString shot = artifacts + "/installed-velloran.png";
    QFile::remove(shot);
    QString output;
    // The window goes to the virtual X display, not to the tests' offscreen platform.
    EXPECT_EQ(DesktopPackage::run(
                  "xvfb-run",
                  {"-a", "-s", "-screen 0 1280x1024x24", VELLORAN_TOOLS_DIR "/screenshot",
                   root + "/usr/bin/velloran", shot},
                  &output,
                  {"QT_QPA_PLATFORM", "HOME=" + scratch.path(),
                   "XDG_CONFIG_HOME=" + scratch.path() + "/config", "XDG_RUNTIME_DIR=" + runtime},
                  120000),
              0)
        << output.toStdString();
    const QImage image(shot);
    ASSERT_FALSE(image.isNull()) << "no screenshot at " << shot.toStdString();
    EXPECT_GT(image.width(), 200);
    EXPECT_GT(image.height(), 200);
    std::cout << "Velloran from the installed package, under Xvfb: " << shot.toStdString()
              << std::endl;
}

} // namespace
