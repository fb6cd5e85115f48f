// The scanner's part of one film: the scanner program started with its
// arguments (or the test image copied in its place), then the watch for the
// film's file until it stands still, and the limit for a file that never
// comes. It reports by signals, from the event loop of the thread it lives
// on; nothing in it waits.
#pragma once

#include "scan/scan_file_watch.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>

class QProcess;

namespace skiascan {

class ScannerRun : public QObject {
    Q_OBJECT

public:
    struct Timing {
        std::chrono::milliseconds tick{500};    ///< TimerScan: how often the file is looked at
        std::chrono::milliseconds noFile{5000}; ///< after the scanner ended, for a file that never comes
    };

    explicit ScannerRun(QObject* parent = nullptr);
    /// release().
    ~ScannerRun() override;

    void setTiming(const Timing& timing) { m_timing = timing; }

    /// Starts `program` with `arguments` (never through a shell) for the
    /// film whose file is `scanFile`: started(), then scannerEnded() and
    /// fileReady() or noFile(); failedToStart() instead when it cannot run.
    void runScanner(const QString& program, const QStringList& arguments, const QString& scanFile);
    /// The scanner has already done its part (the test image was copied):
    /// only the file is watched, as after scannerEnded().
    void watchFile(const QString& scanFile);
    /// A film a crash left in the scanner: fileReady() once `scannerAtWork`
    /// says no scanner works on it any more and its file stands still;
    /// noFile() at once when neither scanner nor file is there.
    /// waitingForScanner() tells whether its scanner is still at work.
    void watchRecovered(const QString& scanFile, std::function<bool()> scannerAtWork);
    /// Stops watching; a scanner program still at work is let go, never
    /// killed (killed in the middle of a film it may jam the feeder).
    void release();

    /// True from runScanner() until the scanner program has ended.
    bool scannerRunning() const { return m_process != nullptr; }

    /// The timer that looks for the file, "TimerScan".
    const QTimer& timer() const { return m_tick; }

signals:
    void started(qint64 processId);
    void failedToStart(const QString& reason);
    void scannerEnded(int exitCode);
    void fileReady();
    /// The scanner ended (with `exitCode`; 0 in test mode) and its file has
    /// not come.
    void noFile(int exitCode);
    void waitingForScanner(bool waiting);

private:
    void look();

    Timing m_timing;
    QProcess* m_process = nullptr;
    int m_exitCode = 0;
    QTimer m_tick;
    ScanFileWatch m_watch;
    QElapsedTimer m_sinceEnded;
    std::function<bool()> m_scannerAtWork; // for a recovered film
    bool m_waitingForScanner = false;
};

} // namespace skiascan
