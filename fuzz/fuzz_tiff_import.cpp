// Fuzz target: a scanned file, from TIFF bytes to the finished image written out.
#include "dicom/dicom_toolkit.h"
#include "dicom/image_attributes.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace skiascan;
    const QString tiff = fuzz::writeInput("scan.tif", data, size);
    fuzz::refusalsOnly([&] {
        dicom::Image image;
        image.importFile(tiff, QStringLiteral("TIF"));
        const dicom::StudyRecord record{"Fuzz", "Film", "", "F-1", "19600201", "O", "20261207", "", "", "", "CHEST", "1500",
                                        "3000"};
        dicom::setImageProperties(image, record);
        dicom::addImageAttributes(image, record, {"2.25.1", "10:00:00", "2.25.2", "2.25.3", 1, {}}, QDate(2026, 12, 7),
                                  [] { return QTime(10, 0, 1); });
        image.saveFile(fuzz::scratchPath("image.dcm"));
    });
    return 0;
}
