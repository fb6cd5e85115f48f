// Corrections of a film fed in the wrong way round: turns and mirrors of the
// pixel data itself, exact and lossless, made before the image is sent.
#pragma once

#include "dicom/image.h"

#include <QString>

namespace skiascan::dicom {

enum class Correction {
    RotateRight,   ///< 90 degrees clockwise
    RotateLeft,    ///< 90 degrees counter-clockwise
    Rotate180,
    FlipLeftRight, ///< the left and right sides swapped (a film fed back to front)
    FlipTopBottom, ///< the top and bottom swapped
};

/// What a correction did, for the log: "rotated 90 degrees right",
/// "rotated 90 degrees left", "rotated 180 degrees", "flipped left-right",
/// "flipped top-bottom".
QString correctionText(Correction correction);

/// Applies `correction` to the pixel data of `image`: every pixel moves to its
/// new place, no value changes. A quarter turn swaps Rows and Columns, and with
/// them the two values of Nominal Scanned Pixel Spacing (0018,2010) (row
/// spacing, column spacing) and of Pixel Aspect Ratio (0028,0034) when present.
/// Every other attribute, the UIDs among them, stays as it is.
///
/// Works on an image whose pixels are in memory (an imported film) and on one
/// read with Image::loadFile() whose pixels are still in its file: they are
/// read in pieces into a new buffer that the image then holds, so that the
/// image can afterwards be saved over the file it came from (the caller makes
/// that write durable). The pixels are never changed where they lie: a copy
/// made before with sharedCopy() keeps the film in memory as it was (a copy
/// whose pixels are in a file reads what the file holds). Needs memory for
/// one more film while it runs. Throws Failure: kind
/// Damaged when the pixels cannot be read, kind Limit when there is not the
/// memory; the image is unchanged then.
void correct(Image& image, Correction correction);

} // namespace skiascan::dicom
