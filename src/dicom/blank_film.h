// A film whose pixels are almost uniform: the scanner ran without a film, or
// a jam left nothing on the sheet. Such a film is held for the operator.
#pragma once

#include "common/background.h"
#include "dicom/image.h"

namespace skiascan::dicom {

/// How uniform a film is, measured on the means of small blocks of it.
struct Uniformity {
    int spread = 0; ///< between the 1st and 99th percentile of the block means, inside the border
    int range = 0;  ///< the values the film's bit depth holds (256 for 8 bits, 4096 for 12 bits, ...)
    /// True when the spread is below 2% of the range (see blank_film.cpp for why).
    bool blank() const;
};

/// Measures how uniform the film in `image` is. Reads its pixels once, in
/// pieces (from memory or from its file). The image must not be used by
/// another thread meanwhile: give a job a sharedCopy(). Throws Failure as
/// reduceFilm() does.
Uniformity measureUniformity(const Image& image, const CancelFlag* cancel = nullptr);

/// True when the film in `image` is almost uniform: nothing on the sheet but
/// noise, dust or a marker. A sheet scanned halfway is not blank by this
/// measure. Throws Failure as reduceFilm() does.
bool looksBlank(const Image& image, const CancelFlag* cancel = nullptr);

} // namespace skiascan::dicom
