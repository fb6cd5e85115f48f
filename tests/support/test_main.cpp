// Runs GoogleTest inside a QApplication, headless unless told otherwise.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The same locale on every machine; tests that need another set it themselves.
    qputenv("LC_ALL", "C.UTF-8");
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    // Closing the main window must not end the test program.
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
