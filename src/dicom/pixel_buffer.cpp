#include "dicom/pixel_buffer.h"

#include "common/failure.h"

#include <dcmtk/dcmdata/dcistrmb.h>

#include <QString>

#include <sys/mman.h>

namespace skiascan::dicom {

namespace {

constexpr std::size_t kHugePage = 2 * 1024 * 1024;

} // namespace

PixelBuffer::PixelBuffer(std::size_t bytes)
    : m_bytes(bytes)
{
    // One huge page more than needed, so that the buffer can start on a huge
    // page boundary; the rest is given back at once.
    const std::size_t wanted = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    const std::size_t mapped = wanted + kHugePage;
    void* mapping = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED)
        throw Failure(QStringLiteral("There is not enough memory for an image of %1 MB.").arg(bytes / 1000000.0, 0, 'f', 1),
                      Failure::Kind::Limit);
    auto* start = static_cast<char*>(mapping);
    auto* aligned = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(start) + kHugePage - 1) / kHugePage * kHugePage);
    if (aligned > start)
        ::munmap(start, static_cast<std::size_t>(aligned - start));
    const std::size_t tail = mapped - static_cast<std::size_t>(aligned - start) - wanted;
    if (tail > 0)
        ::munmap(aligned + wanted, tail);
    ::madvise(aligned, wanted, MADV_HUGEPAGE);
    m_mapping = aligned;
    m_mapped = wanted;
    m_data = aligned;
}

PixelBuffer::~PixelBuffer()
{
    if (m_mapping)
        ::munmap(m_mapping, m_mapped);
}

PixelBufferFactory::PixelBufferFactory(std::shared_ptr<const PixelBuffer> buffer)
    : m_buffer(std::move(buffer))
{
}

DcmInputStream* PixelBufferFactory::create() const
{
    auto* stream = new DcmInputBufferStream;
    stream->setBuffer(m_buffer->data(), static_cast<offile_off_t>(m_buffer->bytes()));
    stream->setEos();
    return stream;
}

DcmInputStreamFactory* PixelBufferFactory::clone() const
{
    return new PixelBufferFactory(m_buffer);
}

DcmInputStreamFactoryType PixelBufferFactory::ident() const
{
    return DFT_DcmInputTempFileStreamFactory;
}

} // namespace skiascan::dicom
