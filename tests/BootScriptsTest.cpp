#include "Bundle.h"
#include "NATLoader.h"
#include "WindowFixture.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <functional>
#include <sys/stat.h>

namespace {

using TestSupport::readAll;

constexpr uid_t kRequester = 4242;

QString privateRoot()
{
    return QStringLiteral(VELLORAN_TEST_SOURCE_DIR "/private_root");
}

} // namespace

// load_install and load_remove for real, as root, in a root of the test's own whose /Library,
// /etc (with systemd's folder) and /tmp are folders of the test: the machine is never touched.
class BootScripts : public WindowFixture
{
protected:
    void SetUp() override
    {
        VELLORAN_REQUIRE_ROOT();
        WindowFixture::SetUp();
        ASSERT_TRUE(work.isValid());
        ASSERT_EQ(inRoot({QStringLiteral("/bin/true")}), 0) << qPrintable(output);
        NATLoader::setStagingFolder(stage());
        QFile::remove(etc(QStringLiteral("natd.conf")));
        QFile::remove(etc(QStringLiteral("rc.common")));
        controller->reflowPopups(false);
        ui().internalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth0)"));
        ui().externalInterface->setCurrentText(QStringLiteral("Ethernet Interface (eth1)"));
        hostBefore = hostState();
    }
    void TearDown() override
    {
        NATLoader::setStagingFolder(QStringLiteral("/tmp"));
        if (loaded) {
            EXPECT_EQ(hostState(), hostBefore) << "the machine's own files changed";
        }
        WindowFixture::TearDown();
    }

    int inRoot(QStringList command, QStringList env = {})
    {
        QStringList args{work.path(), resources()};
        if (!env.isEmpty())
            args << QStringLiteral("/usr/bin/env") << env;
        return TestSupport::run(privateRoot(), args + command, &output);
    }
    int install(bool asRequester = true)
    {
        QStringList env;
        if (asRequester)
            env << QStringLiteral("SUDO_UID=%1").arg(kRequester);
        return inRoot({resources() + QStringLiteral("/load_install")}, env);
    }
    int remove() { return inRoot({resources() + QStringLiteral("/load_remove")}); }

    // What Velloran does before it runs the install script: root's copy, then the two files.
    void stageFiles()
    {
        const QString params = stage() + QStringLiteral("/Velloran.StartupParameters.plist.tmp");
        QFile::remove(params);
        ASSERT_TRUE(QFile::copy(resources() + QStringLiteral("/StartupParameters.plist"), params));
        ASSERT_TRUE(loaded->loader->makeStartupItem());
        ASSERT_TRUE(loaded->loader->makeConfigFile());
        for (const char *name : {"/Velloran.tmp", "/natd.conf.tmp"})
            ASSERT_EQ(::chown(QFile::encodeName(stage() + QLatin1String(name)).constData(),
                              kRequester, kRequester),
                      0);
    }

    // The install script and rc.common in another folder, with a tool view beside them.
    void copyBundleTo(const QString &bundle)
    {
        ASSERT_TRUE(QDir().mkpath(bundle));
        for (const char *name : {"load_install", "rc.common"})
            ASSERT_TRUE(QFile::copy(resources() + QLatin1Char('/') + QLatin1String(name),
                                    bundle + QLatin1Char('/') + QLatin1String(name)));
        QFile toolView(bundle + QStringLiteral("/velloran-toolview"));
        ASSERT_TRUE(toolView.open(QIODevice::WriteOnly));
        toolView.write("#!/bin/sh\nexec \"$@\"\n");
        toolView.setPermissions(toolView.permissions() | QFileDevice::ExeOwner);
    }

    QString resources() const { return QFileInfo(Bundle::resourcePath()).canonicalFilePath(); }
    QString stage() const { return work.path() + QStringLiteral("/tmp"); }
    QString item() const { return work.path() + QStringLiteral("/Library/StartupItems/Velloran"); }
    QString etc(const QString &name) const { return work.path() + QStringLiteral("/etc/") + name; }
    QString unit() const { return etc(QStringLiteral("systemd/system/velloran.service")); }
    QString wants() const
    {
        return etc(QStringLiteral("systemd/system/multi-user.target.wants/velloran.service"));
    }
    QStringList staged() const { return QDir(stage()).entryList(QDir::Files | QDir::System); }

    static QStringList hostState()
    {
        QStringList state;
        for (const char *path : {"/Library/StartupItems/Velloran", "/etc/natd.conf",
                                 "/etc/rc.common", "/etc/systemd/system/velloran.service",
                                 "/etc/systemd/system/multi-user.target.wants/velloran.service"}) {
            const QFileInfo info{QString::fromLatin1(path)};
            state << info.filePath() + QLatin1Char('=') +
                         (info.exists() ? info.lastModified().toString(Qt::ISODateWithMs)
                                        : QStringLiteral("absent"));
        }
        return state;
    }

    QTemporaryDir work;
    QString output;
    QStringList hostBefore;
};

TEST_F(BootScripts, InstallPutsTheItemInPlaceAndRemoveTakesItAway)
{
    stageFiles();
    const QByteArray script = readAll(stage() + QStringLiteral("/Velloran.tmp"));
    const QByteArray config = readAll(stage() + QStringLiteral("/natd.conf.tmp"));

    ASSERT_EQ(install(), 0) << qPrintable(output);
    const QFileInfo installed(item() + QStringLiteral("/Velloran"));
    EXPECT_EQ(readAll(installed.filePath()), script);
    EXPECT_EQ(installed.ownerId(), 0u);
    struct stat st {
    };
    ASSERT_EQ(::stat(QFile::encodeName(installed.filePath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(readAll(item() + QStringLiteral("/StartupParameters.plist")),
              readAll(resources() + QStringLiteral("/StartupParameters.plist")));
    EXPECT_EQ(readAll(etc(QStringLiteral("natd.conf"))), config);
    EXPECT_EQ(staged(), QStringList());

    // The script runs under the rc.common that the machine lacked.
    EXPECT_EQ(inRoot({"/bin/sh", "-n", "/Library/StartupItems/Velloran/Velloran"}), 0)
        << qPrintable(output);
    ASSERT_EQ(inRoot({"/bin/sh", "-c", ". /etc/rc.common; ConsoleMessage \"Starting  it\""}), 0);
    EXPECT_EQ(output, QStringLiteral("Starting  it\n"));

    const QString unitText = QString::fromUtf8(readAll(unit()));
    EXPECT_TRUE(unitText.contains(QStringLiteral("\nType=oneshot\n")));
    EXPECT_TRUE(unitText.contains(QStringLiteral("\nRemainAfterExit=yes\n")));
    EXPECT_TRUE(unitText.contains(QStringLiteral("\nExecStart=\"/var/lib/velloran/boot/"
                                                 "velloran-toolview\" "
                                                 "/Library/StartupItems/Velloran/Velloran\n")))
        << qPrintable(unitText);
    EXPECT_EQ(inRoot({"/usr/bin/systemctl", "is-enabled", "velloran.service"}), 0);
    EXPECT_EQ(output.trimmed(), QStringLiteral("enabled"));
    if (QFileInfo(resources() + QStringLiteral("/velloran-toolview")).isExecutable()) {
        EXPECT_EQ(inRoot({"/usr/bin/systemd-analyze", "verify", "velloran.service"}), 0)
            << qPrintable(output);
    }

    // Starting sharing with start-at-boot on installs again over the item.
    ui().route3->setText(QStringLiteral("9"));
    stageFiles();
    ASSERT_EQ(install(), 0) << qPrintable(output);
    EXPECT_TRUE(readAll(item() + QStringLiteral("/Velloran")).contains(" 192.168.9.1 netmask "));

    ASSERT_EQ(remove(), 0) << qPrintable(output);
    EXPECT_FALSE(QFileInfo::exists(item()));
    EXPECT_FALSE(QFileInfo::exists(unit()));
    EXPECT_FALSE(QFileInfo(wants()).isSymLink());
    EXPECT_NE(inRoot({"/usr/bin/systemctl", "is-enabled", "velloran.service"}), 0);
    EXPECT_FALSE(QFileInfo::exists(etc(QStringLiteral("rc.common"))));

    // Removing what is already gone is no failure.
    EXPECT_EQ(remove(), 0) << qPrintable(output);
}

TEST_F(BootScripts, TheMachinesOwnRcCommonStays)
{
    QFile own(etc(QStringLiteral("rc.common")));
    ASSERT_TRUE(own.open(QIODevice::WriteOnly));
    own.write("ConsoleMessage() { logger \"$*\"; }\n");
    own.close();
    stageFiles();
    ASSERT_EQ(install(), 0) << qPrintable(output);
    ASSERT_EQ(remove(), 0) << qPrintable(output);
    EXPECT_EQ(readAll(etc(QStringLiteral("rc.common"))),
              QByteArray("ConsoleMessage() { logger \"$*\"; }\n"));
}

struct RefusalRow {
    const char *what;
    std::function<void(const QString &stage, const QString &precious)> plant;
    bool asRequester = true;
};

void PrintTo(const RefusalRow &row, std::ostream *os)
{
    *os << row.what;
}

namespace {
QByteArray path8(const QString &stage, const char *name)
{
    return QFile::encodeName(stage + QLatin1Char('/') + QLatin1String(name));
}
} // namespace

class BootScriptRefusal : public BootScripts, public ::testing::WithParamInterface<RefusalRow>
{
};

TEST_P(BootScriptRefusal, InstallsNothingFromUntrustedStagedFiles)
{
    stageFiles();
    const QString precious = work.path() + QStringLiteral("/precious");
    {
        QFile file(precious);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\necho planted\n");
    }
    GetParam().plant(stage(), precious);
    const QStringList before = staged();

    EXPECT_NE(install(GetParam().asRequester), 0);
    EXPECT_TRUE(output.contains(QLatin1String("nothing installed")) ||
                output.contains(QLatin1String("sticky")))
        << qPrintable(output);
    EXPECT_FALSE(QFileInfo::exists(item()));
    EXPECT_FALSE(QFileInfo::exists(etc(QStringLiteral("natd.conf"))));
    EXPECT_FALSE(QFileInfo::exists(unit()));
    EXPECT_EQ(readAll(precious), QByteArray("#!/bin/sh\necho planted\n"));
    EXPECT_EQ(staged(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BootScriptRefusal,
    ::testing::Values(
        RefusalRow{"script is a link",
                   [](const QString &stage, const QString &precious) {
                       ::unlink(path8(stage, "Velloran.tmp").constData());
                       ASSERT_TRUE(QFile::link(precious, stage + QStringLiteral("/Velloran.tmp")));
                   }},
        RefusalRow{"configuration belongs to another user",
                   [](const QString &stage, const QString &) {
                       ASSERT_EQ(::chown(path8(stage, "natd.conf.tmp").constData(), 65534, 65534),
                                 0);
                   }},
        RefusalRow{"parameters list has a second name",
                   [](const QString &stage, const QString &precious) {
                       const QByteArray params =
                           path8(stage, "Velloran.StartupParameters.plist.tmp");
                       ::unlink(params.constData());
                       ASSERT_EQ(
                           ::link(QFile::encodeName(precious).constData(), params.constData()), 0);
                   }},
        RefusalRow{"script is missing",
                   [](const QString &stage, const QString &) {
                       ASSERT_EQ(::unlink(path8(stage, "Velloran.tmp").constData()), 0);
                   }},
        RefusalRow{"script is a folder",
                   [](const QString &stage, const QString &) {
                       ::unlink(path8(stage, "Velloran.tmp").constData());
                       ASSERT_EQ(::mkdir(path8(stage, "Velloran.tmp").constData(), 0755), 0);
                   }},
        RefusalRow{"no requesting user: only root's files count",
                   [](const QString &, const QString &) {}, false},
        RefusalRow{"staging folder writable by all but not sticky",
                   [](const QString &stage, const QString &) {
                       ASSERT_EQ(::chmod(QFile::encodeName(stage).constData(), 0777), 0);
                   }}));

// A copy of the bundle's install script in a folder named `name`, with a tool view beside it;
// runs it and answers its exit status.
// A bundle in a folder of any name installs: the unit runs root's copies, not the folder's.
TEST_F(BootScripts, UnitNamesTheToolViewEvenInAnOddFolder)
{
    const QString odd = QStringLiteral("/Velloran beta 100% $HOME;x");
    const QString bundle = stage() + odd;
    copyBundleTo(bundle);
    stageFiles();

    ASSERT_EQ(inRoot({QStringLiteral("/tmp") + odd + QStringLiteral("/load_install")},
                     {QStringLiteral("SUDO_UID=%1").arg(kRequester)}),
              0)
        << qPrintable(output);
    // verify reads the unit as systemd would and checks that ExecStart names an executable.
    EXPECT_EQ(
        inRoot({"/usr/bin/systemd-analyze", "verify", "/etc/systemd/system/velloran.service"}), 0)
        << qPrintable(output) << qPrintable(QString::fromUtf8(readAll(unit())));
    EXPECT_TRUE(QFileInfo(wants()).isSymLink());
}
