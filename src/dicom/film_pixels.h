// A film's pixels reduced by a whole factor: averaged over square blocks, read
// once in pieces from the image's buffer or file, never copied whole. What the
// screen shows and what the blank check measures start from here.
#pragma once

#include "common/background.h"
#include "dicom/image.h"

#include <QSize>

#include <cstdint>
#include <vector>

namespace skiascan::dicom {

/// A film reduced by a whole factor.
struct ReducedFilm {
    int filmColumns = 0; ///< the film's own size
    int filmRows = 0;
    int factor = 1;      ///< each value is the mean of a block of factor x factor pixels
    int columns = 0;     ///< the reduced size: the film's size divided by factor, rounded up
    int rows = 0;
    std::vector<std::uint16_t> values; ///< rows x columns means, row by row
};

/// The size of the film in `image` (columns x rows), read from its attributes.
/// Throws Failure (kind Damaged) when its pixel data is not one 16-bit sample
/// per pixel of that size.
QSize filmSize(const Image& image);

/// The largest whole factor by which a film of `film` pixels can be reduced
/// and still fill `fit` in both directions (at least 1).
int reductionFor(QSize film, QSize fit);

/// Reads the pixels of `image` once, from its buffer in memory or from its
/// file, a few rows at a time, and averages each block of `factor` x `factor`
/// pixels (the blocks at the right and bottom edges may be smaller). Peak
/// memory beyond the result is `factor` rows of the film. The image must not be
/// used by another thread meanwhile: give the job a sharedCopy(). Throws
/// Failure: kind Damaged when the pixels cannot be read, kind Cancelled when
/// `cancel` turns while it reads.
ReducedFilm reduceFilm(const Image& image, int factor, const CancelFlag* cancel = nullptr);

} // namespace skiascan::dicom
