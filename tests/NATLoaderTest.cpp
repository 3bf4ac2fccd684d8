#include "NATLoader.h"
#include "SystemLog.h"
#include "WindowFixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

namespace {

using TestSupport::readAll;
using TestSupport::writeFile;

QByteArray golden(const char *name)
{
    return readAll(QStringLiteral(VELLORAN_TEST_SOURCE_DIR "/golden/") + QLatin1String(name));
}

QByteArray joined(const QStringList &lines)
{
    return lines.join(QString()).toLatin1();
}

} // namespace

// The real window, with its loader staging into a folder of the test's own.
class Loader : public WindowFixture
{
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        NATLoader::setStagingFolder(stage.path());
        controller->reflowPopups(false);
        select(ui().internalInterface, "Ethernet Interface (eth0)");
        select(ui().externalInterface, "Ethernet Interface (eth1)");
        setAddress(ui().route1, ui().route2, ui().route3, ui().route4, {"192", "168", "2", "1"});
        setAddress(ui().sub1, ui().sub2, ui().sub3, ui().sub4, {"255", "255", "255", "0"});
        setOptions(false);
    }
    void TearDown() override
    {
        SystemLog::setHandler(nullptr);
        NATLoader::setStagingFolder(QStringLiteral("/tmp"));
        WindowFixture::TearDown();
    }

    void select(QComboBox *menu, const char *title)
    {
        const int index = menu->findText(QLatin1String(title));
        ASSERT_GE(index, 0) << title;
        menu->setCurrentIndex(index);
    }
    void setOptions(bool on)
    {
        for (QCheckBox *box : {ui().ports, ui().sockets, ui().aliasLog, ui().denyIncoming,
                               ui().denyLog, ui().dynamic})
            box->setChecked(on);
    }
    NATLoader *loader() { return loaded->loader; }
    QString script() const { return stage.path() + QStringLiteral("/Velloran.tmp"); }
    QString config() const { return stage.path() + QStringLiteral("/natd.conf.tmp"); }
    QStringList staged() const { return QDir(stage.path()).entryList(QDir::Files | QDir::System); }

    QTemporaryDir stage;
};

TEST_F(Loader, StagesAtTheFixedPathsByDefault)
{
    NATLoader::setStagingFolder(QStringLiteral("/tmp"));
    EXPECT_EQ(NATLoader::configFilePath(), QStringLiteral("/tmp/natd.conf.tmp"));
    EXPECT_EQ(NATLoader::startupItemPath(), QStringLiteral("/tmp/Velloran.tmp"));
}

TEST_F(Loader, ConfigFileWithEveryOptionMatchesGolden)
{
    setOptions(true);
    ASSERT_TRUE(loader()->makeConfigFile());
    EXPECT_EQ(readAll(config()), golden("natd.conf.all"));
}

TEST_F(Loader, ConfigFileWithoutOptionsMatchesGolden)
{
    ASSERT_TRUE(loader()->makeConfigFile());
    EXPECT_EQ(readAll(config()), golden("natd.conf.none"));
}

TEST_F(Loader, ConfigFileSkipsAnUnknownElementWithOneDiagnostic)
{
    QStringList logged;
    SystemLog::setHandler([&](const QString &entry) { logged << entry; });
    const auto lines =
        NATLoader::natConfigLines({"-same_ports", "-verbose", "-log", "-interface", "eth1"});
    ASSERT_TRUE(lines);
    EXPECT_EQ(joined(*lines), golden("natd.conf.unknown"));
    EXPECT_EQ(logged, QStringList{"Bad paramater in parseNatArgs:"});
}

struct ConfigRow {
    const char *what;
    QStringList args;
    QStringList body; // the lines between the three header lines and the two closing ones
    int diagnostics;
};

void PrintTo(const ConfigRow &row, std::ostream *os)
{
    *os << row.what;
}

class ConfigTranslation : public ::testing::TestWithParam<ConfigRow>
{
};

TEST_P(ConfigTranslation, FollowsTheListInOrder)
{
    const ConfigRow &row = GetParam();
    int diagnostics = 0;
    SystemLog::setHandler([&](const QString &) { ++diagnostics; });
    const auto lines = NATLoader::natConfigLines(row.args);
    SystemLog::setHandler(nullptr);
    ASSERT_TRUE(lines);
    ASSERT_EQ(lines->size(), row.body.size() + 5);
    EXPECT_EQ(lines->mid(3, row.body.size()), row.body);
    EXPECT_EQ(lines->last(), QStringLiteral("# End natd config file\n"));
    EXPECT_EQ(diagnostics, row.diagnostics);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ConfigTranslation,
    ::testing::Values(ConfigRow{"log_denied is not log", {"-log_denied"}, {"log_denied yes\n"}, 0},
                      ConfigRow{"log alone", {"-log"}, {"log yes\n"}, 0},
                      ConfigRow{"list order, not table order",
                                {"-dynamic", "-same_ports", "-interface", "en0"},
                                {"dynamic yes\n", "same_ports yes\n", "interface en0\n"},
                                0},
                      ConfigRow{"name after -interface is taken as is",
                                {"-interface", "-deny_incoming"},
                                {"interface -deny_incoming\n"},
                                0},
                      ConfigRow{"substring match", {"x-use_socketsx"}, {"use_sockets yes\n"}, 0},
                      ConfigRow{"unknown elements between known ones",
                                {"-punch_fw", "-deny_incoming", "", "-interface", "eth0"},
                                {"deny_incoming yes\n", "interface eth0\n"},
                                2},
                      ConfigRow{"empty list", {}, {}, 0}));

TEST(LoaderConfig, RefusesAMissingOrUnsafeInterfaceName)
{
    EXPECT_FALSE(NATLoader::natConfigLines({"-log", "-interface"}));
    EXPECT_FALSE(NATLoader::natConfigLines({"-interface", "eth0\nlog_denied yes"}));
    EXPECT_FALSE(NATLoader::natConfigLines({"-interface", "eth0 "}));
}

TEST_F(Loader, StartupScriptMatchesGolden)
{
    ASSERT_TRUE(loader()->makeStartupItem());
    EXPECT_EQ(readAll(script()), golden("Velloran.plain"));
    EXPECT_FALSE(controller->aliasing().on);
}

TEST_F(Loader, StartupScriptOverOneInterfaceEndsTheInterfaceLineWithAlias)
{
    select(ui().externalInterface, "Ethernet Interface (eth0)");
    ASSERT_TRUE(loader()->makeStartupItem());
    EXPECT_EQ(readAll(script()), golden("Velloran.alias"));
    EXPECT_TRUE(controller->aliasing().on);
}

TEST(LoaderScript, WithPPPoEAndNameServerMatchesGolden)
{
    const QStringList ifconfig{"eth0", "192.168.2.1", "netmask", "255.255.255.0"};
    const auto pppoe = NATLoader::startupLines(QStringLiteral("pppoe0"), ifconfig, false);
    ASSERT_TRUE(pppoe);
    EXPECT_EQ(joined(*pppoe), golden("Velloran.pppoe"));
    const auto dns = NATLoader::startupLines(QStringLiteral("eth1"), ifconfig, true);
    ASSERT_TRUE(dns);
    EXPECT_EQ(joined(*dns), golden("Velloran.named"));
}

TEST_F(Loader, SameSettingsGiveTheSameBytesAndAChangeShows)
{
    setOptions(true);
    ASSERT_TRUE(loader()->makeStartupItem());
    ASSERT_TRUE(loader()->makeConfigFile());
    const QByteArray firstScript = readAll(script());
    const QByteArray firstConfig = readAll(config());
    ASSERT_TRUE(loader()->makeStartupItem());
    ASSERT_TRUE(loader()->makeConfigFile());
    EXPECT_EQ(readAll(script()), firstScript);
    EXPECT_EQ(readAll(config()), firstConfig);

    ui().route3->setText(QStringLiteral("7"));
    ui().denyLog->setChecked(false);
    ASSERT_TRUE(loader()->makeStartupItem());
    ASSERT_TRUE(loader()->makeConfigFile());
    EXPECT_TRUE(readAll(script()).contains("/sbin/ifconfig eth0 192.168.7.1 netmask"));
    EXPECT_FALSE(readAll(config()).contains("log_denied"));
    EXPECT_LT(readAll(config()).size(), firstConfig.size()); // rewritten, not appended to
}

struct InjectionRow {
    const char *what;
    const char *router3; // typed into the third router field
    const char *interfaceName;
    bool internal; // the odd interface is the internal one (else the external one)
};

void PrintTo(const InjectionRow &row, std::ostream *os)
{
    *os << row.what;
}

class LoaderInjection : public Loader, public ::testing::WithParamInterface<InjectionRow>
{
};

TEST_P(LoaderInjection, NothingReachesTheBootScript)
{
    const InjectionRow &row = GetParam();
    // A file of ours from an earlier run must not be left for the install script either.
    ASSERT_TRUE(loader()->makeStartupItem());
    ASSERT_TRUE(loader()->makeConfigFile());

    if (row.interfaceName) {
        sysfs.addNet(QString::fromUtf8(row.interfaceName), 9);
        controller->reflowPopups(true);
        const QString title = QStringLiteral("Ethernet Interface (%1)").arg(row.interfaceName);
        select(row.internal ? ui().internalInterface : ui().externalInterface,
               title.toUtf8().constData());
    }
    if (row.router3)
        ui().route3->setText(QString::fromUtf8(row.router3));

    EXPECT_FALSE(loader()->getStartupLines());
    EXPECT_FALSE(loader()->makeStartupItem());
    EXPECT_FALSE(QFileInfo::exists(script()));
    if (row.interfaceName && !row.internal) {
        EXPECT_FALSE(loader()->makeConfigFile());
        EXPECT_EQ(staged(), QStringList());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LoaderInjection,
    ::testing::Values(InjectionRow{"command separator", "2;reboot", nullptr, false},
                      InjectionRow{"command substitution", "$(id)", nullptr, false},
                      InjectionRow{"backquotes", "`id`", nullptr, false},
                      InjectionRow{"blank splits the word", "2 ", nullptr, false},
                      InjectionRow{"line feed", "2\n/bin/sh", nullptr, false},
                      InjectionRow{"redirection", "2>/etc/passwd", nullptr, false},
                      InjectionRow{"glob", "*", nullptr, false},
                      InjectionRow{"non-ASCII digit", "\xd9\xa2", nullptr, false},
                      InjectionRow{"internal name with ;", nullptr, "e;reboot", true},
                      InjectionRow{"internal name with $", nullptr, "e$PATH", true},
                      InjectionRow{"external name with `", nullptr, "e`id`", false},
                      InjectionRow{"external name with |", nullptr, "e|sh", false}));

TEST_F(Loader, PlainWordsOnlyStillGiveTheScriptAsLaidOut)
{
    setAddress(ui().route1, ui().route2, ui().route3, ui().route4, {"010", "", "2", "1"});
    setAddress(ui().sub1, ui().sub2, ui().sub3, ui().sub4, {"255", "255", "255", "0"});
    sysfs.addNet(QStringLiteral("br-lan_0.1@x"), 9);
    controller->reflowPopups(true);
    select(ui().internalInterface, "Ethernet Interface (br-lan_0.1@x)");
    const auto lines = loader()->getStartupLines();
    ASSERT_TRUE(lines);
    EXPECT_EQ(lines->at(11),
              QStringLiteral("/sbin/ifconfig br-lan_0.1@x 010..2.1 netmask 255.255.255.0\n"));
}

enum class Planted { LinkToFile, DanglingLink, HardLink, Fifo, Directory, OtherOwner };

struct PlantRow {
    const char *what;
    Planted kind;
};

void PrintTo(const PlantRow &row, std::ostream *os)
{
    *os << row.what;
}

class LoaderStaging : public Loader, public ::testing::WithParamInterface<PlantRow>
{
};

// Someone put something at the staging path first: the write is refused and it stays as it was.
TEST_P(LoaderStaging, RefusesWhatIsAlreadyThereAndLeavesItAlone)
{
    const Planted kind = GetParam().kind;
    if (kind == Planted::OtherOwner)
        VELLORAN_REQUIRE_ROOT();

    QTemporaryDir elsewhere;
    std::vector<int> readers; // a careless writer then fills the FIFO instead of hanging
    const QString target = elsewhere.path() + QStringLiteral("/precious");
    writeFile(target, "keep me\n");

    for (const QString &path : {script(), config()}) {
        SCOPED_TRACE(path.toStdString());
        switch (kind) {
        case Planted::LinkToFile:
            ASSERT_TRUE(QFile::link(target, path));
            break;
        case Planted::DanglingLink:
            ASSERT_TRUE(QFile::link(elsewhere.path() + QStringLiteral("/new"), path));
            break;
        case Planted::HardLink:
            ASSERT_EQ(
                ::link(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()),
                0);
            break;
        case Planted::Fifo:
            ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
            readers.push_back(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK));
            break;
        case Planted::Directory:
            ASSERT_TRUE(QDir().mkdir(path));
            break;
        case Planted::OtherOwner:
            writeFile(path, "theirs\n");
            ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
            ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0666), 0);
            break;
        }
    }

    EXPECT_FALSE(loader()->makeStartupItem());
    EXPECT_FALSE(loader()->makeConfigFile());

    for (const int fd : readers) {
        char byte;
        EXPECT_LE(::read(fd, &byte, 1), 0);
        ::close(fd);
    }
    EXPECT_EQ(readAll(target), QByteArray("keep me\n"));
    EXPECT_FALSE(QFileInfo::exists(elsewhere.path() + QStringLiteral("/new")));
    for (const QString &path : {script(), config()}) {
        const QFileInfo info(path);
        switch (kind) {
        case Planted::LinkToFile:
        case Planted::DanglingLink:
            EXPECT_TRUE(info.isSymLink());
            break;
        case Planted::OtherOwner:
            EXPECT_EQ(readAll(path), QByteArray("theirs\n"));
            EXPECT_EQ(info.ownerId(), 65534u);
            break;
        default:
            EXPECT_TRUE(info.exists());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, LoaderStaging,
                         ::testing::Values(PlantRow{"link to a file", Planted::LinkToFile},
                                           PlantRow{"dangling link", Planted::DanglingLink},
                                           PlantRow{"hard link", Planted::HardLink},
                                           PlantRow{"fifo", Planted::Fifo},
                                           PlantRow{"directory", Planted::Directory},
                                           PlantRow{"another user's file", Planted::OtherOwner}));

TEST_F(Loader, ReplacesItsOwnStagedFileWithTheDefaultMode)
{
    writeFile(script(), QByteArray(4096, 'x'));
    ASSERT_TRUE(loader()->makeStartupItem());
    EXPECT_EQ(readAll(script()), golden("Velloran.plain"));

    const mode_t mask = ::umask(0);
    ::umask(mask);
    ASSERT_TRUE(loader()->makeConfigFile());
    struct stat st {
    };
    ASSERT_EQ(::stat(QFile::encodeName(config()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST_F(Loader, NoFileWithoutAnInterface)
{
    sysfs.removeNet(QStringLiteral("eth0"));
    sysfs.removeNet(QStringLiteral("eth1"));
    controller->reflowPopups(false);
    ui().externalInterface->setCurrentIndex(-1);
    EXPECT_FALSE(loader()->makeStartupItem());
    EXPECT_FALSE(loader()->makeConfigFile());
    EXPECT_EQ(staged(), QStringList());
}
