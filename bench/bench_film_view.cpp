// Benchmark: from an imported film to its picture in the film view, the way
// the view makes it (on a background task: the film reduced by a whole factor
// straight from its pixels, then windowed and scaled by DicomImage, and its
// thumbnail), and the memory that costs beyond the film itself. For
// comparison, DicomImage on the whole film, and one full-size copy of its
// pixels. Each way runs in a process of its own, so that what one freed does
// not hide what the next one takes. Last, the whole way in the program: the
// main window (headless) scans the film in test mode with "Show each film"
// on, and the time from the start of the import (which checks whether the
// film looks blank) to the film's picture in the film view is measured, with
// the memory the process holds once the film is shown and kept.
//
//   bench_film_view [RUNS] [WIDTHxHEIGHT]
//
// The film is 3556 x 4318 16-bit pixels (14 x 17 inch at 100 um); the picture
// is fitted into WIDTHxHEIGHT (default 1000x1000, a large film view).

#include "app/film_view_link.h"
#include "app/main_window.h"
#include "common/background.h"
#include "dicom/blank_film.h"
#include "dicom/dicom_toolkit.h"
#include "dicom/film_render.h"
#include "dicom/image_attributes.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmimgle/dcmimage.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uint32_t kWidth = 3556;
constexpr uint32_t kHeight = 4318;

long statusKilobytes(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLong();
    return 0;
}

// Starts a new high-water mark of resident memory at what is resident now.
long resetPeak()
{
    malloc_trim(0);
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
    return statusKilobytes("VmRSS:");
}

// A chest-like film: 12-bit values, smooth with fine structure.
void writeFilm(const QString& path)
{
    TIFF* tif = TIFFOpen(path.toLocal8Bit().constData(), "w");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kHeight);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
    std::vector<uint16_t> row(kWidth);
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kWidth; ++x)
            row[x] = static_cast<uint16_t>((x * 3 + y * 5 + (x ^ y)) & 0x0FFF);
        TIFFWriteScanline(tif, row.data(), y, 0);
    }
    TIFFClose(tif);
}

skiascan::dicom::Image importFilm(const QString& tiff)
{
    using namespace skiascan;
    dicom::Image image;
    image.importFile(tiff, QStringLiteral("TIF"));
    const dicom::StudyRecord record{"Bench", "Film", "", "B-1", "19600201", "O", "20261207", "", "", "", "CHEST", "2048", "4096"};
    dicom::setImageProperties(image, record);
    dicom::addImageAttributes(image, record, {"2.25.1", "10:00:00", "2.25.2", "2.25.3", 1, {}}, QDate::currentDate(),
                              [] { return QTime::currentTime(); });
    return image;
}

// Scans the film at `tiff` through the main window in test mode, `runs`
// times, and reports each time from the start of the import to the picture
// in the film view.
void throughTheWindow(const QString& tiff, int runs, char** argv)
{
    using namespace skiascan;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int ac = 1;
    QApplication app(ac, argv);
    QTemporaryDir program;
    QDir(program.path()).mkdir(QStringLiteral("images"));
    QFile::copy(tiff, program.filePath(QStringLiteral("Test.tif")));
    saveSettingsFile(settingsFilePath(program.path()),
                     {QStringLiteral("TESTMODE.EXE"), "", program.filePath(QStringLiteral("images")) + "/", "", "BENCH",
                      "2048", "4096", "||", "||", "||", "", "0", "", "", "", ""});
    Options options;
    options.view.showEachFilm = true;
    saveOptions(optionsFilePath(program.path()), options);
    const long base = resetPeak();
    fSkiascan window(program.path());
    if (!window.startUp(QStringLiteral("Bench^Film|B-1|1960-02-01")))
        return;
    window.StudyDate->setText(QStringLiteral("2026-12-07"));
    FilmView& view = window.findChild<FilmViewLink*>()->view();
    const QLabel* picture = view.findChild<QLabel*>(QStringLiteral("filmImage"));

    std::vector<double> toArrival;
    std::vector<double> toPicture;
    QElapsedTimer clock;
    bool arrived = false;
    QObject::connect(&window.session(), &ScanSession::stateChanged, [&] {
        if (window.session().state() == SessionState::Importing)
            clock.start();
    });
    QObject::connect(&window.session(), &ScanSession::filmArrived, [&] {
        toArrival.push_back(clock.nsecsElapsed() / 1e9);
        arrived = true;
    });
    QTimer look; // the picture is looked for every millisecond
    bool underWay = false;
    int started = 0;
    QObject::connect(&look, &QTimer::timeout, [&] {
        if (underWay) {
            if (arrived && !picture->pixmap().isNull()) {
                toPicture.push_back(clock.nsecsElapsed() / 1e9);
                arrived = false;
            }
            underWay = int(toPicture.size()) < started || !window.session().idle() || window.session().scanning();
            return;
        }
        if (started == 1) {
            // The first film opened the view where it fits on this (virtual)
            // screen; the others are shown in a large one, as on a desk.
            view.resize(720, 1000);
        }
        if (int(toPicture.size()) > runs) {
            app.quit();
        } else if (window.cmdScan->isEnabled()) {
            view.clearFilms(); // each film is shown anew
            underWay = true;
            ++started;
            window.cmdScan->click();
        }
    });
    look.start(1);
    app.exec();
    malloc_trim(0);
    if (toPicture.size() < 2)
        return;
    const QSize shown = picture->pixmap().deviceIndependentSize().toSize();
    // The first film, which opened the view, is left out.
    toArrival.erase(toArrival.begin());
    toPicture.erase(toPicture.begin());
    std::sort(toArrival.begin(), toArrival.end());
    std::sort(toPicture.begin(), toPicture.end());
    std::printf("%-52s median %.3f s, at most %.3f s (of it the import with its blank check %.3f s); a picture of "
                "%d x %d, %d films\n",
                "from the import to the picture in the film view", toPicture[toPicture.size() / 2], toPicture.back(),
                toArrival[toArrival.size() / 2], shown.width(), shown.height(), int(toPicture.size()));
    std::printf("%-52s %.1f MB resident, %.1f MB at the peak\n", "  the program with the window and the view afterwards",
                (statusKilobytes("VmRSS:") - base) / 1024.0, (statusKilobytes("VmHWM:") - base) / 1024.0);
    std::fflush(stdout);
}

struct Measure {
    std::vector<double> seconds;
    long peakKilobytes = 0;
};

// Runs `job` `runs` times on a background task, as the view does, each time
// from the start of the task to its report on this thread.
Measure onBackgroundTask(QCoreApplication& app, int runs, const std::function<skiascan::BackgroundTask::Job()>& prepare)
{
    Measure m;
    const long base = resetPeak();
    skiascan::BackgroundTask task;
    QElapsedTimer clock;
    std::function<void()> next;
    next = [&] {
        if (int(m.seconds.size()) == runs) {
            app.quit();
            return;
        }
        clock.start();
        task.start(prepare(), [&](std::exception_ptr failure) {
            if (failure)
                std::fprintf(stderr, "failed: %s\n", qPrintable(skiascan::describe(failure)));
            m.seconds.push_back(clock.nsecsElapsed() / 1e9);
            next();
        });
    };
    next();
    app.exec();
    m.peakKilobytes = statusKilobytes("VmHWM:") - base;
    return m;
}

void report(const char* what, const Measure& m)
{
    std::vector<double> s = m.seconds;
    std::sort(s.begin(), s.end());
    std::printf("%-52s first %.3f s, median %.3f s, extra peak memory %.1f MB\n", what, m.seconds.front(), s[s.size() / 2],
                m.peakKilobytes / 1024.0);
    std::fflush(stdout);
}

// Runs `body` in a child process of its own.
void apart(const std::function<void()>& body)
{
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        body();
        std::fflush(stdout);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
}

} // namespace

int main(int argc, char** argv)
{
    using namespace skiascan;
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    QSize target(1000, 1000);
    if (argc > 2)
        std::sscanf(argv[2], "%dx%d", &target.rwidth(), &target.rheight());

    QTemporaryDir dir;
    const QString tiff = dir.filePath(QStringLiteral("film.tif"));
    const QString entry = dir.filePath(QStringLiteral("entry.dcm"));
    writeFilm(tiff);
    apart([&] {
        importFilm(tiff).saveFile(entry);
    });
    std::fflush(stdout);
    std::printf("film %u x %u, 16 bits: %.1f MB of pixels; picture fitted into %d x %d; %d runs each\n", kWidth, kHeight,
                kWidth * kHeight * 2 / 1048576.0, target.width(), target.height(), runs);

    apart([&] {
        int ac = 1;
        QCoreApplication app(ac, argv);
        QElapsedTimer clock;
        clock.start();
        const long base = resetPeak();
        dicom::Image film = importFilm(tiff);
        std::printf("%-52s %.3f s, %.1f MB\n", "import from the TIFF (for reference)", clock.nsecsElapsed() / 1e9,
                    (statusKilobytes("VmHWM:") - base) / 1024.0);
        Measure m = onBackgroundTask(app, runs, [&] {
            auto copy = std::make_shared<const dicom::Image>(film.sharedCopy());
            return [copy, target](const CancelFlag& cancel) {
                const dicom::FilmPreview preview = dicom::FilmPreview::of(*copy, target, &cancel);
                (void)preview.render(QSize(72, 88));
                (void)preview.render(target);
            };
        });
        report("view of the film in memory (picture + thumbnail)", m);

        auto kept = std::make_shared<const dicom::FilmPreview>(dicom::FilmPreview::of(film, target));
        std::printf("%-52s %d x %d, %.1f MB\n", "  the reduced film it keeps", kept->size().width(), kept->size().height(),
                    kept->size().width() * kept->size().height() * 2 / 1048576.0);
        double center = 1000;
        m = onBackgroundTask(app, runs, [&] {
            center += 50;
            return [kept, target, center](const CancelFlag&) { (void)kept->render(target, dicom::VoiWindow{center, 3000}); };
        });
        report("a new window from the reduced film (mouse drag)", m);

        m = onBackgroundTask(app, runs, [&] {
            auto copy = std::make_shared<const dicom::Image>(film.sharedCopy());
            return [copy](const CancelFlag& cancel) { (void)dicom::looksBlank(*copy, &cancel); };
        });
        report("blank check of the film in memory", m);
    });

    apart([&] {
        int ac = 1;
        QCoreApplication app(ac, argv);
        (void)dicom::Image::loadFile(entry); // loads DCMTK's data dictionary before the baseline
        Measure m = onBackgroundTask(app, runs, [&] {
            return [entry, target](const CancelFlag& cancel) {
                const dicom::Image film = dicom::Image::loadFile(entry);
                const dicom::FilmPreview preview = dicom::FilmPreview::of(film, target, &cancel);
                (void)preview.render(QSize(72, 88));
                (void)preview.render(target);
            };
        });
        report("view of the film from its outbox file", m);
    });

    apart([&] {
        int ac = 1;
        QCoreApplication app(ac, argv);
        (void)dicom::Image::loadFile(entry);
        Measure m = onBackgroundTask(app, runs, [&] {
            return [entry, target](const CancelFlag&) {
                DicomImage whole(entry.toLocal8Bit().constData());
                whole.setWindow(2048, 4096);
                const QSize shown = dicom::fittedSize(QSize(kWidth, kHeight), target);
                std::unique_ptr<DicomImage> scaled(whole.createScaledImage(static_cast<unsigned long>(shown.width()),
                                                                           static_cast<unsigned long>(shown.height()), 1, 0));
                if (!scaled || !scaled->getOutputData(8))
                    throw Failure(QStringLiteral("DicomImage could not render the film"));
            };
        });
        report("reference: DicomImage on the whole film (its file)", m);
    });

    apart([&] { throughTheWindow(tiff, runs, argv); });

    apart([&] {
        const long base = resetPeak();
        std::vector<uint16_t> copy(std::size_t(kWidth) * kHeight);
        std::fill(copy.begin(), copy.end(), uint16_t(1));
        std::printf("%-52s %.1f MB\n", "reference: one full-size copy of the pixels", (statusKilobytes("VmHWM:") - base) / 1024.0);
    });
    return 0;
}
