// Turns and mirrors of a film's pixel data.

#include "dicom/orientation.h"

#include "dicom/pixel_access.h"

#include <algorithm>

namespace skiascan::dicom {

namespace {

// Swaps the two values of a two-valued text attribute ("a\b" becomes "b\a").
void swapPair(DcmDataset& dataset, const DcmTagKey& key)
{
    OFString first;
    OFString second;
    if (dataset.findAndGetOFString(key, first, 0).bad() || dataset.findAndGetOFString(key, second, 1).bad())
        return;
    const OFString swapped = second + "\\" + first;
    check(dataset.putAndInsertOFStringArray(key, swapped), QStringLiteral("Cannot correct the image"));
}

} // namespace

QString correctionText(Correction correction)
{
    switch (correction) {
    case Correction::RotateRight:
        return QStringLiteral("rotated 90 degrees right");
    case Correction::RotateLeft:
        return QStringLiteral("rotated 90 degrees left");
    case Correction::Rotate180:
        return QStringLiteral("rotated 180 degrees");
    case Correction::FlipLeftRight:
        return QStringLiteral("flipped left-right");
    case Correction::FlipTopBottom:
        return QStringLiteral("flipped top-bottom");
    }
    return {};
}

void correct(Image& image, Correction correction)
{
    ensureToolkitReady();
    DcmDataset& dataset = ImageAccess::of(image).dataset();
    const PixelLayout layout = pixelLayout(dataset);
    const std::size_t rows = layout.rows;
    const std::size_t columns = layout.columns;
    const bool quarterTurn = correction == Correction::RotateRight || correction == Correction::RotateLeft;

    std::shared_ptr<PixelBuffer> buffer;
    try {
        buffer = std::make_shared<PixelBuffer>(rows * columns * 2);
    } catch (const Failure&) {
        throw Failure(QStringLiteral("There is not enough memory to correct the image."), Failure::Kind::Limit);
    }
    auto* target = static_cast<Uint16*>(buffer->data());

    // Where the pixel at (row r, column c) goes. After a quarter turn the
    // image is `rows` wide.
    auto place = [&](std::size_t r, std::size_t c) -> std::size_t {
        switch (correction) {
        case Correction::RotateRight:
            return c * rows + (rows - 1 - r);
        case Correction::RotateLeft:
            return (columns - 1 - c) * rows + r;
        case Correction::Rotate180:
            return (rows - 1 - r) * columns + (columns - 1 - c);
        case Correction::FlipLeftRight:
            return r * columns + (columns - 1 - c);
        case Correction::FlipTopBottom:
            return (rows - 1 - r) * columns + c;
        }
        return 0;
    };

    // A band of rows at a time; for a quarter turn the inner loop runs down
    // the band, so that the writes of one source column land side by side.
    constexpr std::size_t kBand = 64;
    std::vector<Uint16> band(std::min(kBand, rows) * columns);
    DcmFileCache cache;
    for (std::size_t first = 0; first < rows; first += kBand) {
        const std::size_t count = std::min(kBand, rows - first);
        readRows(layout, Uint32(first), Uint32(count), band.data(), cache);
        if (quarterTurn) {
            for (std::size_t c = 0; c < columns; ++c)
                for (std::size_t r = 0; r < count; ++r)
                    target[place(first + r, c)] = band[r * columns + c];
        } else {
            for (std::size_t r = 0; r < count; ++r)
                for (std::size_t c = 0; c < columns; ++c)
                    target[place(first + r, c)] = band[r * columns + c];
        }
    }

    replacePixels(dataset, std::move(buffer));
    if (quarterTurn) {
        check(dataset.putAndInsertUint16(DCM_Rows, layout.columns), QStringLiteral("Cannot correct the image"));
        check(dataset.putAndInsertUint16(DCM_Columns, layout.rows), QStringLiteral("Cannot correct the image"));
        swapPair(dataset, DCM_NominalScannedPixelSpacing);
        swapPair(dataset, DCM_PixelAspectRatio);
    }
}

} // namespace skiascan::dicom
