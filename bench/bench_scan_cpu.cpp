// Benchmark: processor time Skiascan uses while the scanner program runs.
// Starts the main window headless over a temporary program folder, clicks
// Single Scan with a simulated scanner that takes SCAN_SECONDS (default 3) to
// deliver its film, and compares the processor time of Skiascan itself (not of
// the scanner) with the wall-clock time of the wait.
//
//   bench_scan_cpu SIMULATOR

#include "app/main_window.h"
#include "settings/settings_file.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

#include <sys/resource.h>

namespace {

double processorSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SIMULATOR\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const double scanSeconds = qEnvironmentVariableIsSet("SCAN_SECONDS") ? qEnvironmentVariable("SCAN_SECONDS").toDouble() : 3.0;
    qputenv("SCANFILE_DELAY_MS", QByteArray::number(int(scanSeconds * 1000)));
    qputenv("SCANFILE_MODE", "nofile"); // only the wait for the scanner is measured
    QApplication app(argc, argv);

    QTemporaryDir program;
    QDir(program.path()).mkdir(QStringLiteral("images"));
    skiascan::saveSettingsFile(skiascan::settingsFilePath(program.path()),
                               {QString::fromLocal8Bit(argv[1]), "", program.filePath("images") + "/", "", "BENCH",
                                "1500", "3000", "||", "||", "||", "", "0", "", "", "", ""});
    skiascan::fSkiascan window(program.path());
    if (!window.startUp(QStringLiteral("Bench^Film|B-1|1960-02-01")))
        return 1;
    window.StudyDate->setText(QStringLiteral("2026-12-07"));

    // Something to repaint meanwhile, as a clock or a progress display would.
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(100);

    const double before = processorSeconds();
    QElapsedTimer clock;
    clock.start();
    window.cmdScan->click(); // returns once the scanner program has ended
    const double wall = clock.nsecsElapsed() / 1e9;
    const double used = processorSeconds() - before;
    std::printf("scan_wall_seconds %.3f\n", wall);
    std::printf("skiascan_cpu_seconds %.4f\n", used);
    std::printf("cpu_share_of_wait %.4f (a busy wait would be 1.0)\n", used / wall);
    std::printf("timer_ticks_during_wait %d\n", ticks);
    return 0;
}
