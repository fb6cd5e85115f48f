// The DICOM image of one scanned film, built the same way for a film just
// scanned and for one recovered after a crash.
#pragma once

#include "common/failure.h"
#include "dicom/image.h"
#include "scan/film_record.h"

#include <QDate>

namespace skiascan {

/// A scanned file smaller than this holds no film: the scan went wrong.
inline constexpr qint64 kSmallestScanFile = 10240;

/// Thrown when the scanned file is too small to hold a film. Its description is
/// the operator's message "Importfile to small, scan may be failed!".
class FilmTooSmall : public Failure {
public:
    FilmTooSmall();
};

/// Builds the image of `film` from its scan file: the TIFF's pixels, the study
/// record taken at the click, and the film's identity (UIDs, number) as the
/// journal holds them. `today` is the date of the import. Throws FilmTooSmall
/// for a file under kSmallestScanFile bytes, Failure (kind Scanner) when the
/// file is gone, and Failure for a TIFF that cannot be read or a value the
/// image cannot take. The file is never changed.
dicom::Image buildFilmImage(const FilmRecord& film, const QDate& today);

} // namespace skiascan
