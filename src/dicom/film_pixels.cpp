// A film's pixels averaged over square blocks, read in pieces.

#include "dicom/film_pixels.h"

#include "dicom/pixel_access.h"

#include <algorithm>

namespace skiascan::dicom {

QSize filmSize(const Image& image)
{
    ensureToolkitReady();
    const PixelLayout layout = pixelLayout(ImageAccess::of(image).dataset());
    return {layout.columns, layout.rows};
}

int reductionFor(QSize film, QSize fit)
{
    const int across = film.width() / std::max(1, fit.width());
    const int down = film.height() / std::max(1, fit.height());
    return std::max(1, std::min(across, down));
}

ReducedFilm reduceFilm(const Image& image, int factor, const CancelFlag* cancel)
{
    ensureToolkitReady();
    const PixelLayout layout = pixelLayout(ImageAccess::of(image).dataset());
    const int columns = layout.columns;
    const int rows = layout.rows;
    const int f = std::clamp(factor, 1, std::max(columns, rows));

    ReducedFilm reduced;
    reduced.filmColumns = columns;
    reduced.filmRows = rows;
    reduced.factor = f;
    reduced.columns = (columns + f - 1) / f;
    reduced.rows = (rows + f - 1) / f;
    reduced.values.resize(std::size_t(reduced.columns) * reduced.rows);

    // One band of the film at a time: its rows, and the sums of its blocks.
    std::vector<Uint16> band(std::size_t(std::min(f, rows)) * columns);
    std::vector<std::uint64_t> sums(std::size_t(reduced.columns));
    DcmFileCache cache;
    for (int blockRow = 0; blockRow < reduced.rows; ++blockRow) {
        if (cancel && cancel->cancelled())
            throw Failure(QStringLiteral("Reading the film was cancelled."), Failure::Kind::Cancelled);
        const int first = blockRow * f;
        const int count = std::min(f, rows - first);
        readRows(layout, Uint32(first), Uint32(count), band.data(), cache);
        std::fill(sums.begin(), sums.end(), 0);
        for (int r = 0; r < count; ++r) {
            const Uint16* row = band.data() + std::size_t(r) * columns;
            for (int block = 0; block < reduced.columns; ++block) {
                const int end = std::min(columns, (block + 1) * f);
                std::uint64_t sum = 0;
                for (int x = block * f; x < end; ++x)
                    sum += row[x];
                sums[std::size_t(block)] += sum;
            }
        }
        std::uint16_t* out = reduced.values.data() + std::size_t(blockRow) * reduced.columns;
        for (int block = 0; block < reduced.columns; ++block) {
            const std::uint64_t n = std::uint64_t(count) * std::uint64_t(std::min(columns, (block + 1) * f) - block * f);
            out[block] = static_cast<std::uint16_t>((sums[std::size_t(block)] + n / 2) / n);
        }
    }
    return reduced;
}

} // namespace skiascan::dicom
