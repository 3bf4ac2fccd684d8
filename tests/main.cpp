#include "desktop/Bundle.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    // Test discovery runs this binary outside ctest's environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velloran"));
    Bundle::setBundlePath(QStringLiteral(VELLORAN_TEST_BUNDLE));
    return RUN_ALL_TESTS();
}
