#include "support/child_process.h"

#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace skiascan::test {

namespace {

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// What is left of `timeoutMs` since `clock` started.
int remaining(const QElapsedTimer& clock, int timeoutMs)
{
    return static_cast<int>(std::max<qint64>(0, timeoutMs - clock.elapsed()));
}

} // namespace

ChildProcess::ChildProcess(const QString& program, const QStringList& arguments, Stream output, Stream error,
                           const QString& errorFile)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int outputPipe[2] = {-1, -1};
    int errorPipe[2] = {-1, -1};
    const auto route = [&actions](int target, Stream stream, int (&pipeEnds)[2]) {
        if (stream == Stream::Discard)
            posix_spawn_file_actions_addopen(&actions, target, "/dev/null", O_WRONLY, 0);
        else if (stream == Stream::Pipe && ::pipe2(pipeEnds, O_CLOEXEC) == 0)
            posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], target);
    };
    // Servers read nothing; none of them may read the test's input.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    route(STDOUT_FILENO, output, outputPipe);
    const QByteArray errorPath = QFile::encodeName(errorFile);
    if (!errorFile.isEmpty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath.constData(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    else
        route(STDERR_FILENO, error, errorPipe);

    std::vector<QByteArray> words{QFile::encodeName(program)};
    for (const QString& argument : arguments)
        words.push_back(argument.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    closeFd(outputPipe[1]);
    closeFd(errorPipe[1]);
    if (failed != 0) {
        closeFd(outputPipe[0]);
        closeFd(errorPipe[0]);
        return;
    }
    m_pid = pid;
    m_output = outputPipe[0];
    m_errorPipe = errorPipe[0];
}

ChildProcess::~ChildProcess()
{
    kill();
    closeFd(m_output);
    closeFd(m_errorPipe);
}

bool ChildProcess::readSome(int fd, QByteArray& into, int timeoutMs)
{
    if (fd < 0)
        return false;
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, timeoutMs) <= 0)
        return false;
    char buffer[65536];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0)
        return false; // the end: the child has closed it
    into.append(buffer, n);
    return true;
}

QByteArray ChildProcess::readLine(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qsizetype end = m_pending.indexOf('\n');
        if (end >= 0) {
            const QByteArray line = m_pending.left(end);
            m_pending.remove(0, end + 1);
            return line;
        }
        if (!readSome(m_output, m_pending, remaining(clock, timeoutMs)))
            return {};
    }
}

QList<QByteArray> ChildProcess::readLines()
{
    while (readSome(m_output, m_pending, 0)) {
    }
    QList<QByteArray> lines;
    for (qsizetype end; (end = m_pending.indexOf('\n')) >= 0;) {
        lines << m_pending.left(end);
        m_pending.remove(0, end + 1);
    }
    return lines;
}

bool ChildProcess::reap(int timeoutMs)
{
    if (m_pid <= 0 || m_status >= 0)
        return true;
    // The pidfd turns readable when the child ends: a wait without polling.
    // (Through syscall(): Debian 12's header declares pidfd_open() without C linkage.)
    const int watch = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
    if (watch >= 0) {
        pollfd ended{watch, POLLIN, 0};
        ::poll(&ended, 1, timeoutMs);
        ::close(watch);
    }
    int status = 0;
    pid_t done = 0;
    do
        done = ::waitpid(m_pid, &status, WNOHANG);
    while (done < 0 && errno == EINTR);
    if (done != m_pid)
        return false;
    m_status = status;
    return true;
}

int ChildProcess::waitForExit(int timeoutMs)
{
    if (m_pid <= 0)
        return -1;
    QElapsedTimer clock;
    clock.start();
    while (readSome(m_errorPipe, m_error, remaining(clock, timeoutMs))) {
    }
    if (!reap(remaining(clock, timeoutMs)))
        return -1;
    return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
}

void ChildProcess::terminate(int timeoutMs)
{
    if (m_pid <= 0 || m_status >= 0)
        return;
    ::kill(m_pid, SIGTERM);
    if (!reap(timeoutMs))
        kill();
}

void ChildProcess::kill()
{
    if (m_pid <= 0 || m_status >= 0)
        return;
    ::kill(m_pid, SIGKILL);
    while (!reap(-1)) {
    }
}

} // namespace skiascan::test
