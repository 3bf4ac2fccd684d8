#include "DesktopPackage.h"

#include "TestSupport.h"

#include <QDir>
#include <QLockFile>

namespace DesktopPackage {

QString build(QString *error)
{
    const QString binary = QStringLiteral(VELLORAN_TEST_BINARY_DIR);
    // Tests run side by side may ask at once; one build of the package is enough.
    QLockFile lock(binary + "/velloran_deb.lock");
    lock.setStaleLockTime(0);
    QString output;
    if (!lock.lock() ||
        TestSupport::run(VELLORAN_CMAKE_COMMAND, {"--build", binary, "--target", "velloran_deb"},
                         &output, {}, 300000) != 0) {
        *error = "building the package failed:\n" + output;
        return {};
    }
    const QStringList debs = QDir(binary + "/package").entryList({"velloran_*.deb"});
    if (debs.size() != 1)
        *error = "expected one package, found: " + debs.join(' ');
    return debs.size() == 1 ? binary + "/package/" + debs.first() : QString();
}

} // namespace DesktopPackage
