#include "Bundle.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>

namespace {

using TestSupport::readAll;

// Every group closed, nothing outside the outer one, plain ASCII as the document header says.
bool isPlainRtf(const QByteArray &text)
{
    if (!text.startsWith("{\\rtf1"))
        return false;
    int depth = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (static_cast<unsigned char>(c) > 127)
            return false;
        if (depth == 0 && c != '{' && c != '\n')
            return false;
        if (c == '\\')
            ++i;
        else if (c == '{')
            ++depth;
        else if (c == '}')
            --depth;
    }
    return depth == 0;
}

} // namespace

TEST(Resources, TheBundleCarriesWhatVelloranLooksUpAtItsPaths)
{
    const QString resources = Bundle::resourcePath();
    for (const char *script : {"load_install", "load_remove", "named_setup"}) {
        const QFileInfo info(resources + QLatin1Char('/') + QLatin1String(script));
        EXPECT_TRUE(info.isFile() && info.isExecutable()) << script;
    }
    EXPECT_TRUE(QFileInfo::exists(
        QStringLiteral("%1/Contents/Resources/StartupParameters.plist").arg(Bundle::bundlePath())));
    EXPECT_TRUE(QFileInfo::exists(QStringLiteral("%1/named.conf").arg(resources)));
    for (const char *document : {"Readme", "Setup"}) {
        const QString path =
            Bundle::pathForResource(QLatin1String(document), QStringLiteral("rtf"));
        ASSERT_FALSE(path.isNull()) << document;
        EXPECT_TRUE(isPlainRtf(readAll(path))) << document;
    }
}

TEST(Resources, LockImagesDrawTwoDifferentPadlocks)
{
    QImage images[2];
    int index = 0;
    for (const char *name : {"locked", "unlocked"}) {
        const QString path = Bundle::pathForResource(QLatin1String(name), QStringLiteral("svg"));
        ASSERT_FALSE(path.isNull()) << name;
        QImage &image = images[index++];
        image = QImage(path).convertToFormat(QImage::Format_ARGB32);
        ASSERT_FALSE(image.isNull()) << name << ": no SVG image support (Debian libqt6svg6)";
        EXPECT_EQ(image.size(), QSize(32, 32)) << name;
        int drawn = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                drawn += qAlpha(image.pixel(x, y)) > 128;
        EXPECT_GT(drawn, 32 * 32 / 4) << name;
    }
    EXPECT_NE(images[0], images[1]);
}

// Checked as named reads it even where named can't be started; the namespace tests run it.
TEST(Resources, NameServerConfigurationIsValid)
{
    VELLORAN_REQUIRE(QFileInfo(QStringLiteral("/usr/bin/named-checkconf")).isExecutable(),
                     "needs named-checkconf (Debian bind9-utils)");
    // It includes the list of clients that named_setup writes: one like it, in a root of our own.
    QTemporaryDir root;
    ASSERT_TRUE(QDir(root.path()).mkpath(QStringLiteral("etc")) &&
                QDir(root.path()).mkpath(QStringLiteral("var/cache/bind")));
    ASSERT_TRUE(QFile::copy(Bundle::resourcePath() + QStringLiteral("/named.conf"),
                            root.filePath(QStringLiteral("etc/named.conf"))));
    QFile clients(root.filePath(QStringLiteral("etc/named.clients")));
    ASSERT_TRUE(clients.open(QIODevice::WriteOnly));
    clients.write("acl velloran_clients {\n\tlocalhost;\n\t198.51.100.0/24;\n};\n");
    clients.close();
    QString printed;
    EXPECT_EQ(TestSupport::run(
                  QStringLiteral("/usr/bin/named-checkconf"),
                  {QStringLiteral("-t"), root.path(), QStringLiteral("/etc/named.conf")}, &printed),
              0)
        << qPrintable(printed);
}
