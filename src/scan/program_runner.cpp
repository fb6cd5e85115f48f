#include "scan/program_runner.h"

#include "common/failure.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>

namespace skiascan {

int RunAndWait(const QString& commandLine, int /*windowStyle*/)
{
    QStringList words = QProcess::splitCommand(commandLine);
    if (words.isEmpty())
        throw Failure(QStringLiteral("No program to start: the command line is empty."), Failure::Kind::Scanner);
    const QString program = words.takeFirst();

    auto* process = new QProcess;
    process->setProgram(program);
    process->setArguments(words);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());

    QEventLoop loop;
    bool failedToStart = false;
    QObject::connect(process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            failedToStart = true;
            loop.quit();
        }
    });
    process->start();
    if (!failedToStart)
        loop.exec();

    if (failedToStart) {
        const QString reason = process->errorString();
        delete process;
        throw Failure(QStringLiteral("The program %1 cannot be started: %2").arg(program, reason), Failure::Kind::Scanner);
    }
    if (process->state() != QProcess::NotRunning) {
        // The application is quitting while the program still runs. Deleting the
        // QProcess would kill it; a scanner killed in the middle of a film may
        // jam the feeder, so it is left to finish on its own.
        process->disconnect();
        return -1;
    }
    const int code = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    delete process;
    return code;
}

} // namespace skiascan
