// Lossless compressed copies of an image: made once per film and syntax, kept
// as a file, and sent in place of the image to every node that takes the
// syntax (StoreAssociation::store()). The pixels a node decodes from a copy are
// the image's, bit for bit.
#pragma once

#include "common/peer_options.h"
#include "dicom/image.h"

#include <QString>

namespace skiascan::dicom {

/// Writes `image` as a DICOM file at `path` whose pixel data is compressed
/// losslessly with `compression` (JPEG-LS Lossless, 1.2.840.10008.1.2.4.80, or
/// JPEG Lossless first-order prediction, 1.2.840.10008.1.2.4.70): the same
/// SOP instance with the same attributes as the image sent uncompressed, and
/// Rows, Columns, Bits Allocated, Bits Stored, Pixel Representation and
/// Photometric Interpretation unchanged.
///
/// The image may hold its pixels in memory or still in its outbox file
/// (Image::loadFile()); they are read once, and `image` itself is not changed.
/// It is read on the calling thread, which may be any thread but must be the
/// only one using `image` meanwhile: hand over an Image::sharedCopy() made for
/// the job. The encoding needs about the image's pixel bytes once more in
/// memory, for as long as it runs.
///
/// The file is written under a temporary name beside `path` (the outbox's
/// ".writing-" prefix), made readable by the program's user only (0600),
/// flushed to the disk and renamed over `path`, the folder flushed too: after
/// a crash there is either the whole copy or none. Throws Failure with the
/// reason and leaves nothing behind: kind Argument for Compression::None or
/// an image without pixels, Limit when there is not the memory, File when the
/// copy cannot be written, General when the codec refuses the image.
void encodeCopy(const Image& image, Compression compression, const QString& path);

/// Reads a copy written by encodeCopy(), for sending; its compressed pixels
/// stay in the file and are read while they are sent. Throws Failure: kind File
/// when the file cannot be read, kind Damaged when it is not a complete
/// Secondary Capture image compressed with `compression`.
Image loadCopy(const QString& path, Compression compression);

} // namespace skiascan::dicom
