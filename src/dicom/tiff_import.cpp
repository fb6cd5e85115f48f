// TIFF import: a scanned film's grayscale pixels, read once, straight into the
// 16-bit pixel buffer of the DICOM data set.

#include "dicom/dcmtk_internal.h"

#include "dicom/pixel_buffer.h"

#include <dcmtk/dcmdata/dcvrobow.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <tiffio.h>

#include <QDate>
#include <QFileInfo>
#include <QTime>

#include <cstdarg>
#include <cstring>
#include <memory>

namespace skiascan::dicom {

namespace {

// Rows and Columns are 16-bit in DICOM; the pixel data must stay well inside the
// 32-bit element length.
constexpr uint32_t kMaxSide = 65535;
constexpr uint64_t kMaxPixelBytes = 1ull << 31;

struct TiffMessages {
    QString firstError;
};

int onError(TIFF*, void* userData, const char* module, const char* fmt, va_list ap)
{
    auto* messages = static_cast<TiffMessages*>(userData);
    if (messages->firstError.isEmpty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, fmt, ap);
        messages->firstError = module && *module ? QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(module), QString::fromLocal8Bit(text))
                                                 : QString::fromLocal8Bit(text);
    }
    return 1; // handled: nothing reaches stderr
}

int onWarning(TIFF*, void*, const char*, const char*, va_list)
{
    return 1; // warnings about unknown tags and the like are no concern of the operator
}

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

struct OptionsFree {
    void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};

class Refusal {
public:
    explicit Refusal(QString path)
        : m_path(std::move(path))
    {
    }
    [[noreturn]] void operator()(const QString& reason) const
    {
        throw Failure(QStringLiteral("The scanned file %1 cannot be imported: %2").arg(m_path, reason));
    }

private:
    QString m_path;
};

template <typename T>
T field(TIFF* tif, ttag_t tag, T fallback)
{
    T value{};
    return TIFFGetFieldDefaulted(tif, tag, &value) == 1 ? value : fallback;
}

// Widens `count` 8-bit samples at the start of `words` to 16 bits, in place.
// Going backwards never overwrites a byte that is still to be read.
void widenInPlace(Uint16* words, std::size_t count)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(words);
    for (std::size_t i = count; i-- > 0;)
        words[i] = bytes[i];
}

} // namespace

void importTiff(const QString& path, Image::Impl& image)
{
    const Refusal refuse(path);
    static const bool globalHandlersOff = [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
        return true;
    }();
    (void)globalHandlersOff;

    TiffMessages messages;
    std::unique_ptr<TIFFOpenOptions, OptionsFree> options(TIFFOpenOptionsAlloc());
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), onError, &messages);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), onWarning, nullptr);
    // What libtiff allocates for itself (a compressed strip or tile) is bounded
    // by the file's size, checked below; this is the last line of defence.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), 128 * 1024 * 1024);

    if (!QFileInfo::exists(path))
        refuse(QStringLiteral("the file does not exist."));
    // "m": no memory-mapping, so the file is read straight into the pixel buffer
    // instead of being mapped beside it.
    TiffHandle tif(TIFFOpenExt(path.toLocal8Bit().constData(), "rm", options.get()));
    if (!tif)
        refuse(messages.firstError.isEmpty() ? QStringLiteral("it is not a TIFF file, or it is damaged.")
                                             : QStringLiteral("it is not a TIFF file, or it is damaged (%1).").arg(messages.firstError));
    TIFF* t = tif.get();

    const uint32_t width = field<uint32_t>(t, TIFFTAG_IMAGEWIDTH, 0);
    const uint32_t height = field<uint32_t>(t, TIFFTAG_IMAGELENGTH, 0);
    const uint16_t bits = field<uint16_t>(t, TIFFTAG_BITSPERSAMPLE, 1);
    const uint16_t samples = field<uint16_t>(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    const uint16_t format = field<uint16_t>(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    const uint16_t compression = field<uint16_t>(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    const uint16_t fillOrder = field<uint16_t>(t, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
    const uint16_t orientation = field<uint16_t>(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    uint16_t photometric = 0;
    if (TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric) != 1)
        refuse(QStringLiteral("it does not say how its pixels are to be shown (no photometric interpretation)."));

    if (samples != 1 || (photometric != PHOTOMETRIC_MINISBLACK && photometric != PHOTOMETRIC_MINISWHITE))
        refuse(QStringLiteral("it is a colour image; only grayscale films can be imported."));
    if (bits != 8 && bits != 16)
        refuse(QStringLiteral("it has %1 bits per pixel; only 8- and 16-bit grayscale can be imported.").arg(bits));
    if (format != SAMPLEFORMAT_UINT)
        refuse(QStringLiteral("its pixels are not unsigned integers (sample format %1).").arg(format));
    if (compression != COMPRESSION_NONE && compression != COMPRESSION_LZW && compression != COMPRESSION_ADOBE_DEFLATE
        && compression != COMPRESSION_DEFLATE && compression != COMPRESSION_PACKBITS)
        refuse(QStringLiteral("it uses compression %1; only uncompressed, LZW, Deflate and PackBits files can be imported.")
                   .arg(compression));
    if (fillOrder != FILLORDER_MSB2LSB)
        refuse(QStringLiteral("its bits are stored in reverse order (fill order 2)."));
    if (orientation != ORIENTATION_TOPLEFT)
        refuse(QStringLiteral("it asks for orientation %1; only top-left (1) is supported.").arg(orientation));
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide)
        refuse(QStringLiteral("its size of %1 x %2 pixels is not a film size.").arg(width).arg(height));
    const uint64_t pixelCount = uint64_t(width) * height;
    if (pixelCount * 2 > kMaxPixelBytes)
        refuse(QStringLiteral("its size of %1 x %2 pixels is too large.").arg(width).arg(height));

    // Every size below is the file's claim: it is checked against the image and
    // the file, in 64 bits, before anything is allocated for it.
    const std::size_t bytesPerSample = bits / 8;
    const uint64_t imageBytes = pixelCount * bytesPerSample;
    const uint64_t fileSize = static_cast<uint64_t>(QFileInfo(path).size());
    const bool tiled = TIFFIsTiled(t);
    const uint32_t parts = tiled ? TIFFNumberOfTiles(t) : TIFFNumberOfStrips(t);
    uint32_t rowsPerStrip = 0;
    uint32_t tileWidth = 0;
    uint32_t tileHeight = 0;
    if (!tiled) {
        rowsPerStrip = std::min(field<uint32_t>(t, TIFFTAG_ROWSPERSTRIP, height), height);
        if (rowsPerStrip == 0 || parts != (uint64_t(height) + rowsPerStrip - 1) / rowsPerStrip)
            refuse(QStringLiteral("its strips do not cover the image."));
    } else {
        tileWidth = field<uint32_t>(t, TIFFTAG_TILEWIDTH, 0);
        tileHeight = field<uint32_t>(t, TIFFTAG_TILELENGTH, 0);
        // Tiles come in multiples of 16 pixels and may overhang the image, but
        // a tile larger than the image rounded up so is no film's.
        auto roundUp16 = [](uint64_t n) { return (n + 15) / 16 * 16; };
        if (tileWidth == 0 || tileHeight == 0 || tileWidth > roundUp16(width) || tileHeight > roundUp16(height))
            refuse(QStringLiteral("its tiles of %1 x %2 pixels do not fit an image of %3 x %4.")
                       .arg(tileWidth)
                       .arg(tileHeight)
                       .arg(width)
                       .arg(height));
        const uint64_t across = (uint64_t(width) + tileWidth - 1) / tileWidth;
        const uint64_t down = (uint64_t(height) + tileHeight - 1) / tileHeight;
        if (parts != across * down
            || uint64_t(TIFFTileSize64(t)) != uint64_t(tileWidth) * tileHeight * bytesPerSample)
            refuse(QStringLiteral("its tiles are not laid out as a grayscale image."));
    }

    uint64_t* byteCounts = nullptr;
    if (TIFFGetField(t, tiled ? TIFFTAG_TILEBYTECOUNTS : TIFFTAG_STRIPBYTECOUNTS, &byteCounts) != 1 || !byteCounts
        || parts == 0)
        refuse(QStringLiteral("it does not say where its pixels are."));
    uint64_t storedBytes = 0;
    for (uint32_t i = 0; i < parts; ++i) {
        if (byteCounts[i] > fileSize)
            refuse(QStringLiteral("it claims %1 bytes for one %2, more than the whole file holds.")
                       .arg(byteCounts[i])
                       .arg(tiled ? QStringLiteral("tile") : QStringLiteral("strip")));
        storedBytes += byteCounts[i]; // at most parts * fileSize: no overflow
    }
    // Uncompressed pixels take their full room; compressed ones at most a few
    // thousand times less (more than any scanner's film compresses).
    constexpr uint64_t kMostCompression = 4096;
    if (compression == COMPRESSION_NONE ? storedBytes < imageBytes : storedBytes * kMostCompression < imageBytes)
        refuse(QStringLiteral("it claims %1 x %2 pixels but holds far too few bytes for them.").arg(width).arg(height));

    DcmDataset& ds = image.dataset();
    std::shared_ptr<PixelBuffer> buffer;
    try {
        buffer = std::make_shared<PixelBuffer>(static_cast<std::size_t>(pixelCount * 2));
    } catch (const Failure&) {
        refuse(QStringLiteral("there is not enough memory for %1 x %2 pixels.").arg(width).arg(height));
    }
    auto* words = static_cast<Uint16*>(buffer->data());

    auto readError = [&](const QString& where) {
        refuse(QStringLiteral("%1 is damaged or cut short%2").arg(where, messages.firstError.isEmpty() ? QStringLiteral(".") : QStringLiteral(" (%1).").arg(messages.firstError)));
    };

    if (!tiled) {
        for (tstrip_t s = 0; s < parts; ++s) {
            const uint32_t firstRow = s * rowsPerStrip;
            const uint32_t rows = std::min(rowsPerStrip, height - firstRow);
            const std::size_t samplesInStrip = std::size_t(rows) * width;
            Uint16* target = words + std::size_t(firstRow) * width;
            const tmsize_t want = static_cast<tmsize_t>(samplesInStrip * bytesPerSample);
            if (TIFFReadEncodedStrip(t, s, target, want) != want)
                readError(QStringLiteral("strip %1").arg(s + 1));
            if (bits == 8)
                widenInPlace(target, samplesInStrip);
        }
    } else {
        const tmsize_t tileBytes = static_cast<tmsize_t>(uint64_t(tileWidth) * tileHeight * bytesPerSample);
        // One tile of scratch space: tiles overhang the image at its right and
        // bottom edges and must be clipped.
        std::vector<unsigned char> tile(static_cast<std::size_t>(tileBytes));
        for (uint32_t y = 0; y < height; y += tileHeight) {
            for (uint32_t x = 0; x < width; x += tileWidth) {
                const ttile_t index = TIFFComputeTile(t, x, y, 0, 0);
                if (TIFFReadEncodedTile(t, index, tile.data(), tileBytes) != tileBytes)
                    readError(QStringLiteral("tile %1").arg(index + 1));
                const uint32_t rows = std::min(tileHeight, height - y);
                const uint32_t cols = std::min(tileWidth, width - x);
                for (uint32_t r = 0; r < rows; ++r) {
                    Uint16* out = words + std::size_t(y + r) * width + x;
                    const unsigned char* in = tile.data() + std::size_t(r) * tileWidth * bytesPerSample;
                    if (bits == 16) {
                        std::memcpy(out, in, std::size_t(cols) * 2);
                    } else {
                        for (uint32_t c = 0; c < cols; ++c)
                            out[c] = in[c];
                    }
                }
            }
        }
    }

    Uint16 highest = 0;
    for (uint64_t i = 0; i < pixelCount; ++i)
        highest = std::max(highest, words[i]);
    image.fitsSigned = highest < 0x8000;

    auto put = [&](const DcmTagKey& key, const char* value) {
        if (ds.putAndInsertString(key, value).bad())
            refuse(QStringLiteral("the image description cannot be stored."));
    };
    auto putUint16 = [&](const DcmTagKey& key, Uint16 value) {
        if (ds.putAndInsertUint16(key, value).bad())
            refuse(QStringLiteral("the image description cannot be stored."));
    };
    putUint16(DCM_SamplesPerPixel, 1);
    put(DCM_PhotometricInterpretation, photometric == PHOTOMETRIC_MINISWHITE ? "MONOCHROME1" : "MONOCHROME2");
    putUint16(DCM_Rows, static_cast<Uint16>(height));
    putUint16(DCM_Columns, static_cast<Uint16>(width));
    putUint16(DCM_BitsAllocated, 16);
    putUint16(DCM_BitsStored, 16);
    putUint16(DCM_HighBit, 15);
    putUint16(DCM_PixelRepresentation, 0);
    // A digitised film (PS3.3 C.8.6.1), captured now.
    put(DCM_ConversionType, "DF");
    put(DCM_DateOfSecondaryCapture, QDate::currentDate().toString(QStringLiteral("yyyyMMdd")).toLatin1().constData());
    put(DCM_TimeOfSecondaryCapture, QTime::currentTime().toString(QStringLiteral("HHmmss")).toLatin1().constData());

    // Nominal Scanned Pixel Spacing (0018,2010): row spacing \ column spacing in
    // millimetres, from the scanner's resolution, so that a viewer can measure.
    float xResolution = 0;
    float yResolution = 0;
    const uint16_t unit = field<uint16_t>(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    if (TIFFGetField(t, TIFFTAG_XRESOLUTION, &xResolution) == 1 && TIFFGetField(t, TIFFTAG_YRESOLUTION, &yResolution) == 1
        && xResolution > 0 && yResolution > 0 && (unit == RESUNIT_INCH || unit == RESUNIT_CENTIMETER)) {
        const double mmPerUnit = unit == RESUNIT_INCH ? 25.4 : 10.0;
        const QString spacing = QStringLiteral("%1\\%2")
                                    .arg(QString::number(mmPerUnit / yResolution, 'g', 8))
                                    .arg(QString::number(mmPerUnit / xResolution, 'g', 8));
        put(DCM_NominalScannedPixelSpacing, spacing.toLatin1().constData());
    } else {
        ds.findAndDeleteElement(DCM_NominalScannedPixelSpacing);
    }

    // The pixel data element reads the buffer in pieces whenever the image is
    // written or sent: the pixels exist once, however many copies send them.
    const Uint32 length = static_cast<Uint32>(pixelCount * 2);
    auto pixelData = std::make_unique<DcmOtherByteOtherWord>(DcmTag(DCM_PixelData, EVR_OW));
    if (pixelData->createValueFromTempFile(new PixelBufferFactory(buffer), length, gLocalByteOrder).bad()
        || ds.insert(pixelData.get(), true).bad())
        refuse(QStringLiteral("the pixels cannot be stored."));
    pixelData.release(); // owned by the data set now
}

} // namespace skiascan::dicom
