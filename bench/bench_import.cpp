// Benchmark: one film from TIFF to three nodes, the way Skiascan does it (read
// the TIFF, build the image, write it ahead into the outbox, then the delivery
// service sends it to the three nodes at once, the pixels shared). Prints
// seconds and memory.
//
//   bench_import TIFF OUT.dcm HOST PORT1 PORT2 PORT3
//
// Writes a film of 3556 x 4318 16-bit pixels (14 x 17 inch at 100 um) to TIFF
// when it does not exist yet, and afterwards the built image to OUT.dcm so that
// the same object can be sent with storescu for comparison.

#include "delivery/delivery_service.h"
#include "dicom/dicom_toolkit.h"
#include "dicom/image_attributes.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <tiffio.h>

#include <cstdio>
#include <vector>

#include <sys/resource.h>

namespace {

constexpr uint32_t kWidth = 3556;
constexpr uint32_t kHeight = 4318;

long peakKilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long currentKilobytes()
{
    QFile status(QStringLiteral("/proc/self/statm"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = status.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLong() * 4 : 0;
}

void writeFilm(const QString& path)
{
    TIFF* tif = TIFFOpen(path.toLocal8Bit().constData(), "w");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kHeight);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, 254.0f);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, 254.0f);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    std::vector<uint16_t> row(kWidth);
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kWidth; ++x)
            row[x] = static_cast<uint16_t>((x * 3 + y * 5 + (x ^ y)) & 0x0FFF);
        TIFFWriteScanline(tif, row.data(), y, 0);
    }
    TIFFClose(tif);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s TIFF OUT.dcm HOST PORT1 PORT2 PORT3\n", argv[0]);
        return 2;
    }
    const QString tiff = QString::fromLocal8Bit(argv[1]);
    if (!QFile::exists(tiff))
        writeFilm(tiff);
    const QString host = QString::fromLocal8Bit(argv[3]);

    using namespace skiascan;
    dicom::UidGenerator uids;
    (void)uids.newUid(); // loads the toolkit before the baseline is taken
    const long baseline = currentKilobytes();

    QElapsedTimer clock;
    clock.start();
    dicom::Image image;
    image.importFile(tiff, QStringLiteral("TIF"));
    if (qEnvironmentVariableIsSet("BENCH_TRACE"))
        std::fprintf(stderr, "after import %.3fs, %ld KB, peak %ld KB\n", clock.nsecsElapsed() / 1e9, currentKilobytes(),
                     peakKilobytes());
    const dicom::StudyRecord record{"Bench", "Film", "", "B-1", "19600201", "O", "20261207", "", "", "", "CHEST", "2048", "4096"};
    dicom::setImageProperties(image, record);
    dicom::addImageAttributes(image, record, {uids.newUid(), "10:00:00", uids.newUid(), uids.newUid(), 1, {}},
                       QDate::currentDate(), [] { return QTime::currentTime(); });
    if (qEnvironmentVariableIsSet("BENCH_TRACE"))
        std::fprintf(stderr, "image built %.3fs\n", clock.nsecsElapsed() / 1e9);
    QTemporaryDir program;
    Outbox outbox(program.path());
    RemoteNodes remotes;
    for (int i = 0; i < 3; ++i)
        remotes[static_cast<std::size_t>(i)] =
            parseRemoteNode(QStringLiteral("BENCH%1|%2|%3").arg(i + 1).arg(host, QString::fromLocal8Bit(argv[4 + i])), i);
    std::vector<Node> nodes = configuredNodes(remotes);
    DeliveryService delivery(program.path());
    delivery.configure(nodes, QStringLiteral("SKIASCAN"), {});
    OutboxEntry entry;
    entry.instanceUid = image.text(0x0008, 0x0018).value_or(QString());
    entry.kept = QDateTime::currentDateTime();
    for (const Node& node : nodes)
        entry.owed.push_back({node.aeTitle, node.host, node.port, {}, {}});
    // As the session does: the sends start beside the write-ahead.
    dicom::Image forOutbox = image.sharedCopy();
    delivery.filmComing(entry, image);
    outbox.keep(forOutbox, entry);
    delivery.filmKept(entry);
    // Done when every node has confirmed it and the outbox is empty again.
    while (outbox.count() != 0 && clock.elapsed() < 300000) {
        QThread::msleep(2);
        app.processEvents();
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    const long peak = peakKilobytes();
    if (outbox.count() != 0) {
        for (const NodeStatus& node : delivery.status())
            std::fprintf(stderr, "%s: %s\n", qPrintable(node.node.name()), qPrintable(node.lastFailure));
        return 1;
    }

    image.saveFile(QString::fromLocal8Bit(argv[2]));
    const double pixelMegabytes = kWidth * double(kHeight) * 2 / 1e6;
    std::printf("import_seconds %.3f\n", seconds);
    std::printf("pixel_data_mb %.1f\n", pixelMegabytes);
    std::printf("baseline_rss_mb %.1f\n", baseline / 1000.0);
    std::printf("peak_rss_mb %.1f\n", peak / 1000.0);
    std::printf("peak_over_baseline_ratio %.2f\n", (peak - baseline) / 1000.0 / pixelMegabytes);
    return 0;
}
