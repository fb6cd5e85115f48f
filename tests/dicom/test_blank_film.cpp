// The blank check: an empty sheet, or one with nothing but noise and a
// marker, is blank; a film, or a sheet scanned halfway, is not.
#include "dicom/blank_film.h"
#include "dicom/dicom_toolkit.h"
#include "support/child_process.h"
#include "support/conditions.h"
#include "support/tiff_writer.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <tiffio.h>

#include <vector>

using namespace skiascan;
using namespace skiascan::test;

namespace {

constexpr uint32_t kWidth = 512;
constexpr uint32_t kHeight = 640;

class BlankFilmTest : public ::testing::Test {
protected:
    TestConditions conditions;
    QTemporaryDir dir;

    dicom::Uniformity measure(const std::function<uint32_t(uint32_t, uint32_t)>& value)
    {
        TiffShape shape;
        shape.width = kWidth;
        shape.height = kHeight;
        writeTiff(dir.filePath("sheet.tif"), shape, value);
        dicom::Image image;
        image.importFile(dir.filePath("sheet.tif"), "TIF");
        return dicom::measureUniformity(image);
    }

    // The demo scanner's chest film: 12-bit values, noise of +-128 counts.
    std::vector<uint16_t> phantom()
    {
        const QString path = dir.filePath("phantom.tif");
        ChildProcess scanner(QStringLiteral(SKIASCAN_PROGRAM_DIR "/SCANFILE.EXE"),
                             {"/TIF", "/LUT:I", "/F:" + path, QStringLiteral("/SIM:SIZE=%1x%2").arg(kWidth).arg(kHeight)});
        EXPECT_EQ(scanner.waitForExit(30000), 0);
        std::vector<uint16_t> pixels(std::size_t(kWidth) * kHeight);
        TIFF* tif = TIFFOpen(path.toLocal8Bit().constData(), "r");
        EXPECT_NE(tif, nullptr);
        if (!tif)
            return pixels;
        for (uint32_t y = 0; y < kHeight; ++y)
            TIFFReadScanline(tif, &pixels[std::size_t(y) * kWidth], y, 0);
        TIFFClose(tif);
        return pixels;
    }
};

// Scanner noise: evenly spread over -128 .. +127 counts.
int noise(uint32_t x, uint32_t y)
{
    uint32_t n = (x * 2654435761u) ^ (y * 2246822519u);
    n ^= n >> 15;
    n *= 2654435761u;
    return int((n >> 24) & 0xFF) - 128;
}

} // namespace

TEST_F(BlankFilmTest, AnEmptySheetIsBlankEvenWithNoiseShadingAndAMarker)
{
    const dicom::Uniformity empty = measure([](uint32_t, uint32_t) { return 3900u; });
    EXPECT_EQ(empty.spread, 0);
    EXPECT_EQ(empty.range, 4096);
    EXPECT_TRUE(empty.blank());

    // Noise of a 12-bit scanner, light falling off by 1% across the line, a
    // lead marker of 12 x 12 pixels and a few specks of dust.
    const dicom::Uniformity nearly = measure([](uint32_t x, uint32_t y) {
        if (x >= 100 && x < 112 && y >= 100 && y < 112)
            return 200u;
        if ((x * 7 + y * 13) % 997 == 0)
            return 4095u;
        return uint32_t(3800 - int(x) * 40 / int(kWidth) + noise(x, y));
    });
    EXPECT_TRUE(nearly.blank()) << "spread " << nearly.spread << " of " << nearly.range;
    EXPECT_EQ(nearly.range, 4096);

    // An 8-bit scanner that saw nothing but its own dark noise.
    const dicom::Uniformity dark = measure([](uint32_t x, uint32_t y) { return uint32_t(20 + noise(x, y) / 16); });
    EXPECT_EQ(dark.range, 256);
    EXPECT_TRUE(dark.blank()) << "spread " << dark.spread;
}

TEST_F(BlankFilmTest, AFilmAndASheetScannedHalfwayAreNotBlank)
{
    const std::vector<uint16_t> chest = phantom();
    const dicom::Uniformity film = measure([&](uint32_t x, uint32_t y) { return chest[std::size_t(y) * kWidth + x]; });
    EXPECT_FALSE(film.blank());
    EXPECT_GT(film.spread, film.range / 3);

    // A jam: the scanner's clear value with its noise below the middle.
    const dicom::Uniformity half = measure([&](uint32_t x, uint32_t y) {
        return y < kHeight / 2 ? chest[std::size_t(y) * kWidth + x] : uint32_t(3900 + noise(x, y));
    });
    EXPECT_FALSE(half.blank()) << "spread " << half.spread;

    // A faint film: the body only a tenth of the range above the background.
    const dicom::Uniformity faint = measure([&](uint32_t x, uint32_t y) {
        const double u = (double(x) - kWidth / 2.0) / kWidth;
        const double v = (double(y) - kHeight / 2.0) / kHeight;
        return uint32_t((u * u + v * v < 0.09 ? 2400 : 2000) + noise(x, y));
    });
    EXPECT_FALSE(faint.blank()) << "spread " << faint.spread;
}
