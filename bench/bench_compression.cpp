// Compression benchmark: what JPEG-LS lossless saves on the wire, per film.
//
//   bench_compression SIMULATOR
//
// Two films: the demo's chest phantom as the scanner simulator writes it
// (2048 x 2500, 12-bit values with its noise), and a film-like 14 x 17 inch
// film at 100 um (3556 x 4318) of smooth density gradients with Gaussian grain
// of about 3 counts. For each, sent to a storescp that prefers JPEG-LS
// lossless:
//   - the bytes sent on the association (through a proxy that counts them),
//     uncompressed and as JPEG-LS lossless; target at most 0.55x;
//   - the seconds until the node has confirmed the film over a link of
//     2 MB/s, uncompressed and compressed with the encoding of the copy
//     included; target at most 0.6x.
// Each node's file is decoded and compared with the uncompressed one.

#include "dicom/dicom_toolkit.h"
#include "dicom/image_attributes.h"
#include "support/dicom_file.h"
#include "support/peers.h"
#include "support/throttling_proxy.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include <sys/resource.h>

using namespace skiascan;

namespace {

constexpr qint64 kLinkBytesPerSecond = 2 * 1000 * 1000;

// Smooth densities as an exposed film shows them, with grain of a few counts.
void writeGrainFilm(const QString& path, uint32_t width, uint32_t height)
{
    TIFF* tif = TIFFOpen(path.toLocal8Bit().constData(), "w");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, 254.0f);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, 254.0f);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    std::vector<uint16_t> row(width);
    uint32_t seed = 20261207u;
    auto uniform = [&] {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) / double(1u << 24);
    };
    const double pi = 3.14159265358979;
    for (uint32_t y = 0; y < height; ++y) {
        const double v = double(y) / height;
        for (uint32_t x = 0; x < width; ++x) {
            const double u = double(x) / width;
            const double density = 700 + 2200 * u * (0.6 + 0.4 * v) + 350 * std::sin(2 * pi * 1.5 * u) * std::cos(2 * pi * v)
                + 250 * std::exp(-((u - 0.4) * (u - 0.4) + (v - 0.55) * (v - 0.55)) / 0.02);
            // Four uniforms summed: nearly Gaussian, standard deviation 3 counts.
            const double grain = (uniform() + uniform() + uniform() + uniform() - 2.0) * 3.0 * std::sqrt(3.0);
            row[x] = static_cast<uint16_t>(std::clamp(std::lround(density + grain), 0L, 4095L));
        }
        TIFFWriteScanline(tif, row.data(), y, 0);
    }
    TIFFClose(tif);
}

dicom::Image filmImage(const QString& tiff, dicom::UidGenerator& uids)
{
    dicom::Image image;
    image.importFile(tiff, QStringLiteral("TIF"));
    const dicom::StudyRecord record{"Bench", "Film", "", "B-1", "19600201", "O", "20261207", "", "", "", "CHEST", "2048", "4096"};
    dicom::setImageProperties(image, record);
    dicom::addImageAttributes(image, record, {uids.newUid(), "10:00:00", uids.newUid(), uids.newUid(), 1, {}},
                              QDate::currentDate(), [] { return QTime::currentTime(); });
    return image;
}

struct Sent {
    qint64 bytes = -1;
    double seconds = -1;
    QString file; // what the node received
};

// Sends `image` to a storescp preferring `compression` behind a proxy that
// passes `rate` bytes a second; with a compression, encodes its copy first
// (timed).
Sent send(dicom::Image& image, Compression compression, qint64 rate, const QString& work)
{
    Sent sent;
    const bool compress = compression != Compression::None;
    test::StoreScp node(QStringLiteral("BENCH"),
                        {compression == Compression::JpegLossless ? QStringLiteral("+xs") : QStringLiteral("+xt")});
    test::ThrottlingProxy link(node.port(), rate);
    const QString copy = QDir(work).filePath(QStringLiteral("copy.dcm"));
    QFile::remove(copy);
    dicom::Image forCopy = image.sharedCopy();
    dicom::Image forSend = image.sharedCopy();
    QElapsedTimer clock;
    clock.start();
    try {
        if (compress)
            dicom::encodeCopy(forCopy, compression, copy);
        dicom::NetworkGuard guard;
        dicom::StoreAssociation association(QStringLiteral("127.0.0.1"), link.port(), QStringLiteral("BENCH"),
                                            QStringLiteral("SKIASCAN"), {}, guard, {}, false,
                                            compression);
        const auto stored = association.store(forSend, compress ? copy : QString());
        association.release();
        if (stored.syntax != compression) {
            std::fprintf(stderr, "sent %s: %s\n", qPrintable(compressionName(stored.syntax)), qPrintable(stored.copyUnused));
            return sent;
        }
    } catch (const Failure& e) {
        std::fprintf(stderr, "%s\n", qPrintable(e.description()));
        return sent;
    }
    sent.seconds = clock.nsecsElapsed() / 1e9;
    sent.bytes = link.bytesForwarded();
    const QStringList files = node.received();
    if (files.size() == 1) {
        sent.file = QDir(work).filePath(QStringLiteral("received.%1").arg(compressionKey(compression)));
        QFile::remove(sent.file);
        QFile::copy(files.first(), sent.file);
    }
    return sent;
}

double threadCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The seconds encodeCopy() takes for `image` in `compression`, and the
// processor seconds it used (what it takes on a machine that does nothing else).
QString encodeSeconds(const dicom::Image& image, Compression compression, const QString& work)
{
    QElapsedTimer clock;
    clock.start();
    const double cpu = threadCpuSeconds();
    dicom::encodeCopy(image.sharedCopy(), compression, QDir(work).filePath(QStringLiteral("timed.dcm")));
    return QStringLiteral("%1 s (%2 s of processor)")
        .arg(clock.nsecsElapsed() / 1e9, 0, 'f', 2)
        .arg(threadCpuSeconds() - cpu, 0, 'f', 2);
}

// One film: bytes at full speed, then time over the 2 MB/s link; JPEG
// lossless beside JPEG-LS for the record. False when a send failed or a
// node's pixels differ.
bool measure(const char* name, const QString& tiff, const QString& work, double& bytesRatio, double& timeRatio)
{
    dicom::UidGenerator uids;
    dicom::Image image = filmImage(tiff, uids);
    const qint64 pixelBytes = image.pixelBytes();
    constexpr qint64 kFullSpeed = qint64(1) << 40;
    const Sent plain = send(image, Compression::None, kFullSpeed, work);
    const Sent jpegLs = send(image, Compression::JpegLsLossless, kFullSpeed, work);
    const Sent jpeg = send(image, Compression::JpegLossless, kFullSpeed, work);
    if (plain.bytes < 0 || jpegLs.bytes < 0 || jpeg.bytes < 0)
        return false;
    const std::vector<Uint16> original = test::completeImagePixels(plain.file);
    const bool exact = !original.empty() && original.size() * 2 == std::size_t(pixelBytes)
        && test::completeImagePixels(jpegLs.file) == original && test::completeImagePixels(jpeg.file) == original;
    std::printf("%s_pixel_data_mb %.1f\n", name, pixelBytes / 1e6);
    std::printf("%s_uncompressed_bytes %lld\n", name, plain.bytes);
    std::printf("%s_jpeg_ls_bytes %lld\n", name, jpegLs.bytes);
    std::printf("%s_jpeg_lossless_bytes %lld (ratio %.3f)\n", name, jpeg.bytes, double(jpeg.bytes) / double(plain.bytes));
    bytesRatio = double(jpegLs.bytes) / double(plain.bytes);
    std::printf("%s_bytes_ratio %.3f\n", name, bytesRatio);
    std::printf("%s_pixel_exact %s\n", name, exact ? "yes" : "NO");
    std::printf("%s_encode jpeg-ls %s, jpeg-lossless %s\n", name,
                qPrintable(encodeSeconds(image, Compression::JpegLsLossless, work)),
                qPrintable(encodeSeconds(image, Compression::JpegLossless, work)));

    const Sent slowPlain = send(image, Compression::None, kLinkBytesPerSecond, work);
    const Sent slowJpegLs = send(image, Compression::JpegLsLossless, kLinkBytesPerSecond, work);
    if (slowPlain.seconds < 0 || slowJpegLs.seconds < 0)
        return false;
    std::printf("%s_uncompressed_seconds_at_2MBps %.2f\n", name, slowPlain.seconds);
    std::printf("%s_jpeg_ls_seconds_at_2MBps %.2f\n", name, slowJpegLs.seconds);
    timeRatio = slowJpegLs.seconds / slowPlain.seconds;
    std::printf("%s_time_ratio %.3f\n", name, timeRatio);
    return exact;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SIMULATOR\n", argv[0]);
        return 2;
    }
    QTemporaryDir work;
    const QString phantom = work.filePath(QStringLiteral("phantom.tif"));
    QProcess simulator;
    simulator.start(QString::fromLocal8Bit(argv[1]),
                    {QStringLiteral("/TIF"), QStringLiteral("/LUT:I"), QStringLiteral("/F:") + phantom});
    if (!simulator.waitForFinished(60000) || simulator.exitCode() != 0 || !QFile::exists(phantom)) {
        std::fprintf(stderr, "the simulator wrote no film\n");
        return 1;
    }
    const QString grain = work.filePath(QStringLiteral("grain.tif"));
    writeGrainFilm(grain, 3556, 4318);

    double phantomBytes = 0;
    double phantomTime = 0;
    double grainBytes = 0;
    double grainTime = 0;
    const bool ok = measure("phantom", phantom, work.path(), phantomBytes, phantomTime)
        && measure("grain", grain, work.path(), grainBytes, grainTime);
    if (!ok) {
        std::fprintf(stderr, "a send failed or a node's pixels differ\n");
        return 1;
    }
    const bool met = phantomBytes <= 0.55 && grainBytes <= 0.55 && phantomTime <= 0.6 && grainTime <= 0.6;
    std::printf("targets (bytes <= 0.55, time <= 0.6) %s\n", met ? "met" : "NOT met");
    return 0;
}
