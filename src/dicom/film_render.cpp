// The film as a picture: DicomImage windows and scales the reduced film.

#include "dicom/film_render.h"

#include "dicom/dcmtk_internal.h"
#include "dicom/film_pixels.h"

#include <dcmtk/dcmimgle/dcmimage.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

namespace skiascan::dicom {

struct FilmPreview::Data {
    ReducedFilm film;
    bool monochrome1 = false;
    std::optional<VoiWindow> own;
    int lowest = 0;
    int highest = 0;
    // The film scaled to the size it was last shown at, kept by DicomImage
    // so that a new window is only a new output of it (a drag of the mouse).
    mutable std::mutex scaledLock;
    mutable std::unique_ptr<DicomImage> scaled;
};

namespace {

// The first value of a multi-valued number attribute, when it is a number.
std::optional<double> firstNumber(const std::optional<QString>& text)
{
    if (!text)
        return std::nullopt;
    bool ok = false;
    const double value = text->section(QLatin1Char('\\'), 0, 0).trimmed().toDouble(&ok);
    return ok && std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

// A data set of the reduced film alone, as DicomImage reads it.
void describeReduced(DcmDataset& dataset, const ReducedFilm& film, bool monochrome1)
{
    const QString what = QStringLiteral("Cannot show the film");
    check(dataset.putAndInsertUint16(DCM_SamplesPerPixel, 1), what);
    check(dataset.putAndInsertString(DCM_PhotometricInterpretation, monochrome1 ? "MONOCHROME1" : "MONOCHROME2"), what);
    check(dataset.putAndInsertUint16(DCM_Rows, static_cast<Uint16>(film.rows)), what);
    check(dataset.putAndInsertUint16(DCM_Columns, static_cast<Uint16>(film.columns)), what);
    check(dataset.putAndInsertUint16(DCM_BitsAllocated, 16), what);
    check(dataset.putAndInsertUint16(DCM_BitsStored, 16), what);
    check(dataset.putAndInsertUint16(DCM_HighBit, 15), what);
    check(dataset.putAndInsertUint16(DCM_PixelRepresentation, 0), what);
    check(dataset.putAndInsertUint16Array(DCM_PixelData, film.values.data(), static_cast<unsigned long>(film.values.size())),
          what);
}

} // namespace

std::optional<VoiWindow> windowFromTexts(const QString& center, const QString& width)
{
    const auto c = firstNumber(center);
    const auto w = firstNumber(width);
    if (!c || !w || *w <= 0)
        return std::nullopt;
    return VoiWindow{*c, *w};
}

QSize fittedSize(QSize film, QSize target)
{
    if (film.isEmpty())
        return {1, 1};
    const double scale = std::min(double(std::max(1, target.width())) / film.width(),
                                  double(std::max(1, target.height())) / film.height());
    return {std::max(1, int(std::lround(film.width() * scale))), std::max(1, int(std::lround(film.height() * scale)))};
}

FilmPreview::FilmPreview() = default;

FilmPreview FilmPreview::of(const Image& image, QSize fit, const CancelFlag* cancel)
{
    auto data = std::make_shared<Data>();
    // Enough pixels for the picture as it will be shown, fitted into `fit`.
    const QSize film = dicom::filmSize(image);
    data->film = reduceFilm(image, reductionFor(film, fittedSize(film, fit)), cancel);
    data->monochrome1 = image.text(0x0028, 0x0004).value_or(QString()).trimmed() == QLatin1String("MONOCHROME1");
    const auto [low, high] = std::minmax_element(data->film.values.begin(), data->film.values.end());
    data->lowest = *low;
    data->highest = *high;
    const auto center = firstNumber(image.text(0x0028, 0x1050));
    const auto width = firstNumber(image.text(0x0028, 0x1051));
    if (center && width && *width > 0)
        data->own = VoiWindow{*center, *width};
    FilmPreview preview;
    preview.m_data = std::move(data);
    return preview;
}

QSize FilmPreview::filmSize() const
{
    return m_data ? QSize(m_data->film.filmColumns, m_data->film.filmRows) : QSize();
}

QSize FilmPreview::size() const
{
    return m_data ? QSize(m_data->film.columns, m_data->film.rows) : QSize();
}

bool FilmPreview::covers(QSize target) const
{
    if (!m_data)
        return false;
    const QSize shown = fittedSize(filmSize(), target);
    return size().width() >= shown.width() && size().height() >= shown.height();
}

bool FilmPreview::inverted() const
{
    return m_data && m_data->monochrome1;
}

int FilmPreview::lowest() const
{
    return m_data ? m_data->lowest : 0;
}

int FilmPreview::highest() const
{
    return m_data ? m_data->highest : 0;
}

VoiWindow FilmPreview::ownWindow() const
{
    if (!m_data)
        return {};
    if (m_data->own)
        return *m_data->own;
    return {(m_data->lowest + m_data->highest) / 2.0, std::max(1.0, double(m_data->highest - m_data->lowest))};
}

QImage FilmPreview::render(QSize target, const std::optional<VoiWindow>& window) const
{
    if (!m_data)
        return {};
    ensureToolkitReady();
    const QSize shown = fittedSize(filmSize(), target);
    const std::lock_guard<std::mutex> lock(m_data->scaledLock);
    std::unique_ptr<DicomImage>& picture = m_data->scaled;
    if (!picture || QSize(int(picture->getWidth()), int(picture->getHeight())) != shown) {
        picture.reset();
        DcmDataset dataset;
        describeReduced(dataset, m_data->film, m_data->monochrome1);
        // DicomImage takes the pixels into buffers of its own and may let go
        // of the data set's copy at once.
        auto reduced = std::make_unique<DicomImage>(&dataset, EXS_LittleEndianExplicit, CIF_MayDetachPixelData);
        if (reduced->getStatus() != EIS_Normal)
            throw Failure(
                QStringLiteral("Cannot show the film: %1").arg(QString::fromLatin1(DicomImage::getString(reduced->getStatus()))));
        if (shown == size()) {
            picture = std::move(reduced);
        } else {
            // Interpolation 1 (the pbmplus algorithm) averages what it reduces.
            picture.reset(reduced->createScaledImage(static_cast<unsigned long>(shown.width()),
                                                     static_cast<unsigned long>(shown.height()), 1, 0));
            if (!picture || picture->getStatus() != EIS_Normal) {
                picture.reset();
                throw Failure(QStringLiteral("Cannot show the film: DCMTK cannot scale it."));
            }
        }
    }
    const VoiWindow voi = window.value_or(ownWindow());
    if (!picture->setWindow(voi.center, std::max(1.0, voi.width)))
        throw Failure(QStringLiteral("Cannot show the film: DCMTK refuses the window."));
    const auto* bytes = static_cast<const uchar*>(picture->getOutputData(8));
    if (!bytes)
        throw Failure(QStringLiteral("Cannot show the film: DCMTK cannot render it."));
    const int width = int(picture->getWidth());
    const int height = int(picture->getHeight());
    QImage result(width, height, QImage::Format_Grayscale8);
    for (int y = 0; y < height; ++y)
        std::memcpy(result.scanLine(y), bytes + std::size_t(y) * width, std::size_t(width));
    // The 8-bit output is copied out; DicomImage need not keep it too.
    picture->deleteOutputData();
    return result;
}

} // namespace skiascan::dicom
