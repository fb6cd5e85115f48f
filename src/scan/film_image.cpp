#include "scan/film_image.h"

#include "dicom/image_attributes.h"

#include <QFileInfo>
#include <QTime>

namespace skiascan {

FilmTooSmall::FilmTooSmall()
    : Failure(QStringLiteral("Importfile to small, scan may be failed!"), Failure::Kind::Scanner)
{
}

dicom::Image buildFilmImage(const FilmRecord& film, const QDate& today)
{
    const QFileInfo scan(film.scanFile);
    if (!scan.exists())
        throw Failure(QStringLiteral("The scanned file %1 cannot be found.").arg(film.scanFile), Failure::Kind::Scanner);
    if (scan.size() < kSmallestScanFile)
        throw FilmTooSmall();
    dicom::Image image;
    image.importFile(film.scanFile, QStringLiteral("TIF"));
    dicom::setImageProperties(image, film.study);
    dicom::addImageAttributes(image, film.study, film.numbering, today, [] { return QTime::currentTime(); });
    return image;
}

} // namespace skiascan
