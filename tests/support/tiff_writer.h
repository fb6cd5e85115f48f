// Builds small TIFF files byte-exact for the tests that need them.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>

namespace skiascan::test {

struct TiffShape {
    uint32_t width = 64;
    uint32_t height = 48;
    uint16_t bits = 16;
    uint16_t photometric = 1;   // 1 min-is-black, 0 min-is-white, 2 RGB
    uint16_t samples = 1;
    uint16_t sampleFormat = 1;  // 1 unsigned, 3 IEEE float
    uint16_t compression = 1;   // 1 none, 5 LZW, 8 Deflate, 32773 PackBits
    uint32_t rowsPerStrip = 7;  // strips (ignored when tiled)
    uint32_t tileSize = 0;      // tiles of this size when not 0 (multiple of 16)
    float xResolution = 0;      // pixels per unit; 0 writes no resolution
    float yResolution = 0;
    uint16_t resolutionUnit = 2; // 2 inch, 3 centimetre
};

/// The value the test pattern puts at (x, y); fits in `bits`.
uint32_t patternValue(const TiffShape& shape, uint32_t x, uint32_t y);

/// Writes a TIFF following `shape`, filled with patternValue() (or `value`).
void writeTiff(const QString& path, const TiffShape& shape,
               const std::function<uint32_t(uint32_t, uint32_t)>& value = {});

/// Overwrites value `index` of a tag in the first directory of a little-endian
/// TIFF (SHORT or LONG values), as a damaged or hostile file would claim.
void patchTiffTag(const QString& path, uint16_t tag, uint32_t value, int index = 0);

/// Writes an uncompressed 16-bit grayscale film of 12-bit values at 254 dpi.
void writeFilmTiff(const QString& path, uint32_t width = 128, uint32_t height = 96);

} // namespace skiascan::test
