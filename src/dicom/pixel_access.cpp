// An image's pixel data read in pieces and replaced, for the pixel functions.

#include "dicom/pixel_access.h"

#include <dcmtk/dcmdata/dcvrobow.h>

namespace skiascan::dicom {

PixelLayout pixelLayout(DcmDataset& dataset)
{
    auto damaged = [](const QString& why) {
        return Failure(QStringLiteral("The image's pixels cannot be read: %1").arg(why), Failure::Kind::Damaged);
    };
    PixelLayout layout;
    Uint16 samples = 0;
    Uint16 bitsAllocated = 0;
    if (dataset.findAndGetUint16(DCM_Rows, layout.rows).bad() || dataset.findAndGetUint16(DCM_Columns, layout.columns).bad()
        || layout.rows == 0 || layout.columns == 0)
        throw damaged(QStringLiteral("the image does not say its size."));
    dataset.findAndGetUint16(DCM_SamplesPerPixel, samples);
    dataset.findAndGetUint16(DCM_BitsAllocated, bitsAllocated);
    if (samples != 1 || bitsAllocated != 16)
        throw damaged(QStringLiteral("they are not one sample of 16 bits per pixel."));
    if (dataset.findAndGetElement(DCM_PixelData, layout.pixels).bad() || !layout.pixels)
        throw damaged(QStringLiteral("the image has no pixel data."));
    if (quint64(layout.pixels->getLength()) != quint64(layout.rows) * layout.columns * 2)
        throw damaged(QStringLiteral("their length does not fit %1 x %2 pixels.").arg(layout.columns).arg(layout.rows));
    return layout;
}

void readRows(const PixelLayout& layout, Uint32 first, Uint32 count, Uint16* target, DcmFileCache& cache)
{
    const Uint32 rowBytes = Uint32(layout.columns) * 2;
    const OFCondition read = layout.pixels->getPartialValue(target, first * rowBytes, count * rowBytes, &cache, gLocalByteOrder);
    if (read.bad())
        throw Failure(QStringLiteral("The image's pixels cannot be read: %1").arg(conditionText(read)), Failure::Kind::Damaged);
}

void replacePixels(DcmDataset& dataset, std::shared_ptr<const PixelBuffer> buffer)
{
    const auto length = static_cast<Uint32>(buffer->bytes());
    auto pixelData = std::make_unique<DcmOtherByteOtherWord>(DcmTag(DCM_PixelData, EVR_OW));
    check(pixelData->createValueFromTempFile(new PixelBufferFactory(std::move(buffer)), length, gLocalByteOrder),
          QStringLiteral("Cannot store the image's pixels"));
    // insert() with replacement deletes the old element, and with it the
    // old buffer or the reference to the file, once no copy needs them.
    check(dataset.insert(pixelData.get(), true), QStringLiteral("Cannot store the image's pixels"));
    pixelData.release();
}

} // namespace skiascan::dicom
