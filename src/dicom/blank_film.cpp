// The blank check. A film is measured on the means of blocks of about 1/64 of
// its shorter side, not on single pixels: the scanner's noise, film grain and
// dust average out in a block, while anything that was X-rayed (a body part,
// a collimator edge, the exposed film around the patient) spans many blocks
// and stays.
//
// The measure is the spread between the 1st and the 99th percentile of the
// block means inside a border of 5% on each side. The border leaves out the
// film's edges and the scanner's transport; the percentiles let a lead marker
// or a speck of dust on an otherwise empty sheet (a few blocks) count for
// nothing.
//
// The threshold is 2% of the range of the film's bit depth (82 of 4096 values
// for a 12-bit scanner). A blank sheet spreads about 1%: noise averages down
// in the blocks (12-bit noise of +-128 counts leaves about 40 between the
// percentiles of 8 x 8 blocks), and the scanner's light falling off by 1%
// along its line adds about as much again. Anything exposed spreads over a
// large part of the range: lungs against mediastinum, body against the
// background around it (the demo's chest film about 70%); a faint film whose
// body stands a tenth of the range above its background is still five times
// the threshold. 2% lies between the two with room on both sides. The bit
// depth is that of the film's brightest block (at least 8 bits), since every
// image is stored in 16-bit words whatever its scanner delivered.
//
// A sheet that was scanned halfway is not blank: its scanned part holds the
// film, and an empty part of a sheet cannot be told from the uniform
// background that many good films have (a hand on a large film, the
// collimated border of a skull). Holding those would hold good films whenever
// review is off, and teach the operator to accept without looking. The
// operator sees a half-scanned sheet in the film view.

#include "dicom/blank_film.h"

#include "dicom/film_pixels.h"

#include <algorithm>
#include <bit>

namespace skiascan::dicom {

bool Uniformity::blank() const
{
    return range > 0 && spread * 50 < range;
}

Uniformity measureUniformity(const Image& image, const CancelFlag* cancel)
{
    const QSize size = filmSize(image);
    const int factor = std::max(1, std::min(size.width(), size.height()) / 64);
    const ReducedFilm blocks = reduceFilm(image, factor, cancel);

    const int borderX = blocks.columns / 20;
    const int borderY = blocks.rows / 20;
    std::vector<std::uint16_t> inner;
    inner.reserve(blocks.values.size());
    for (int y = borderY; y < blocks.rows - borderY; ++y)
        for (int x = borderX; x < blocks.columns - borderX; ++x)
            inner.push_back(blocks.values[std::size_t(y) * blocks.columns + x]);

    Uniformity result;
    const std::uint16_t brightest = *std::max_element(blocks.values.begin(), blocks.values.end());
    result.range = 1 << std::max(8, int(std::bit_width(brightest)));
    if (inner.empty())
        return result;
    const auto at = [&](double share) {
        const auto k = static_cast<std::size_t>(share * double(inner.size() - 1));
        std::nth_element(inner.begin(), inner.begin() + std::ptrdiff_t(k), inner.end());
        return int(inner[k]);
    };
    const int low = at(0.01);
    const int high = at(0.99);
    result.spread = high - low;
    return result;
}

bool looksBlank(const Image& image, const CancelFlag* cancel)
{
    return measureUniformity(image, cancel).blank();
}

} // namespace skiascan::dicom
