// Lossless compressed copies of an image, with DCMTK's JPEG-LS (dcmjpls) and
// JPEG (dcmjpeg) encoders, and reading them back for sending.

#include "dicom/compression.h"

#include "common/durable_file.h"
#include "common/private_files.h"
#include "dicom/dcmtk_internal.h"

#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmjpeg/djencode.h>
#include <dcmtk/dcmjpeg/djrplol.h>
#include <dcmtk/dcmjpls/djencode.h>
#include <dcmtk/dcmjpls/djrparam.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <mutex>
#include <new>

namespace skiascan::dicom {

namespace {

// DCMTK keeps its codecs in one list for the process. Registering is not safe
// from two threads at once; encoding is (the list is read under a lock).
void registerEncoders()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // JPEG-LS: the "raw" encoder, which compresses the stored values as
        // they are (the "cooked" one goes through a rendering of the image);
        // one fragment per frame; the SOP instance stays the same, as a
        // lossless compression leaves the image what it was.
        DJLSEncoderRegistration::registerCodecs(0, 0, 0, 0, OFFalse, 0, OFTrue, EJLSUC_never);
        // JPEG: DCMTK's true lossless encoder (the default) for process 14.
        DJEncoderRegistration::registerCodecs(ECC_lossyYCbCr, EUC_never);
    });
}

E_TransferSyntax xferOf(Compression compression)
{
    return compression == Compression::JpegLsLossless ? EXS_JPEGLSLossless : EXS_JPEGProcess14SV1;
}

// Puts the image's pixel values, read once from its buffer or its file, into
// a pixel data element of `ds` (a copy of the image's attributes) that an
// encoder can work on.
void readPixelsInto(DcmDataset& ds)
{
    Uint16 rows = 0;
    Uint16 columns = 0;
    Uint16 bitsAllocated = 0;
    Uint16 samples = 0;
    DcmElement* source = nullptr;
    if (ds.findAndGetUint16(DCM_Rows, rows).bad() || ds.findAndGetUint16(DCM_Columns, columns).bad()
        || ds.findAndGetUint16(DCM_BitsAllocated, bitsAllocated).bad()
        || ds.findAndGetUint16(DCM_SamplesPerPixel, samples).bad() || ds.findAndGetElement(DCM_PixelData, source).bad()
        || !source || rows == 0 || columns == 0)
        throw Failure(QStringLiteral("the image has no pixels"), Failure::Kind::Argument);
    if (bitsAllocated != 16 || samples != 1)
        throw Failure(QStringLiteral("only 16-bit grayscale images are compressed"), Failure::Kind::Argument);
    const Uint32 bytes = Uint32(rows) * columns * 2; // at most 65535 x 65535 x 2: fits
    // An image loaded from a file answers with the length of its
    // uncompressed pixels; 0 when it holds them compressed already.
    if (source->getLength() != bytes)
        throw Failure(QStringLiteral("the image's pixel data is not %1 x %2 uncompressed 16-bit values").arg(columns).arg(rows),
                      Failure::Kind::Argument);
    auto pixels = std::make_unique<DcmPixelData>(DcmTag(DCM_PixelData, EVR_OW));
    Uint16* words = nullptr;
    if (pixels->createUint16Array(bytes / 2, words).bad() || !words)
        throw std::bad_alloc();
    check(source->getPartialValue(words, 0, bytes, nullptr, gLocalByteOrder), QStringLiteral("Cannot read the pixels"));
    // Replaces (and deletes) the element that read the image's buffer or file.
    check(ds.insert(pixels.get(), OFTrue), QStringLiteral("Cannot prepare the pixels"));
    pixels.release();
}

} // namespace

const char* transferSyntaxOf(Compression compression)
{
    switch (compression) {
    case Compression::JpegLsLossless:
        return UID_JPEGLSLosslessTransferSyntax;
    case Compression::JpegLossless:
        return UID_JPEGProcess14SV1TransferSyntax;
    case Compression::None:
        break;
    }
    return nullptr;
}

void encodeCopy(const Image& image, Compression compression, const QString& path)
{
    ensureToolkitReady();
    if (compression == Compression::None)
        throw Failure(QStringLiteral("No compression is chosen for the copy %1.").arg(path), Failure::Kind::Argument);
    registerEncoders();
    const QFileInfo target(path);
    const QString temporary = target.dir().filePath(QLatin1String(kTemporaryPrefix) + target.fileName());
    const E_TransferSyntax xfer = xferOf(compression);
    try {
        // A copy of the attributes, in the form the image goes to a peer in.
        Image copy = image.sharedCopy();
        prepareForTransfer(*copy.m_impl);
        DcmDataset& ds = copy.m_impl->dataset();
        const bool described = ds.tagExists(DCM_DerivationDescription);
        const bool coded = ds.tagExists(DCM_DerivationCodeSequence);
        readPixelsInto(ds);

        DJLSRepresentationParameter jpegLs;
        DJ_RPLossless jpeg(1, 0); // first-order prediction, no point transform: the process's lossless form
        const DcmRepresentationParameter* parameter =
            compression == Compression::JpegLsLossless ? static_cast<const DcmRepresentationParameter*>(&jpegLs) : &jpeg;
        const OFCondition encoded = ds.chooseRepresentation(xfer, parameter);
        if (encoded.bad() || !ds.canWriteXfer(xfer, EXS_Unknown))
            throw Failure(QStringLiteral("the encoder refused the image (%1)")
                              .arg(encoded.bad() ? conditionText(encoded) : QStringLiteral("no compressed pixels")));
        // Only the compressed pixels are kept; the image stays the same image,
        // without the note of its compression that the JPEG encoder adds.
        ds.removeAllButCurrentRepresentations();
        if (!described)
            ds.findAndDeleteElement(DCM_DerivationDescription);
        if (!coded)
            ds.findAndDeleteElement(DCM_DerivationCodeSequence);

        const OFCondition saved = copy.m_impl->file.saveFile(QFile::encodeName(temporary).constData(), xfer);
        if (saved.bad())
            throw Failure(QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(temporary), conditionText(saved)),
                          Failure::Kind::File);
        if (!makePrivateFile(temporary))
            throw Failure(QStringLiteral("Cannot make %1 readable by this user only.").arg(temporary), Failure::Kind::File);
        if (!syncToDisk(temporary))
            throw Failure(QStringLiteral("Cannot flush %1 to the disk.").arg(temporary), Failure::Kind::File);
        if (!renameDurably(temporary, path))
            throw Failure(QStringLiteral("Cannot rename %1 to %2.").arg(temporary, target.fileName()), Failure::Kind::File);
    } catch (const Failure& e) {
        QFile::remove(temporary);
        throw Failure(QStringLiteral("The image could not be compressed as %1 into %2: %3")
                          .arg(compressionName(compression), QDir::toNativeSeparators(path), e.description()),
                      e.kind());
    } catch (const std::bad_alloc&) {
        QFile::remove(temporary);
        throw Failure(QStringLiteral("The image could not be compressed as %1: there is not enough memory for it.")
                          .arg(compressionName(compression)),
                      Failure::Kind::Limit);
    }
}

Image loadCopy(const QString& path, Compression compression)
{
    ensureToolkitReady();
    const char* syntax = transferSyntaxOf(compression);
    if (!syntax)
        throw Failure(QStringLiteral("No compression is named for the copy %1.").arg(path), Failure::Kind::Argument);
    QFile probe(path);
    if (!probe.open(QIODevice::ReadOnly))
        throw Failure(QStringLiteral("Cannot read the compressed copy %1: %2").arg(path, probe.errorString()),
                      Failure::Kind::File);
    const qint64 size = probe.size();
    probe.close();
    Image image;
    const OFCondition loaded = image.m_impl->file.loadFile(QFile::encodeName(path).constData());
    if (loaded.bad())
        throw Failure(QStringLiteral("Cannot read the compressed copy %1: %2").arg(path, conditionText(loaded)),
                      Failure::Kind::Damaged);
    DcmDataset& ds = image.m_impl->dataset();
    const E_TransferSyntax xfer = xferOf(compression);
    OFString sopClass;
    ds.findAndGetOFString(DCM_SOPClassUID, sopClass);
    DcmElement* pixels = nullptr;
    // The compressed pixels stay in the file until they are sent: a file cut
    // short must be found out now, not in the middle of a send.
    if (ds.getOriginalXfer() != xfer || sopClass != UID_SecondaryCaptureImageStorage
        || ds.findAndGetElement(DCM_PixelData, pixels).bad() || !pixels || pixels->getLength(xfer) == 0
        || qint64(pixels->getLength(xfer)) > size)
        throw Failure(QStringLiteral("%1 is not a complete Secondary Capture image compressed as %2.")
                          .arg(path, compressionName(compression)),
                      Failure::Kind::Damaged);
    return image;
}

} // namespace skiascan::dicom
