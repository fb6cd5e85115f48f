// The DICOM toolkit: images, data sets, UIDs, storage, verification and the
// worklist query. It is the only part of the program that includes DCMTK or
// libtiff; everything here speaks QString and QDate.
//
// Text goes in as the operator typed it. The toolkit writes dates as DICOM DA
// (YYYYMMDD) and times as TM (HHMMSS), and chooses the character set when an
// object leaves the program: ISO_IR 100 (Latin-1) when every character fits,
// otherwise ISO_IR 192 (UTF-8), recorded in Specific Character Set (0008,0005).
//
// Every failure is a DicomError whose description an operator can act on.
#pragma once

#include <QDate>
#include <QString>

#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace skiascan::dicom {

/// Every failure of the toolkit. what() is the description for the operator, in UTF-8.
class DicomError : public std::runtime_error {
public:
    /// What kind of failure it was; network failures tell whether the peer could
    /// be reached at all, so that a dead peer is not tried again and again.
    enum class Kind {
        General,     ///< anything that is not a network exchange
        Unreachable, ///< no connection, connection lost, or no answer in time
        Rejected,    ///< the peer refused the association or the presentation context
        Status,      ///< the peer answered the request with a failure status
    };

    explicit DicomError(const QString& description, Kind kind = Kind::General)
        : std::runtime_error(description.toStdString())
        , m_kind(kind)
    {
    }
    QString description() const { return QString::fromUtf8(what()); }
    Kind kind() const { return m_kind; }

private:
    Kind m_kind;
};

/// Timeouts of every association, in seconds. Defaults: connect 10, ACSE 30, DIMSE 60.
struct NetworkTimeouts {
    int connectSeconds = 10;
    int acseSeconds = 30;
    int dimseSeconds = 60;
};

/// Changes the timeouts of associations opened from now on (tests make them short).
void setNetworkTimeouts(const NetworkTimeouts& timeouts);
NetworkTimeouts networkTimeouts();

/// Makes unique identifiers: "2.25." followed by a random 128-bit UUID in decimal
/// (ISO/IEC 9834-8), so no organisation root is needed.
class UidGenerator {
public:
    /// A fresh UID, at most 64 characters, different on every call.
    QString newUid() const;
};

class DataSetCollection;

/// A DICOM data set: a list of attributes, addressed by group and element.
class DataSet {
public:
    DataSet();
    ~DataSet();
    DataSet(const DataSet& other);
    DataSet& operator=(const DataSet& other);
    DataSet(DataSet&&) noexcept;
    DataSet& operator=(DataSet&&) noexcept;

    /// Adds (or replaces) an attribute with a text value. Dates and times are
    /// converted to DICOM form by the attribute's value representation; an empty
    /// text gives an empty attribute. Throws DicomError for an unknown tag or a
    /// text that the value representation cannot take (a date that is no date).
    void addAttribute(quint16 group, quint16 element, const QString& text);
    /// Adds a date attribute from a date value.
    void addAttribute(quint16 group, quint16 element, const QDate& date);
    /// Adds a sequence attribute holding copies of the collection's data sets.
    void addAttribute(quint16 group, quint16 element, const DataSetCollection& items);

    /// The attribute's value as text (multiple values joined by "\"), empty text
    /// for an empty attribute, std::nullopt when the attribute is absent.
    std::optional<QString> text(quint16 group, quint16 element) const;
    /// The items of a sequence attribute; std::nullopt when absent or no sequence.
    std::optional<DataSetCollection> sequence(quint16 group, quint16 element) const;

    /// Patient's Name, Patient ID and Patient's Sex; empty text when absent.
    QString patientName() const;
    QString patientId() const;
    QString patientSex() const;
    /// Patient's Birth Date; std::nullopt when absent, empty or not a date.
    std::optional<QDate> birthDate() const;

    struct Impl;
    Impl& impl() const { return *m_impl; }

private:
    std::unique_ptr<Impl> m_impl;
};

/// An ordered collection of data sets, counted and indexed from 1.
class DataSetCollection {
public:
    int count() const { return static_cast<int>(m_items.size()); }
    /// The data set at place `index` (1 to count()). Throws DicomError otherwise.
    const DataSet& item(int index) const;
    DataSet& item(int index);
    /// Appends a new empty data set and returns it.
    DataSet& addNewItem();

private:
    std::vector<DataSet> m_items;
};

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
    /// DicomError with the reason for any other file.
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
    /// outcome throws DicomError (kind Unreachable, Rejected or Status).
    void send(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle);

    /// Writes the image as a DICOM file (Explicit VR Little Endian). The caller
    /// makes the write atomic. Throws DicomError.
    void saveFile(const QString& path);
    /// Reads an image written by saveFile(). Throws DicomError.
    static Image loadFile(const QString& path);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

/// A query of a worklist server (Modality Worklist Information Model, C-FIND).
/// Its properties are set before run().
class WorklistQuery {
public:
    QString host;
    qint32 port = 0;
    QString calledAETitle;
    QString callingAETitle;
    QString root; ///< the query root; "WORKLIST" is the only one known

    /// Sends the identifier and returns every matching data set, in the order the
    /// server sent them. Each answer's text is decoded by its own Specific
    /// Character Set (Latin-1, UTF-8, and the other sets DCMTK can convert); an
    /// answer without one is read as UTF-8 when it is valid UTF-8, else as
    /// Latin-1. Throws DicomError when the server cannot be reached, refuses the
    /// query, does not answer in time or ends it with a failure status.
    DataSetCollection run(const DataSet& identifier) const;
};

/// Sends a C-ECHO to a node and returns when it has answered with success.
/// Throws DicomError otherwise.
void verify(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle);

/// "AET (host:port)", the name a node goes by in messages.
QString nodeName(const QString& aeTitle, const QString& host, qint32 port);

} // namespace skiascan::dicom
