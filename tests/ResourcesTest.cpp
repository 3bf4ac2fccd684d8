// The bundle's resources, the interface records and the notification center.
#include "Bundle.h"
#include "InterfaceData.h"
#include "InterfaceRegistry.h"
#include "NotificationCenter.h"
#include "TestSupport.h"
#include "interfaceChecker.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <memory>

// Plain ASCII RTF, every group closed and nothing outside the outer one.
static bool isPlainRtf(const QByteArray &text)
{
    int depth = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (uchar(c) > 127 || (depth == 0 && c != '{' && c != '\n'))
            return false;
        c == '\\' ? ++i : depth += (c == '{') - (c == '}');
    }
    return text.startsWith("{\\rtf1") && depth == 0;
}

TEST(Resources, TheBundleCarriesWhatVelloranLooksUpAtItsPaths)
{
    const QString resources = Bundle::resourcePath();
    for (const char *script : {"load_install", "load_remove", "named_setup"})
        EXPECT_TRUE(QFileInfo(resources + '/' + script).isExecutable()) << script;
    EXPECT_TRUE(
        QFileInfo::exists(Bundle::bundlePath() + "/Contents/Resources/StartupParameters.plist"));
    for (const char *document : {"Readme", "Setup"})
        EXPECT_TRUE(isPlainRtf(TestSupport::readAll(Bundle::pathForResource(document, "rtf"))))
            << document;
    QImage images[2];
    for (int i : {0, 1}) {
        images[i] = QImage(Bundle::pathForResource(i ? "unlocked" : "locked", "svg"))
                        .convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(images[i].size(), QSize(32, 32)) << "no SVG image support (Debian libqt6svg6)?";
        int drawn = 0;
        for (int p = 0; p < 32 * 32; ++p)
            drawn += qAlpha(images[i].pixel(p % 32, p / 32)) > 128;
        EXPECT_GT(drawn, 32 * 32 / 4) << i;
    }
    EXPECT_NE(images[0], images[1]);
    VELLORAN_REQUIRE(QFileInfo("/usr/bin/named-checkconf").isExecutable(),
                     "needs named-checkconf (Debian bind9-utils)");
    // It includes the list of clients that named_setup writes: one like it, in a root of our own.
    QTemporaryDir root;
    ASSERT_TRUE(QDir(root.path()).mkpath("etc") && QDir(root.path()).mkpath("var/cache/bind") &&
                QFile::copy(resources + "/named.conf", root.filePath("etc/named.conf")));
    TestSupport::writeFile(root.filePath("etc/named.clients"),
                           "acl velloran_clients {\n\tlocalhost;\n\t198.51.100.0/24;\n};\n");
    QString printed;
    EXPECT_EQ(TestSupport::run("/usr/bin/named-checkconf", {"-t", root.path(), "/etc/named.conf"},
                               &printed),
              0)
        << qPrintable(printed);
}

TEST(InterfaceRecords, OrderLookupDescriptionAndEnumeration)
{
    // Names compare by code point; "<", "=" or ">" between each pair.
    for (const QString row :
         {"en0<ppp0", "ppp0>eth0", "Eth0<eth0", "en10<en2", "en<en0", "ppp0=ppp0", "ppp0<q"}) {
        const QStringList names = row.split(QRegularExpression("[<=>]"));
        const int result = InterfaceEntry("a", names[0]).compare(InterfaceEntry("b", names[1]));
        EXPECT_EQ(result < 0   ? '<'
                  : result > 0 ? '>'
                               : '=',
                  row[names[0].size()].toLatin1())
            << qPrintable(row);
    }
    InterfaceData data;
    EXPECT_FALSE(data.bsdNameForInterface("Same"));
    data.interfaces() << InterfaceEntry("Same", "eth0") << InterfaceEntry("Same", "eth1");
    EXPECT_EQ(data.bsdNameForInterface("Same"), QStringLiteral("eth0"));
    EXPECT_FALSE(data.bsdNameForInterface("same") || data.bsdNameForInterface(QString()));
    EXPECT_EQ(InterfaceEntry("Modem or PPPoE (ppp0)", "ppp0").description(),
              "userName: Modem or PPPoE (ppp0), bsdName ppp0\n");

    TestSupport::FakeSysfs sysfs;
    InterfaceRegistry::setRoot(sysfs.root());
    for (bool empty : {true, false}) {
        QStringList titles;
        const auto found = interfaceChecker::sharedInstance().getInterfaceData();
        for (const InterfaceEntry &e : found->interfaces())
            titles << e.userName() + '=' + e.bsdName();
        EXPECT_EQ(titles.join(','),
                  empty ? "Modem or PPPoE (ppp0)=ppp0"
                        : "Serial (ttyACM0)=ttyACM0,Serial (ttyUSB0)=ttyUSB0,Modem or PPPoE "
                          "(ppp0)=ppp0,Ethernet Interface (eth0)=eth0,AirPort Card "
                          "(wlan0)=wlan0,Ethernet Interface (wlan1)=wlan1");
        EXPECT_TRUE(found->foundPPP());
        EXPECT_EQ(found->foundAirPort(), !empty);
        sysfs.addNet("lo", 1, 772);
        sysfs.addNet("wlan1", 5, 1, true);
        sysfs.addNet("eth0", 2, 1);
        sysfs.addNet("wlan0", 3, 1, true);
        sysfs.addNet("ppp1", 4, 512);
        sysfs.addTty("ttyACM0", "cdc_acm");
        sysfs.addTty("ttyUSB0", "pl2303", "usb-serial");
        sysfs.addTty("ttyS0", "serial8250");
        sysfs.addTty("tty1", QString());
    }
    InterfaceRegistry::setRoot("/sys");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            InterfaceRegistry::setRoot("/nonexistent/sysfs");
            interfaceChecker::sharedInstance().getInterfaceData();
        },
        ::testing::ExitedWithCode(1), "");
}

TEST(NotificationCenter, DeliversTheNameFromTheSenderObservedAndForgetsRemovedObservers)
{
    NotificationCenter center;
    QObject sender, stranger, one, any, first, second;
    auto gone = std::make_unique<QObject>();
    QStringList heard;
    auto hear = [&](const char *who) {
        return [&heard, who](const Notification &n) { heard << who + (':' + n.name); };
    };
    center.addObserver(&one, "A", &sender, hear("one"));
    center.addObserver(&one, "B", &sender, hear("one"));
    center.addObserver(&any, "A", nullptr, hear("any"));
    center.addObserver(gone.get(), "A", &sender, hear("gone"));
    center.addObserver(&first, "C", &sender,
                       [&](const Notification &) { center.removeObserver(&second); });
    center.addObserver(&second, "C", &sender, hear("second"));
    gone.reset();
    for (QObject *from : {&sender, &stranger, static_cast<QObject *>(nullptr)})
        center.postNotification("A", from);
    center.postNotification("C", &sender);
    center.postNotification("B", &sender);
    center.removeObserver(&one);
    center.postNotification("A", &sender);
    EXPECT_EQ(heard, (QStringList{"one:A", "any:A", "any:A", "any:A", "one:B", "any:A"}));
}
