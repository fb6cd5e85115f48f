#include "support/tiff_writer.h"

#include <tiffio.h>

#include <QFile>

#include <gtest/gtest.h>

#include <vector>

namespace skiascan::test {

uint32_t patternValue(const TiffShape& shape, uint32_t x, uint32_t y)
{
    const uint32_t v = (x * 131u + y * 977u + x * y) & 0xFFFFu;
    return shape.bits >= 16 ? v : v % (1u << shape.bits);
}

void writeTiff(const QString& path, const TiffShape& s, const std::function<uint32_t(uint32_t, uint32_t)>& value)
{
    TIFF* tif = TIFFOpen(path.toLocal8Bit().constData(), "w");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, s.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, s.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, s.bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, s.samples);
    TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, s.sampleFormat);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, s.photometric);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, s.compression);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    if (s.xResolution > 0) {
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, s.xResolution);
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, s.yResolution);
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, s.resolutionUnit);
    }
    const std::size_t bytesPerPixel = std::max<std::size_t>(1, s.bits / 8) * s.samples;
    auto fill = [&](unsigned char* out, uint32_t x, uint32_t y) {
        const uint32_t v = value ? value(x, y) : patternValue(s, x, y);
        for (uint16_t c = 0; c < s.samples; ++c) {
            if (s.bits == 16)
                reinterpret_cast<uint16_t*>(out)[c] = static_cast<uint16_t>(v);
            else if (s.bits == 32)
                reinterpret_cast<float*>(out)[c] = static_cast<float>(v);
            else
                out[c] = static_cast<unsigned char>(v);
        }
    };
    if (s.bits < 8) {
        // Bilevel: rows of packed bits, all zero.
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, s.height);
        std::vector<unsigned char> row((s.width * s.bits + 7) / 8, 0);
        for (uint32_t y = 0; y < s.height; ++y)
            TIFFWriteScanline(tif, row.data(), y, 0);
    } else if (s.tileSize == 0) {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, s.rowsPerStrip);
        std::vector<unsigned char> row(s.width * bytesPerPixel);
        for (uint32_t y = 0; y < s.height; ++y) {
            for (uint32_t x = 0; x < s.width; ++x)
                fill(row.data() + x * bytesPerPixel, x, y);
            ASSERT_EQ(TIFFWriteScanline(tif, row.data(), y, 0), 1);
        }
    } else {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, s.tileSize);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, s.tileSize);
        std::vector<unsigned char> tile(std::size_t(s.tileSize) * s.tileSize * bytesPerPixel);
        for (uint32_t ty = 0; ty < s.height; ty += s.tileSize)
            for (uint32_t tx = 0; tx < s.width; tx += s.tileSize) {
                std::fill(tile.begin(), tile.end(), 0);
                for (uint32_t y = 0; y < s.tileSize && ty + y < s.height; ++y)
                    for (uint32_t x = 0; x < s.tileSize && tx + x < s.width; ++x)
                        fill(tile.data() + (std::size_t(y) * s.tileSize + x) * bytesPerPixel, tx + x, ty + y);
                ASSERT_GT(TIFFWriteTile(tif, tile.data(), tx, ty, 0, 0), 0);
            }
    }
    TIFFClose(tif);
}

void patchTiffTag(const QString& path, uint16_t tag, uint32_t value, int index)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    ASSERT_TRUE(bytes.startsWith("II*")) << "little-endian TIFFs only";
    auto u16 = [&](qsizetype at) { return uint16_t(uint8_t(bytes[at]) | uint8_t(bytes[at + 1]) << 8); };
    auto u32 = [&](qsizetype at) { return uint32_t(u16(at)) | uint32_t(u16(at + 2)) << 16; };
    const qsizetype ifd = u32(4);
    for (uint16_t i = 0; i < u16(ifd); ++i) {
        const qsizetype entry = ifd + 2 + i * 12;
        if (u16(entry) != tag)
            continue;
        const uint16_t type = u16(entry + 2);
        const int size = type == 3 ? 2 : 4;
        // Values that do not fit in the entry lie at the offset it holds.
        const qsizetype at = (u32(entry + 4) * size > 4 ? u32(entry + 8) : entry + 8) + index * size;
        for (int b = 0; b < size; ++b)
            bytes[at + b] = char((value >> (8 * b)) & 0xFF);
        file.seek(0);
        file.write(bytes);
        return;
    }
    ADD_FAILURE() << "no tag " << tag << " in " << path.toStdString();
}

void writeFilmTiff(const QString& path, uint32_t width, uint32_t height)
{
    TiffShape shape;
    shape.width = width;
    shape.height = height;
    shape.rowsPerStrip = 16;
    shape.xResolution = 254;
    shape.yResolution = 254;
    writeTiff(path, shape, [](uint32_t x, uint32_t y) { return (x * 37u + y * 11u) % 4096u; });
}

} // namespace skiascan::test
