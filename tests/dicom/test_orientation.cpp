// Corrections of a film fed in the wrong way round: every pixel where it
// belongs, the size and the pixel spacing turned with it, the identity kept.
#include "dicom/dicom_toolkit.h"
#include "dicom/image_attributes.h"
#include "dicom/orientation.h"
#include "support/conditions.h"
#include "support/dicom_file.h"
#include "support/tiff_writer.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace skiascan;
using namespace skiascan::test;
using dicom::Correction;
using dicom::Image;

namespace {

class OrientationTest : public ::testing::Test {
protected:
    TestConditions conditions;
    QTemporaryDir dir;

    // A film of `width` x `height` 16-bit pixels at 127 dpi across and 254 dpi
    // down, so that its rows lie 0.1 mm apart and its columns 0.2 mm.
    Image film(uint32_t width, uint32_t height, const std::function<uint32_t(uint32_t, uint32_t)>& value)
    {
        TiffShape shape;
        shape.width = width;
        shape.height = height;
        shape.xResolution = 127;
        shape.yResolution = 254;
        writeTiff(dir.filePath("scan.tif"), shape, value);
        Image image;
        image.importFile(dir.filePath("scan.tif"), "TIF");
        const dicom::StudyRecord record{"Smith", "John", "", "4711", "01.02.1960", "M", "07.12.2026", "Chest PA",
                                        "Film 1", "", "CHEST", "1500", "3000"};
        dicom::setImageProperties(image, record);
        dicom::addImageAttributes(image, record, {"2.25.1", "14:30:05", "2.25.2", "2.25.3", 1, {}}, QDate(2026, 12, 8),
                                  [] { return QTime(9, 0, 0); });
        return image;
    }

    DicomFile saved(Image& image, const QString& name)
    {
        image.saveFile(dir.filePath(name));
        return DicomFile(dir.filePath(name));
    }
};

// Three pixels across, two down, each value with two different bytes:
//   a b c
//   d e f
constexpr Uint16 a = 0x1201, b = 0x3402, c = 0x5603, d = 0x7804, e = 0x9A05, f = 0xBC06;

} // namespace

TEST_F(OrientationTest, EachCorrectionMovesEveryPixelToItsPlaceAndKeepsTheImagesIdentity)
{
    const struct {
        Correction correction;
        const char* text;
        Uint16 columns;
        Uint16 rows;
        std::vector<Uint16> pixels;
        const char* spacing;
    } cases[] = {
        {Correction::RotateRight, "rotated 90 degrees right", 2, 3, {d, a, e, b, f, c}, "0.2\\0.1"},
        {Correction::RotateLeft, "rotated 90 degrees left", 2, 3, {c, f, b, e, a, d}, "0.2\\0.1"},
        {Correction::Rotate180, "rotated 180 degrees", 3, 2, {f, e, d, c, b, a}, "0.1\\0.2"},
        {Correction::FlipLeftRight, "flipped left-right", 3, 2, {c, b, a, f, e, d}, "0.1\\0.2"},
        {Correction::FlipTopBottom, "flipped top-bottom", 3, 2, {d, e, f, a, b, c}, "0.1\\0.2"},
    };
    const Uint16 pattern[] = {a, b, c, d, e, f};
    for (const auto& t : cases) {
        SCOPED_TRACE(t.text);
        Image image = film(3, 2, [&](uint32_t x, uint32_t y) { return pattern[y * 3 + x]; });
        EXPECT_EQ(image.text(0x0018, 0x2010), "0.1\\0.2");
        dicom::correct(image, t.correction);
        EXPECT_EQ(dicom::correctionText(t.correction), t.text);

        DicomFile dcm = saved(image, "corrected.dcm");
        EXPECT_EQ(dcm.pixels(), t.pixels);
        EXPECT_EQ(dcm.text(DCM_Columns), QString::number(t.columns));
        EXPECT_EQ(dcm.text(DCM_Rows), QString::number(t.rows));
        EXPECT_EQ(dcm.text(DCM_NominalScannedPixelSpacing), t.spacing);
        EXPECT_EQ(dcm.text(DCM_StudyInstanceUID), "2.25.1");
        EXPECT_EQ(dcm.text(DCM_SeriesInstanceUID), "2.25.2");
        EXPECT_EQ(dcm.text(DCM_SOPInstanceUID), "2.25.3");
        EXPECT_EQ(dcm.text(DCM_BitsStored), "16");
        EXPECT_EQ(dciodvfyErrors(dir.filePath("corrected.dcm")), QStringList());
    }
}

TEST_F(OrientationTest, AFilmReadFromItsFileIsCorrectedAndSavedOverThatFileAndASharedCopyKeepsItsPixels)
{
    // Taller than the bands the pixels are read in, and not square.
    constexpr uint32_t width = 150;
    constexpr uint32_t height = 133;
    auto value = [](uint32_t x, uint32_t y) { return (0x0101u * (y % 200) + x * 300u) % 65536u; };
    std::vector<Uint16> original;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            original.push_back(Uint16(value(x, y)));
    Image built = film(width, height, value);
    Image sending = built.sharedCopy();
    const QString path = dir.filePath("entry.dcm");
    built.saveFile(path);

    Image kept = Image::loadFile(path);
    dicom::correct(kept, Correction::RotateRight);
    kept.saveFile(path);

    DicomFile turned(path);
    ASSERT_EQ(turned.text(DCM_Columns), QString::number(height));
    ASSERT_EQ(turned.text(DCM_Rows), QString::number(width));
    const std::vector<Uint16> pixels = turned.pixels();
    ASSERT_EQ(pixels.size(), original.size());
    std::size_t misplaced = 0;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            if (pixels[std::size_t(x) * height + (height - 1 - y)] != original[std::size_t(y) * width + x])
                ++misplaced;
    EXPECT_EQ(misplaced, 0u);

    // Three more quarter turns bring every pixel back.
    for (int i = 0; i < 3; ++i)
        dicom::correct(kept, Correction::RotateRight);
    EXPECT_EQ(saved(kept, "round.dcm").pixels(), original);

    // The film in memory is corrected into a buffer of its own: a copy that
    // shares the old one still holds the film as it was.
    dicom::correct(built, Correction::FlipLeftRight);
    EXPECT_NE(saved(built, "flipped.dcm").pixels(), original);
    EXPECT_EQ(saved(sending, "sending.dcm").pixels(), original);
}
