#include "scan/scanner_run.h"

#include <QFileInfo>
#include <QProcess>

#include <vector>

namespace skiascan {

ScannerRun::ScannerRun(QObject* parent)
    : QObject(parent)
{
    m_tick.setObjectName(QStringLiteral("TimerScan"));
    connect(&m_tick, &QTimer::timeout, this, &ScannerRun::look);
}

ScannerRun::~ScannerRun()
{
    release();
}

void ScannerRun::runScanner(const QString& program, const QStringList& arguments, const QString& scanFile)
{
    release();
    m_watch.watch(scanFile);
    m_process = new QProcess(this);
    m_process->setProgram(program);
    m_process->setArguments(arguments);
    m_process->setStandardInputFile(QProcess::nullDevice());
    m_process->setStandardOutputFile(QProcess::nullDevice());
    m_process->setStandardErrorFile(QProcess::nullDevice());
    connect(m_process, &QProcess::started, this, [this] { emit started(m_process->processId()); });
    connect(m_process, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus status) {
        m_process->deleteLater();
        m_process = nullptr;
        m_exitCode = status == QProcess::NormalExit ? exitCode : -1;
        emit scannerEnded(m_exitCode);
        m_sinceEnded.start();
        m_tick.start(m_timing.tick);
    });
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        const QString reason = m_process->errorString();
        m_process->deleteLater();
        m_process = nullptr;
        emit failedToStart(reason);
    });
    m_process->start();
}

void ScannerRun::watchFile(const QString& scanFile)
{
    release();
    m_watch.watch(scanFile);
    m_exitCode = 0;
    m_sinceEnded.start();
    m_tick.start(m_timing.tick);
}

void ScannerRun::watchRecovered(const QString& scanFile, std::function<bool()> scannerAtWork)
{
    release();
    m_watch.watch(scanFile);
    m_scannerAtWork = std::move(scannerAtWork);
    // Whether its scanner is still at work is told at once; the first look at
    // the file follows from the event loop.
    m_waitingForScanner = m_scannerAtWork();
    if (m_waitingForScanner)
        emit waitingForScanner(true);
    QTimer::singleShot(0, this, [this, path = scanFile] {
        if (m_scannerAtWork && m_watch.path() == path)
            look();
    });
}

void ScannerRun::release()
{
    m_tick.stop();
    m_scannerAtWork = nullptr;
    if (!m_process)
        return;
    m_process->disconnect(this);
    if (m_process->state() != QProcess::NotRunning) {
        // Deleting a QProcess kills its program; this one is let go instead,
        // kept (never deleted) until the program ends.
        static auto* letGo = new std::vector<QProcess*>;
        m_process->setParent(nullptr);
        letGo->push_back(m_process);
    } else {
        delete m_process;
    }
    m_process = nullptr;
}

// One look at the scan file (at every tick): it is ready once a later look
// finds it unchanged; a scanner that ended without leaving a file is not
// waited for beyond a few seconds.
void ScannerRun::look()
{
    if (m_scannerAtWork) {
        const bool atWork = m_scannerAtWork();
        if (atWork != m_waitingForScanner) {
            m_waitingForScanner = atWork;
            emit waitingForScanner(atWork);
        }
        const bool fileThere = QFileInfo::exists(m_watch.path());
        if (atWork || (fileThere && !m_watch.ready())) {
            if (!m_tick.isActive())
                m_tick.start(m_timing.tick);
            return;
        }
        m_tick.stop();
        m_scannerAtWork = nullptr;
        if (fileThere)
            emit fileReady();
        else
            emit noFile(0);
        return;
    }
    if (m_watch.ready()) {
        // Stopped before anyone is told, so that no tick can start a second import.
        m_tick.stop();
        emit fileReady();
        return;
    }
    if (!QFileInfo::exists(m_watch.path()) && m_sinceEnded.hasExpired(m_timing.noFile.count())) {
        m_tick.stop();
        emit noFile(m_exitCode);
    }
}

} // namespace skiascan
