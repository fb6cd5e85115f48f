// Shared by the toolkit's pixel functions (the reduction for the screen, the
// corrections, the blank check): an image's pixel data read in pieces, from
// memory or from its file, and replaced by a buffer of its own.
#pragma once

#include "dicom/dcmtk_internal.h"
#include "dicom/pixel_buffer.h"

#include <dcmtk/dcmdata/dcfcache.h>

#include <memory>

namespace skiascan::dicom {

/// The toolkit's way into an image's data set.
struct ImageAccess {
    static Image::Impl& of(const Image& image) { return *image.m_impl; }
};

/// Where an image's pixels are and how they lie: one sample of 16 bits per
/// pixel, row by row, as the toolkit writes every image.
struct PixelLayout {
    Uint16 rows = 0;
    Uint16 columns = 0;
    DcmElement* pixels = nullptr; ///< owned by the data set
};

/// Reads the layout of the pixel data of `dataset`. Throws Failure (kind
/// Damaged) when there is no pixel data, when it is not one sample of 16 bits
/// per pixel, or when its length is not rows x columns of them.
PixelLayout pixelLayout(DcmDataset& dataset);

/// Copies the rows first .. first + count - 1 into `target` (count x columns
/// words, in the machine's byte order), from memory or from the image's file,
/// without loading the whole pixel data. `cache` keeps the file open between
/// calls that go forward through it. Not for two threads on one element.
/// Throws Failure (kind Damaged) when the pixels cannot be read.
void readRows(const PixelLayout& layout, Uint32 first, Uint32 count, Uint16* target, DcmFileCache& cache);

/// Replaces the pixel data of `dataset` with `buffer` (rows x columns words,
/// in the machine's byte order), read in pieces whenever the image is written
/// or sent, as an imported film's pixels are. Throws Failure.
void replacePixels(DcmDataset& dataset, std::shared_ptr<const PixelBuffer> buffer);

} // namespace skiascan::dicom
