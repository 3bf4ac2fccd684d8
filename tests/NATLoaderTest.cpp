// The boot files NATLoader writes from the real window: the bytes, the refusals, the staging.
#include "SystemLog.h"
#include "WindowFixture.h"

#include <QDir>
#include <QFile>
#include <fcntl.h>
#include <sys/stat.h>

using TestSupport::readAll;

class Loader : public WindowFixture
{
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        choose("eth1", "eth0");
        type("192.168.2.1");
        for (QCheckBox *box : options())
            box->setChecked(false);
    }
    NATLoader *loader() { return loaded->loader; }
    QString script() const { return stage.filePath("Velloran.tmp"); }
    QString config() const { return stage.filePath("natd.conf.tmp"); }
    QStringList staged() const { return QDir(stage.path()).entryList(QDir::Files | QDir::System); }
    void addInterface(const QString &name)
    {
        sysfs.addNet(name, 9);
        controller->reflowPopups(true);
    }
};

class Golden : public Loader, public ::testing::WithParamInterface<const char *>
{
};

TEST_P(Golden, BootFileMatchesByteForByte)
{
    const QString name = GetParam();
    const QStringList ifconfig{"eth0", "192.168.2.1", "netmask", "255.255.255.0"};
    std::optional<QStringList> lines;
    if (name == "natd.conf.all" || name == "natd.conf.none") {
        for (QCheckBox *box : options())
            box->setChecked(name.endsWith("all"));
        ASSERT_TRUE(loader()->makeConfigFile());
        lines = QStringList(QString::fromLatin1(readAll(config())));
    } else if (name == "natd.conf.unknown") {
        lines =
            NATLoader::natConfigLines({"-same_ports", "-verbose", "-log", "-interface", "eth1"});
        EXPECT_EQ(rec.events, QStringList{"log Bad paramater in parseNatArgs:"});
    } else if (name == "Velloran.plain" || name == "Velloran.alias") {
        if (name.endsWith("alias"))
            choose("eth0", "eth0");
        TestSupport::writeFile(script(), QByteArray(4096, 'x')); // our own earlier file is replaced
        ASSERT_TRUE(loader()->makeStartupItem());
        lines = QStringList(QString::fromLatin1(readAll(script())));
        EXPECT_EQ(controller->aliasing().on, name.endsWith("alias"));
    } else {
        lines = NATLoader::startupLines(name.endsWith("pppoe") ? "pppoe0" : "eth1", ifconfig,
                                        name.endsWith("named"));
    }
    ASSERT_TRUE(lines);
    EXPECT_EQ(lines->join(QString()).toLatin1(),
              readAll(QStringLiteral(VELLORAN_TEST_SOURCE_DIR "/golden/") + name));
}

INSTANTIATE_TEST_SUITE_P(Files, Golden,
                         ::testing::Values("natd.conf.all", "natd.conf.none", "natd.conf.unknown",
                                           "Velloran.plain", "Velloran.alias", "Velloran.pppoe",
                                           "Velloran.named"),
                         [](const auto &row) {
                             return QString(row.param).replace('.', '_').toStdString();
                         });

struct ConfigRow {
    const char *what, *args, *body; // "|" between elements and lines; body "!" for a refusal
    int diagnostics;
};
void PrintTo(const ConfigRow &row, std::ostream *os)
{
    *os << row.what;
}
class ConfigLines : public ::testing::TestWithParam<ConfigRow>
{
};

TEST_P(ConfigLines, FollowTheListInOrderAndRefuseUnsafeNames)
{
    const ConfigRow &row = GetParam();
    CapturedFeedback feedback;
    const auto lines =
        NATLoader::natConfigLines(*row.args ? QString(row.args).split('|') : QStringList());
    if (QLatin1String(row.body) == "!") {
        EXPECT_FALSE(lines);
        return;
    }
    ASSERT_TRUE(lines);
    EXPECT_EQ(lines->mid(3, lines->size() - 5).join('|'),
              QString(row.body).replace('|', "\n|") + (*row.body ? "\n" : ""));
    EXPECT_EQ(lines->last(), QStringLiteral("# End natd config file\n"));
    EXPECT_EQ(feedback.log().size(), row.diagnostics);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ConfigLines,
    ::testing::Values(
        ConfigRow{"log_denied is not log", "-log_denied", "log_denied yes", 0},
        ConfigRow{"log alone", "-log", "log yes", 0},
        ConfigRow{"list order", "-dynamic|-same_ports|-interface|en0",
                  "dynamic yes|same_ports yes|interface en0", 0},
        ConfigRow{"name taken as is", "-interface|-deny_incoming", "interface -deny_incoming", 0},
        ConfigRow{"substring match", "x-use_socketsx", "use_sockets yes", 0},
        ConfigRow{"unknown between known", "-punch_fw|-deny_incoming||-interface|eth0",
                  "deny_incoming yes|interface eth0", 2},
        ConfigRow{"empty list", "", "", 0}, ConfigRow{"missing name", "-log|-interface", "!", 0},
        ConfigRow{"name with a line feed", "-interface|eth0\nlog_denied yes", "!", 0},
        ConfigRow{"name with a blank", "-interface|eth0 ", "!", 0}));

struct InjectionRow {
    const char *what, *router3, *name; // name: an interface chosen as the internal one
    bool external;                     // ... or as the external one
};
void PrintTo(const InjectionRow &row, std::ostream *os)
{
    *os << row.what;
}
class Injection : public Loader, public ::testing::WithParamInterface<InjectionRow>
{
};

TEST_P(Injection, NothingReachesTheBootScript)
{
    const InjectionRow &row = GetParam();
    ASSERT_TRUE(loader()->makeStartupItem()); // an earlier file must not be left to install
    ASSERT_TRUE(loader()->makeConfigFile());
    if (row.name) {
        addInterface(row.name);
        row.external ? choose(row.name, "eth0") : choose("eth1", row.name);
    } else {
        ui().route3->setText(QString::fromUtf8(row.router3));
    }
    EXPECT_FALSE(loader()->getStartupLines() || loader()->makeStartupItem());
    EXPECT_FALSE(QFileInfo::exists(script()));
    if (row.external) {
        EXPECT_FALSE(loader()->makeConfigFile());
        EXPECT_EQ(staged(), QStringList());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Injection,
    ::testing::Values(InjectionRow{"separator", "2;reboot", nullptr, false},
                      InjectionRow{"substitution", "$(id)", nullptr, false},
                      InjectionRow{"backquotes", "`id`", nullptr, false},
                      InjectionRow{"blank", "2 ", nullptr, false},
                      InjectionRow{"line feed", "2\n/bin/sh", nullptr, false},
                      InjectionRow{"redirection", "2>/etc/passwd", nullptr, false},
                      InjectionRow{"glob", "*", nullptr, false},
                      InjectionRow{"non-ASCII digit", "\xd9\xa2", nullptr, false},
                      InjectionRow{"internal ;", nullptr, "e;reboot", false},
                      InjectionRow{"internal $", nullptr, "e$PATH", false},
                      InjectionRow{"internal :", nullptr, "e:1", false},
                      InjectionRow{"external `", nullptr, "e`id`", true},
                      InjectionRow{"external |", nullptr, "e|sh", true}),
    [](const auto &row) { return std::to_string(row.index); });

TEST_F(Loader, PlainWordsGiveTheScriptAsLaidOutAndAChangeRewritesIt)
{
    type("010..2.1");
    addInterface("br-lan_0.1@x");
    choose("eth1", "br-lan_0.1@x");
    ASSERT_TRUE(loader()->makeStartupItem());
    ui().denyLog->setChecked(true);
    ASSERT_TRUE(loader()->makeConfigFile());
    const qint64 before = QFileInfo(config()).size();
    EXPECT_TRUE(readAll(script()).contains(
        "\n/sbin/ifconfig br-lan_0.1@x 010..2.1 netmask 255.255.255.0\n"));
    ui().denyLog->setChecked(false);
    ASSERT_TRUE(loader()->makeConfigFile());
    EXPECT_LT(QFileInfo(config()).size(), before); // rewritten, not appended to
    const mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat st {
    };
    ASSERT_EQ(::stat(QFile::encodeName(config()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
    // No interface at all: no file.
    QFile::remove(script());
    QFile::remove(config());
    sysfs.removeNet("eth0");
    sysfs.removeNet("eth1");
    sysfs.removeNet("br-lan_0.1@x");
    controller->reflowPopups(false);
    ui().externalInterface->setCurrentIndex(-1);
    EXPECT_FALSE(loader()->makeStartupItem() || loader()->makeConfigFile());
    EXPECT_EQ(staged(), QStringList());
}

class Staging : public Loader, public ::testing::WithParamInterface<std::string>
{
};

// Someone put something at the staging path first: the write is refused and it stays as it was.
TEST_P(Staging, RefusesWhatIsAlreadyThereAndLeavesItAlone)
{
    const std::string kind = GetParam();
    if (kind == "OtherOwner")
        VELLORAN_REQUIRE_ROOT();
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath("precious");
    TestSupport::writeFile(target, "keep me\n");
    std::vector<int> readers; // a careless writer then fills the FIFO instead of hanging
    for (const QString &path : {script(), config()}) {
        const QByteArray p = QFile::encodeName(path);
        if (kind == "LinkToFile" || kind == "DanglingLink") {
            ASSERT_TRUE(
                QFile::link(kind == "LinkToFile" ? target : elsewhere.filePath("new"), path));
        } else if (kind == "HardLink") {
            ASSERT_EQ(::link(QFile::encodeName(target).constData(), p.constData()), 0);
        }
        if (kind == "Fifo") {
            ASSERT_EQ(::mkfifo(p.constData(), 0600), 0);
            readers.push_back(::open(p.constData(), O_RDONLY | O_NONBLOCK));
        }
        if (kind == "Directory") {
            ASSERT_TRUE(QDir().mkdir(path));
        }
        if (kind == "OtherOwner") {
            TestSupport::writeFile(path, "theirs\n");
            ASSERT_EQ(::chown(p.constData(), 65534, 65534) | ::chmod(p.constData(), 0666), 0);
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
    EXPECT_FALSE(QFileInfo::exists(elsewhere.filePath("new")));
    for (const QString &path : {script(), config()}) {
        const QFileInfo info(path);
        EXPECT_EQ(info.isSymLink(), kind == "LinkToFile" || kind == "DanglingLink");
        EXPECT_TRUE(info.exists() || kind == "DanglingLink");
        if (kind == "OtherOwner") {
            EXPECT_EQ(readAll(path) + QByteArray::number(info.ownerId()), "theirs\n65534");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Staging,
                         ::testing::Values("LinkToFile", "DanglingLink", "HardLink", "Fifo",
                                           "Directory", "OtherOwner"),
                         [](const auto &row) { return row.param; });
