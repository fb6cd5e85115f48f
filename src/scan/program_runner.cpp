#include "scan/program_runner.h"

#include "common/failure.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>

namespace skiascan {

int RunAndWait(const QString& program, const QStringList& arguments,
               const std::function<void(qint64 processId)>& started)
{
    if (program.isEmpty())
        throw Failure(QStringLiteral("No program to start: the scanning application is empty."), Failure::Kind::Scanner);

    auto* process = new QProcess;
    process->setProgram(program);
    process->setArguments(arguments);
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
    if (started)
        QObject::connect(process, &QProcess::started, &loop, [&] { started(process->processId()); });
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
