// The pixels of an image in memory: one buffer, read into straight from the
// TIFF and shared (never copied) by the outbox write and every send.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcistrma.h>

#include <cstddef>
#include <memory>

namespace skiascan::dicom {

class PixelBuffer {
public:
    /// A buffer of `bytes` bytes, not initialised. Large buffers come straight
    /// from the system, in huge pages where it has them (a film is thousands of
    /// small pages otherwise, each a fault when first written), and go back to
    /// it when freed. Throws Failure (kind Limit) when there is not the memory.
    explicit PixelBuffer(std::size_t bytes);
    ~PixelBuffer();
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    void* data() const { return m_data; }
    std::size_t bytes() const { return m_bytes; }

private:
    void* m_data = nullptr;
    std::size_t m_bytes = 0;
    void* m_mapping = nullptr;
    std::size_t m_mapped = 0;
};

/// Hands out a pixel buffer as a stream for an element whose value is read in
/// pieces while it is written (DcmElement::createValueFromTempFile()): as many
/// elements as send or save the image at once read the one buffer, which they
/// keep alive.
class PixelBufferFactory : public DcmInputStreamFactory {
public:
    explicit PixelBufferFactory(std::shared_ptr<const PixelBuffer> buffer);
    DcmInputStream* create() const override;
    DcmInputStreamFactory* clone() const override;
    DcmInputStreamFactoryType ident() const override;

private:
    std::shared_ptr<const PixelBuffer> m_buffer;
};

} // namespace skiascan::dicom
