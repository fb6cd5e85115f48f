// Runs GoogleTest inside a QApplication, headless unless told otherwise.
#include <QApplication>

#include <gtest/gtest.h>

#ifdef SKIASCAN_ON_VIRTUAL_DISPLAY
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <vector>
#endif

int main(int argc, char** argv)
{
#ifdef SKIASCAN_ON_VIRTUAL_DISPLAY
    // This program types into windows: it starts itself again on an X server
    // of its own, never on the desktop of whoever runs it.
    if (qEnvironmentVariableIsEmpty("SKIASCAN_VIRTUAL_DISPLAY")) {
        ::setenv("SKIASCAN_VIRTUAL_DISPLAY", "1", 1);
        std::vector<char*> command{const_cast<char*>("xvfb-run"), const_cast<char*>("-a"), const_cast<char*>("-s"),
                                   const_cast<char*>("-screen 0 1024x768x24")};
        command.insert(command.end(), argv, argv + argc);
        command.push_back(nullptr);
        ::execvp(command[0], command.data());
        std::perror("xvfb-run");
        return 127;
    }
#endif
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
