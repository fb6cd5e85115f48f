// Runs GoogleTest inside a QApplication, headless unless told otherwise.
#include <QApplication>

#include <gtest/gtest.h>

#ifdef SKIASCAN_ON_VIRTUAL_DISPLAY
#include <csignal>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// True when display `number` takes a connection on its socket file, which is
// where the programs under test connect. An X server of another test program
// that ends at the moment this one starts on the same number can remove that
// file as it goes.
bool displayAnswers(const std::string& number)
{
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "/tmp/.X11-unix/X%s", number.c_str());
    const bool answers = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return answers;
}

// One Xvfb, and the display it took.
pid_t startXvfb(std::string& number)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return -1;
    const pid_t server = ::fork();
    if (server == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::close(pipeFds[0]);
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, STDOUT_FILENO);
        ::dup2(quiet, STDERR_FILENO);
        const std::string fd = std::to_string(pipeFds[1]);
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    char c = 0;
    while (::read(pipeFds[0], &c, 1) == 1 && c != '\n')
        number += c;
    ::close(pipeFds[0]);
    if (server < 0 || number.empty()) {
        std::fprintf(stderr, "Xvfb did not start (is it installed?)\n");
        return -1;
    }
    return server;
}

// Starts an X server of this program's own and points DISPLAY at it. Xvfb
// picks a free display itself and writes its number to the pipe once it
// accepts connections, so that two of these programs can never take the same
// one, and no test starts before the server is ready. It ends with the program.
// A server whose socket does not answer is ended and another one started.
pid_t startVirtualDisplay()
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string number;
        const pid_t server = startXvfb(number);
        if (server < 0)
            return -1;
        if (displayAnswers(number)) {
            ::setenv("DISPLAY", (":" + number).c_str(), 1);
            ::unsetenv("XAUTHORITY");
            return server;
        }
        std::fprintf(stderr, "Xvfb on display :%s does not answer; another one is started\n", number.c_str());
        ::kill(server, SIGTERM);
        ::waitpid(server, nullptr, 0);
    }
    return -1;
}

} // namespace
#endif

int main(int argc, char** argv)
{
#ifdef SKIASCAN_ON_VIRTUAL_DISPLAY
    // This program types into windows: it does so on an X server of its own,
    // never on the desktop of whoever runs it.
    const pid_t display = startVirtualDisplay();
    if (display < 0)
        return 127;
#endif
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The same locale on every machine; tests that need another set it themselves.
    qputenv("LC_ALL", "C.UTF-8");
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    // Closing the main window must not end the test program.
    QApplication::setQuitOnLastWindowClosed(false);
    const int result = RUN_ALL_TESTS();
#ifdef SKIASCAN_ON_VIRTUAL_DISPLAY
    ::kill(display, SIGTERM);
    ::waitpid(display, nullptr, 0);
#endif
    return result;
}
