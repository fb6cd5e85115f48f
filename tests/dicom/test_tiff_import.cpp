#include "common/failure.h"
#include "dicom/dicom_toolkit.h"
#include "support/conditions.h"
#include "support/dicom_file.h"
#include "support/qt_printers.h"
#include "support/tiff_writer.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

using namespace skiascan;
using namespace skiascan::test;
using dicom::Image;

namespace {

// Imports a TIFF and writes the image out again, for DCMTK to read back.
DicomFile importAndSave(const QTemporaryDir& dir, const QString& tiff)
{
    Image image;
    image.importFile(tiff, "TIF");
    image.setProperty(Image::Property::SOPClassUID, "1.2.840.10008.5.1.4.1.1.7");
    image.setProperty(Image::Property::InstanceUID, "1.2.3.4");
    const QString out = dir.filePath("out.dcm");
    image.saveFile(out);
    return DicomFile(out);
}

QString refusal(const QString& tiff)
{
    try {
        Image image;
        image.importFile(tiff, "TIF");
    } catch (const Failure& e) {
        return e.description();
    }
    return "(imported)";
}

// Everything written to stderr while `body` runs.
std::string stderrOf(const std::function<void()>& body)
{
    std::fflush(stderr);
    FILE* capture = std::tmpfile();
    const int saved = ::dup(2);
    ::dup2(::fileno(capture), 2);
    body();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::rewind(capture);
    std::string text;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, capture))
        text += buffer;
    std::fclose(capture);
    return text;
}

} // namespace

TEST(TiffImport, EveryLayoutAndCompressionGivesThePixelsUnchanged)
{
    QTemporaryDir dir;
    for (uint16_t bits : {8, 16})
        for (uint16_t compression : {1, 5, 8, 32773})
            for (uint32_t tile : {0u, 16u}) {
                TiffShape shape;
                shape.width = 50; // neither strips nor tiles fit evenly
                shape.height = 37;
                shape.bits = bits;
                shape.compression = compression;
                shape.tileSize = tile;
                const QString tiff = dir.filePath("in.tif");
                writeTiff(tiff, shape);
                DicomFile dcm = importAndSave(dir, tiff);
                const std::string what = "bits " + std::to_string(bits) + " compression " + std::to_string(compression)
                    + (tile ? " tiled" : " strips");
                EXPECT_EQ(dcm.text(DCM_Rows), "37") << what;
                EXPECT_EQ(dcm.text(DCM_Columns), "50") << what;
                EXPECT_EQ(dcm.text(DCM_PhotometricInterpretation), "MONOCHROME2") << what;
                EXPECT_EQ(dcm.text(DCM_BitsAllocated), "16");
                EXPECT_EQ(dcm.text(DCM_BitsStored), "16");
                EXPECT_EQ(dcm.text(DCM_HighBit), "15");
                const std::vector<Uint16> pixels = dcm.pixels();
                ASSERT_EQ(pixels.size(), 50u * 37u) << what;
                int wrong = 0;
                for (uint32_t y = 0; y < 37; ++y)
                    for (uint32_t x = 0; x < 50; ++x)
                        wrong += pixels[y * 50 + x] != patternValue(shape, x, y);
                EXPECT_EQ(wrong, 0) << what;
            }
}

TEST(TiffImport, MinIsWhiteBecomesMonochrome1)
{
    QTemporaryDir dir;
    TiffShape shape;
    shape.photometric = 0;
    writeTiff(dir.filePath("in.tif"), shape);
    DicomFile dcm = importAndSave(dir, dir.filePath("in.tif"));
    EXPECT_EQ(dcm.text(DCM_PhotometricInterpretation), "MONOCHROME1");
    EXPECT_EQ(dcm.pixels()[5], patternValue(shape, 5, 0));
    EXPECT_EQ(dcm.text(DCM_ConversionType), "DF");
}

TEST(TiffImport, ResolutionBecomesNominalScannedPixelSpacingInMillimetres)
{
    QTemporaryDir dir;
    TiffShape inch;
    inch.xResolution = 254;
    inch.yResolution = 254;
    writeTiff(dir.filePath("a.tif"), inch);
    EXPECT_EQ(importAndSave(dir, dir.filePath("a.tif")).text(DCM_NominalScannedPixelSpacing), "0.1\\0.1");

    TiffShape centimetre;
    centimetre.xResolution = 100; // 0.1 mm between columns
    centimetre.yResolution = 50;  // 0.2 mm between rows
    centimetre.resolutionUnit = 3;
    writeTiff(dir.filePath("b.tif"), centimetre);
    EXPECT_EQ(importAndSave(dir, dir.filePath("b.tif")).text(DCM_NominalScannedPixelSpacing), "0.2\\0.1");

    writeTiff(dir.filePath("c.tif"), TiffShape{});
    EXPECT_FALSE(importAndSave(dir, dir.filePath("c.tif")).has(DCM_NominalScannedPixelSpacing));
}

TEST(TiffImport, TellsWhetherThePixelsFitSigned)
{
    QTemporaryDir dir;
    for (uint32_t highest : {32767u, 32768u, 65535u}) {
        writeTiff(dir.filePath("in.tif"), TiffShape{}, [&](uint32_t x, uint32_t y) { return x == 3 && y == 4 ? highest : 100; });
        Image image;
        image.importFile(dir.filePath("in.tif"), "TIF");
        EXPECT_EQ(image.samplesFitSigned(), highest < 32768) << highest;
    }
}

TEST(TiffImport, RefusesWhatIsNoGrayscaleFilmWithAReasonAndNoNoise)
{
    QTemporaryDir dir;
    struct Case {
        const char* name;
        TiffShape shape;
        const char* reason;
    };
    TiffShape rgb;
    rgb.samples = 3;
    rgb.photometric = 2;
    rgb.bits = 8;
    TiffShape bilevel;
    bilevel.bits = 1;
    TiffShape floating;
    floating.bits = 32;
    floating.sampleFormat = 3;
    const Case cases[] = {
        {"colour", rgb, "colour"},
        {"bilevel", bilevel, "1 bits per pixel"},
        {"float", floating, "32 bits per pixel"},
    };
    for (const Case& c : cases) {
        const QString path = dir.filePath(QString(c.name) + ".tif");
        writeTiff(path, c.shape);
        const QString why = refusal(path);
        EXPECT_TRUE(why.contains(c.reason)) << c.name << ": " << why.toStdString();
        EXPECT_TRUE(why.contains(path)) << why.toStdString();
    }

    // A film cut short in transfer, and a file that is no TIFF at all.
    TiffShape big;
    big.width = 300;
    big.height = 200;
    big.compression = 5;
    writeTiff(dir.filePath("whole.tif"), big);
    QFile whole(dir.filePath("whole.tif"));
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    const QByteArray bytes = whole.readAll();
    QFile cut(dir.filePath("cut.tif"));
    ASSERT_TRUE(cut.open(QIODevice::WriteOnly));
    cut.write(bytes.left(bytes.size() / 2));
    cut.close();
    QFile garbage(dir.filePath("garbage.tif"));
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(20000, 'x'));
    garbage.close();

    QString cutWhy;
    QString garbageWhy;
    QString missingWhy;
    const std::string noise = stderrOf([&] {
        cutWhy = refusal(dir.filePath("cut.tif"));
        garbageWhy = refusal(dir.filePath("garbage.tif"));
        missingWhy = refusal(dir.filePath("missing.tif"));
    });
    EXPECT_TRUE(cutWhy.contains("damaged")) << cutWhy.toStdString();
    EXPECT_TRUE(garbageWhy.contains("not a TIFF file")) << garbageWhy.toStdString();
    EXPECT_TRUE(missingWhy.contains("does not exist")) << missingWhy.toStdString();
    EXPECT_EQ(noise, "");
}

TEST(TiffImport, SizesTheFileClaimsAreCheckedBeforeAnythingIsAllocated)
{
    // A small file claiming huge tiles, a huge image, or strips larger than
    // itself is refused without the memory it claims.
    QTemporaryDir dir;
    const long before = peakResidentKilobytes();
    TiffShape tiled;
    tiled.tileSize = 16;
    const QString tiles = dir.filePath("tiles.tif");
    writeTiff(tiles, tiled);
    patchTiffTag(tiles, 322, 32768); // TileWidth
    patchTiffTag(tiles, 323, 16384); // TileLength
    EXPECT_TRUE(refusal(tiles).contains("its tiles of 32768 x 16384 pixels do not fit an image of 64 x 48"))
        << refusal(tiles).toStdString();

    const QString image = dir.filePath("image.tif");
    writeTiff(image, TiffShape{});
    patchTiffTag(image, 256, 30000); // ImageWidth
    patchTiffTag(image, 257, 30000); // ImageLength
    patchTiffTag(image, 278, 30000); // RowsPerStrip: one strip
    EXPECT_TRUE(refusal(image).contains("holds far too few bytes") || refusal(image).contains("more than the whole file"))
        << refusal(image).toStdString();

    const QString strip = dir.filePath("strip.tif");
    writeTiff(strip, TiffShape{});
    patchTiffTag(strip, 279, 0xFFFFFFF0u, 1); // StripByteCounts of the second strip
    EXPECT_TRUE(refusal(strip).contains("more than the whole file holds") || refusal(strip).contains("far too few bytes"))
        << refusal(strip).toStdString();

    EXPECT_LT(peakResidentKilobytes() - before, 50 * 1024) << "memory was allocated for the claims";
}
