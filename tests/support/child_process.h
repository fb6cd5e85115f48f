// Programs a test starts beside itself (storescp, wlmscpfs, Orthanc, the
// hostile worklist server, dump2dcm, dciodvfy), started with posix_spawn.
//
// Not with QProcess: Qt 6.4 starts a child with clone(CLONE_VM | CLONE_VFORK),
// so ThreadSanitizer's fork hooks run in the child on the parent's memory.
// They leave the thread that started it unwatched (its races are no longer
// reported) and, once other threads run, end the test process. The child of
// posix_spawn never reaches those hooks.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace skiascan::test {

class ChildProcess {
public:
    /// Where a standard stream of the child goes.
    enum class Stream {
        Discard, ///< /dev/null
        Inherit, ///< the test's own
        Pipe,    ///< a pipe the test reads (readLine(), readAll())
    };

    /// Starts `program` (looked up in PATH) with `arguments`. `errorFile`, when
    /// not empty, receives standard error in place of `error`.
    ChildProcess(const QString& program, const QStringList& arguments, Stream output = Stream::Discard,
                 Stream error = Stream::Inherit, const QString& errorFile = {});
    /// Kills the child if it still runs, and waits for it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// True when the program was found and started.
    bool started() const { return m_pid > 0; }
    qint64 pid() const { return m_pid; }

    /// The next line of standard output (a pipe), without its line end, as soon
    /// as it is complete; waits at most `timeoutMs`. Empty when none came.
    QByteArray readLine(int timeoutMs);
    /// The complete lines of standard output that have come so far, without waiting.
    QList<QByteArray> readLines();

    /// Waits at most `timeoutMs` for the child to end, reading standard error
    /// (a pipe) meanwhile. Returns its exit code, or -1 when it did not end
    /// (or ended by a signal).
    int waitForExit(int timeoutMs);
    /// What it wrote on standard error (a pipe), once waitForExit() has returned.
    QByteArray standardError() const { return m_error; }

    /// Asks the child to end (SIGTERM) and waits at most `timeoutMs`; kills it
    /// when it has not ended by then.
    void terminate(int timeoutMs);
    /// Ends the child at once (SIGKILL) and waits for it.
    void kill();

private:
    bool readSome(int fd, QByteArray& into, int timeoutMs);
    bool reap(int timeoutMs);

    pid_t m_pid = -1;
    int m_output = -1; // our end of the output pipe
    int m_errorPipe = -1;
    QByteArray m_pending; // output read but not yet returned as lines
    QByteArray m_error;
    int m_status = -1; // as waitpid() gave it, once reaped
};

} // namespace skiascan::test
