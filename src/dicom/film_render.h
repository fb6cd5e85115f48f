// A film as a picture for the screen: reduced once by a whole factor straight
// from the image's pixels, then windowed and scaled by DCMTK's image module.
// The film's pixels are never copied whole: the preview holds the reduced
// film only, a few megabytes for a 14 x 17 inch film.
#pragma once

#include "common/background.h"
#include "dicom/image.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <memory>
#include <optional>

namespace skiascan::dicom {

/// A VOI window (PS3.3 C.11.2): values from center - width / 2 to
/// center + width / 2 go from black to white (white to black for MONOCHROME1).
struct VoiWindow {
    double center = 0;
    double width = 1;
    bool operator==(const VoiWindow&) const = default;
};

/// The window that two texts give (the WindowCenter and WindowWidth
/// settings), or nothing when either is not a number or the width is not
/// positive.
std::optional<VoiWindow> windowFromTexts(const QString& center, const QString& width);

/// The size a picture of `film` takes when fitted into `target` with its
/// proportions kept: as large as fits, at least 1 x 1.
QSize fittedSize(QSize film, QSize target);

/// A film reduced for the screen. Copies share the reduced pixels and what
/// DicomImage made of them; render() may be called from any thread (calls on
/// one preview and its copies take turns).
class FilmPreview {
public:
    /// An empty preview: isNull().
    FilmPreview();

    /// Reads the pixels of `image` once, in pieces, from its buffer in memory
    /// or from its file, and averages them over blocks of the largest whole
    /// size that still leaves enough pixels to fill `fit` (see reduceFilm()).
    /// Also takes the film's photometric interpretation and its own window.
    /// The image must not be used by another thread meanwhile: give the job a
    /// sharedCopy(). Throws Failure: kind Damaged when the pixels cannot be
    /// read, kind Cancelled when `cancel` turns.
    static FilmPreview of(const Image& image, QSize fit, const CancelFlag* cancel = nullptr);

    bool isNull() const { return !m_data; }
    /// The film's own size, columns x rows.
    QSize filmSize() const;
    /// The size of the reduced film.
    QSize size() const;
    /// True when the preview has pixels enough to show the film fitted into
    /// `target` without enlarging it.
    bool covers(QSize target) const;
    /// True for a MONOCHROME1 film: the lowest value is white.
    bool inverted() const;
    /// The lowest and highest value of the reduced film.
    int lowest() const;
    int highest() const;
    /// The window the film carries ((0028,1050), (0028,1051)); failing that,
    /// its lowest to its highest value.
    VoiWindow ownWindow() const;

    /// The film as 8-bit grayscale, fitted into `target` with its proportions
    /// kept: the reduced film handed to DicomImage, scaled by it and rendered
    /// through `window` (ownWindow() when not given), a MONOCHROME1 film
    /// inverted as a viewer shows it. The film scaled to the last size asked
    /// for is kept, so that rendering it again through another window is
    /// quick. Throws Failure when DCMTK cannot render it.
    QImage render(QSize target, const std::optional<VoiWindow>& window = std::nullopt) const;

private:
    struct Data;
    std::shared_ptr<const Data> m_data;
};

} // namespace skiascan::dicom
