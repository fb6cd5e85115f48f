#include "common/failure.h"
#include "dicom/dicom_toolkit.h"
#include "dicom/image_attributes.h"
#include "support/conditions.h"
#include "support/dicom_file.h"
#include "support/qt_printers.h"
#include "support/tiff_writer.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace skiascan;
using namespace skiascan::test;
using dicom::Image;

namespace {

class ImageTest : public ::testing::Test {
protected:
    TestConditions conditions;
    static dicom::StudyRecord record()
    {
        return {"Smith", "John", "", "4711", "01.02.1960", "M", "07.12.2026", "Chest PA", "Film 1", "ACC-99",
                "CHEST", "1500", "3000"};
    }

    // Builds an image as the import does and writes it out for DCMTK to read.
    DicomFile build(const dicom::StudyRecord& r, const TiffShape& shape = {},
                    const std::function<uint32_t(uint32_t, uint32_t)>& pixels = [](uint32_t x, uint32_t y) {
                        return (x * 7 + y) % 4096;
                    })
    {
        writeTiff(dir.filePath("scan.tif"), shape, pixels);
        Image image;
        image.importFile(dir.filePath("scan.tif"), "TIF");
        dicom::setImageProperties(image, r);
        const dicom::ImageNumbering numbering{"2.25.1", "14:30:05", "2.25.2", "2.25.3", 7, {}};
        int calls = 0;
        dicom::addImageAttributes(image, r, numbering, QDate(2026, 12, 8), [&] { return QTime(9, 0, ++calls); });
        image.saveFile(dir.filePath("image.dcm"));
        return DicomFile(dir.filePath("image.dcm"));
    }

    QTemporaryDir dir;
};

} // namespace

TEST_F(ImageTest, CarriesTheRecordTheUidsAndTheEighteenAttributes)
{
    DicomFile dcm = build(record());
    const struct {
        DcmTagKey key;
        const char* value;
    } expected[] = {
        {DCM_PatientName, "Smith^John"},
        {DCM_PatientID, "4711"},
        {DCM_PatientBirthDate, "19600201"},
        {DCM_PatientSex, "M"},
        {DCM_StudyDescription, "Chest PA"},
        {DCM_SeriesDescription, "Film 1"},
        {DCM_StudyInstanceUID, "2.25.1"},
        {DCM_SeriesInstanceUID, "2.25.2"},
        {DCM_SOPInstanceUID, "2.25.3"},
        {DCM_SOPClassUID, "1.2.840.10008.5.1.4.1.1.7"},
        {DCM_StudyDate, "20261207"},
        {DCM_SeriesDate, "20261207"},
        {DCM_AcquisitionDate, "20261208"},
        {DCM_ContentDate, "20261207"},
        {DCM_StudyTime, "143005"},
        {DCM_SeriesTime, "090001"},
        {DCM_AcquisitionTime, "090002"},
        {DCM_ContentTime, "090003"},
        {DCM_AccessionNumber, "ACC-99"},
        {DCM_BodyPartExamined, "CHEST"},
        {DCM_StudyID, "1"},
        {DCM_SeriesNumber, "7"},
        {DCM_AcquisitionNumber, "7"},
        {DCM_InstanceNumber, "7"},
        {DCM_PixelRepresentation, "1"},
        {DCM_WindowCenter, "1500"},
        {DCM_WindowWidth, "3000"},
        {DCM_Modality, "SC"},
        {DCM_ConversionType, "DF"},
    };
    for (const auto& e : expected)
        EXPECT_EQ(dcm.text(e.key), e.value) << DcmTag(e.key).getTagName();
}

TEST_F(ImageTest, NameHasAMiddlePartOnlyWhenThereIsOne)
{
    dicom::StudyRecord r = record();
    EXPECT_EQ(dicom::patientNameOf("Smith", "John", ""), "Smith^John");
    EXPECT_EQ(dicom::patientNameOf("Smith", "John", "Q"), "Smith^John^Q");
    EXPECT_EQ(dicom::patientNameOf(" smith", "", ""), " smith^");
    r.middleName = "Q";
    EXPECT_EQ(build(r).text(DCM_PatientName), "Smith^John^Q");
}

TEST_F(ImageTest, EmptyDescriptionsAreAbsentAndAnEmptyAccessionNumberIsEmpty)
{
    dicom::StudyRecord r = record();
    r.studyDescription.clear();
    r.seriesDescription.clear();
    r.accessionNumber.clear();
    DicomFile dcm = build(r);
    EXPECT_FALSE(dcm.has(DCM_StudyDescription));
    EXPECT_FALSE(dcm.has(DCM_SeriesDescription));
    // Accession Number is required (Type 2) in a Secondary Capture image.
    EXPECT_TRUE(dcm.has(DCM_AccessionNumber));
    EXPECT_EQ(dcm.text(DCM_AccessionNumber), "");
}

TEST_F(ImageTest, TextGoesOutAsLatin1WhenItFitsAndAsUtf8Otherwise)
{
    dicom::StudyRecord r = record();
    r.lastName = QString::fromUtf8("Müller");
    r.firstName = QString::fromUtf8("Ødegård");
    DicomFile latin = build(r);
    EXPECT_EQ(latin.text(DCM_SpecificCharacterSet), "ISO_IR 100");
    OFString raw;
    latin.dataset().findAndGetOFString(DCM_PatientName, raw);
    EXPECT_EQ(raw, OFString("M\xFCller^\xD8" "deg\xE5rd"));

    r.firstName = QString::fromUtf8("李");
    DicomFile unicode = build(r);
    EXPECT_EQ(unicode.text(DCM_SpecificCharacterSet), "ISO_IR 192");
    EXPECT_EQ(unicode.utf8(DCM_PatientName), QString::fromUtf8("Müller^李"));

    DicomFile ascii = build(record());
    EXPECT_EQ(ascii.text(DCM_SpecificCharacterSet), "ISO_IR 100");
}

TEST_F(ImageTest, PixelRepresentationStaysUnsignedWhenAPixelWouldReadNegative)
{
    EXPECT_EQ(build(record(), {}, [](uint32_t, uint32_t) { return 32767u; }).text(DCM_PixelRepresentation), "1");
    EXPECT_EQ(build(record(), {}, [](uint32_t x, uint32_t) { return x == 0 ? 40000u : 5u; }).text(DCM_PixelRepresentation),
              "0");
}

TEST_F(ImageTest, DatesAndTimesInRegionalFormsBecomeDicom)
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    dicom::StudyRecord r = record();
    r.studyDate = "12/7/2026";
    r.birthDate = "Monday, February 1, 1960";
    writeTiff(dir.filePath("scan.tif"), TiffShape{});
    Image image;
    image.importFile(dir.filePath("scan.tif"), "TIF");
    dicom::setImageProperties(image, r);
    dicom::addImageAttributes(image, r, {"2.25.1", "2:30:05 PM", "2.25.2", "2.25.3", 1, {}}, QDate(2026, 12, 7),
                       [] { return QTime(23, 59, 58); });
    EXPECT_EQ(image.text(0x0008, 0x0020), "20261207");
    EXPECT_EQ(image.text(0x0010, 0x0030), "19600201");
    EXPECT_EQ(image.text(0x0008, 0x0030), "143005");
    EXPECT_EQ(image.text(0x0008, 0x0033), "235958");

    r.studyDate = "tomorrow";
    EXPECT_THROW(dicom::addImageAttributes(image, r, {"2.25.1", "", "2.25.2", "2.25.3", 1, {}}, QDate(2026, 12, 7),
                                    [] { return QTime(1, 2, 3); }),
                 Failure);
}

TEST_F(ImageTest, IsAValidSecondaryCaptureImageForEveryKindOfBodyPart)
{
    // Paired, unpaired, the default and none at all: Laterality is left out
    // only for a defined term of an unpaired structure, written exactly so.
    // A term typed in other letters is the operator's text, not the term.
    const struct {
        const char* bodyPart;
        bool laterality;
    } cases[] = {
        {"Unknown", true}, {"", true},        {"HAND", true},      {"KNEE", true},   {"CHEST", false},
        {"SKULL", false},  {"PELVIS", false}, {" LSPINE ", false}, {"Chest", true},  {"Abdomen", true},
        {" lspine ", true},
    };
    TiffShape shape;
    shape.xResolution = 254;
    shape.yResolution = 254;
    for (const auto& c : cases) {
        dicom::StudyRecord r = record();
        r.bodyPart = c.bodyPart;
        r.accessionNumber.clear();
        DicomFile dcm = build(r, shape);
        EXPECT_EQ(dcm.has(DCM_Laterality), c.laterality) << c.bodyPart;
        EXPECT_EQ(dcm.text(DCM_Laterality), "") << c.bodyPart;
        // Nothing but the lower-case letters of a typed term (which the
        // operator's own text keeps) is an error: no missing Type 2C.
        EXPECT_EQ(dciodvfyErrors(dir.filePath("image.dcm")), QStringList()) << c.bodyPart;
    }
}
