// fSkiascan: the single scan, the stack from the feeder, and the scanner test.

#include "app/main_window.h"

#include "app/window_helpers.h"
#include "common/failure.h"
#include "common/program_log.h"
#include "common/text.h"
#include "scan/program_runner.h"
#include "scan/scan_commands.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

namespace skiascan {

void fSkiascan::scanFailed(const std::exception& failure)
{
    setTopMost(this, false);
    programlog::event(QStringLiteral("scan failed: %1").arg(describe(failure)));
    showMessage(this, QMessageBox::Critical, QStringLiteral("Skiascan"),
                failureText(describe(failure), QStringLiteral("Please check Preferences")));
    endScan();
    setTopMost(this, true);
}

void fSkiascan::endScan()
{
    unsetCursor();
    cmdScan->setEnabled(true);
    cmdMultiScan->setEnabled(true);
}

void fSkiascan::cmdScan_Click()
{
    try {
        setCursor(Qt::WaitCursor);
        ScanAborted = false;
        cmdScan->setEnabled(false);
        cmdMultiScan->setEnabled(false);
        checkImageFolder(settings.ImageFolder);
        ScanFile = m_scanFileNames.next(settings.ImageFolder);
        programlog::event(QStringLiteral("scan started: %1").arg(ScanFile));
        if (isScannerProgram(settings.ScanApp))
            RunAndWait(scanCommandLine(settings.ScanApp, FilmPlace::Single, ScanFile, settings.Parameters), 0);
        else
            copyTestImage(m_programFolder, ScanFile);
        if (m_closing)
            return;
        m_scanWatch.watch(ScanFile);
        TimerScan->start();
    } catch (const std::exception& e) {
        scanFailed(e);
    }
}

void fSkiascan::TimerScan_Timer()
{
    if (!m_scanWatch.ready())
        return;
    // Stopped before the import, so that no tick can start a second one while
    // the first still runs (its message boxes pump events).
    TimerScan->stop();
    ImageImport();
    endScan();
}

void fSkiascan::cmdMultiScan_Click()
{
    try {
        setCursor(Qt::WaitCursor);
        ScanAborted = false;
        // A scan started from these buttons in the middle of the stack would
        // take over ScanFile and leave a film of the stack behind: they wait.
        cmdScan->setEnabled(false);
        cmdMultiScan->setEnabled(false);
        bool numeric = false;
        const int films = Films->text().toShort(&numeric);
        if (!numeric)
            throw Failure(QStringLiteral("The number of films \"%1\" is not a number.").arg(Films->text()),
                          Failure::Kind::Argument);
        if (films > 0)
            checkImageFolder(settings.ImageFolder);
        FilmStack stack(films, isScannerProgram(settings.ScanApp));
        programlog::event(QStringLiteral("stack of %1 films started").arg(films));
        while (stack.next()) {
            ScanFile = m_scanFileNames.next(settings.ImageFolder);
            programlog::event(QStringLiteral("film %1 of %2: %3").arg(stack.film()).arg(stack.count()).arg(ScanFile));
            if (stack.scanner()) {
                const FilmPlace place = stack.place(Films->text().toShort());
                RunAndWait(scanCommandLine(settings.ScanApp, place, ScanFile, settings.Parameters), 0);
            } else {
                copyTestImage(m_programFolder, ScanFile);
            }
            if (m_closing)
                return;
            m_scanWatch.watch(ScanFile);
            TimerMultiScan->start();
            QEventLoop wait;
            m_filmWait = &wait;
            wait.exec();
            m_filmWait = nullptr;
            if (m_closing)
                return;
            if (ScanAborted)
                stack.filmFailed();
        }
        endScan();
    } catch (const std::exception& e) {
        m_filmWait = nullptr;
        TimerMultiScan->stop();
        scanFailed(e);
    }
}

void fSkiascan::TimerMultiScan_Timer()
{
    if (!m_scanWatch.ready())
        return;
    TimerMultiScan->stop();
    ImageImport();
    if (m_filmWait)
        m_filmWait->quit();
}

void fSkiascan::cmdTest_Click()
{
    try {
        const QString folder = testApplicationFolder(settings.TestApp);
        if (folder.isEmpty())
            throw Failure(QStringLiteral("Invalid argument: the test application \"%1\" names no folder.")
                              .arg(settings.TestApp),
                          Failure::Kind::Argument);
        // Started on its own, in its own folder, so that it outlives this
        // program. Whether it could be started is not examined: the workstation
        // is handed over to it either way.
        if (QFileInfo(settings.TestApp).isExecutable())
            QProcess::startDetached(settings.TestApp, {}, folder);
        else
            QProcess::startDetached(QStringLiteral("xdg-open"), {settings.TestApp}, folder);
    } catch (const std::exception& e) {
        showMessage(this, QMessageBox::Critical, windowTitle(),
                    failureText(describe(e), QStringLiteral("Please check preferences")));
        return;
    }
    programlog::event(QStringLiteral("scanner test handed over to %1").arg(settings.TestApp));
    endProgram(EXIT_SUCCESS);
}

} // namespace skiascan
