// One Secondary Capture image, built in memory from a scanned film.
#pragma once

#include "dicom/data_set.h"
#include "dicom/network.h"

#include <QDate>
#include <QString>

#include <memory>
#include <optional>

namespace skiascan::dicom {

/// One Secondary Capture image, built in memory from a scanned TIFF.
class Image {
public:
    /// The properties that stand for DICOM attributes of the image.
    enum class Property {
        PatientName,       // (0010,0010)
        PatientID,         // (0010,0020)
        PatientBirthDate,  // (0010,0030), a date text
        PatientSex,        // (0010,0040)
        StudyDescription,  // (0008,1030)
        SeriesDescription, // (0008,103E)
        StudyUID,          // (0020,000D)
        SeriesUID,         // (0020,000E)
        InstanceUID,       // (0008,0018)
        SOPClassUID,       // (0008,0016)
    };

    Image();
    ~Image();
    Image(Image&&) noexcept;
    Image& operator=(Image&&) noexcept;

    /// Reads the pixels of a file into the image. Only format "TIF" is known:
    /// 8- or 16-bit grayscale (min-is-black or min-is-white), strips or tiles,
    /// uncompressed, LZW, Deflate or PackBits. The pixels are read once, straight
    /// into the buffer that is sent. Sets the pixel description, Conversion Type
    /// "DF", the date and time of the capture and, when the TIFF carries its
    /// resolution, Nominal Scanned Pixel Spacing in millimetres. Throws
    /// Failure with the reason for any other file.
    void importFile(const QString& path, const QString& format);

    /// Sets a property from text; dates are converted as addAttribute does.
    void setProperty(Property property, const QString& text);

    void addAttribute(quint16 group, quint16 element, const QString& text);
    void addAttribute(quint16 group, quint16 element, const QDate& date);
    void addAttribute(quint16 group, quint16 element, const DataSetCollection& items);
    std::optional<QString> text(quint16 group, quint16 element) const;

    /// False when a pixel value is 32768 or more, so that it would read as a
    /// negative number if the pixels were declared signed.
    bool samplesFitSigned() const;

    /// Stores the image on a remote node over one association (Secondary Capture
    /// storage, Explicit and Implicit VR Little Endian proposed). Returns only when
    /// the node has confirmed it with a success or warning status; any other
    /// outcome throws Failure (kind Unreachable, Rejected or Status; Cancelled or
    /// Limit when the guard stopped it). The association waits for the node as
    /// `timeouts` say. `guard`, when given, counts its bytes and lets another
    /// thread cancel it.
    void send(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle,
              const NetworkTimeouts& timeouts = {}, NetworkGuard* guard = nullptr);

    /// Writes the image as a DICOM file (Explicit VR Little Endian). The caller
    /// makes the write atomic. Throws Failure.
    void saveFile(const QString& path);
    /// Reads an image written by saveFile(). Its pixels stay in the file and are
    /// read in pieces while the image is sent, so that an image waiting in the
    /// outbox costs no memory. Throws Failure: kind File when the file cannot be
    /// read, kind Damaged when it is not a Secondary Capture image.
    static Image loadFile(const QString& path);

    /// A copy for one send or one save on a thread of its own: its own
    /// attributes, the pixels read from this image's buffer (or file) without
    /// copying them; the buffer lives as long as any copy. Make the copies in
    /// the thread that owns this image.
    Image sharedCopy() const;

    /// The bytes of the pixel data.
    qint64 pixelBytes() const;

    struct Impl;

private:
    friend class StoreAssociation;
    friend void encodeCopy(const Image& image, Compression compression, const QString& path);
    friend Image loadCopy(const QString& path, Compression compression);
    friend struct ImageAccess; // the toolkit's pixel functions (pixel_access.h)
    std::unique_ptr<Impl> m_impl;
};

} // namespace skiascan::dicom
