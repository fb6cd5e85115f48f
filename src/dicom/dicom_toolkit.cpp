#include "dicom/dcmtk_internal.h"

#include "app/study_entry.h"
#include "dicom/body_parts.h"

#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcvrda.h>
#include <dcmtk/oflog/oflog.h>
#include <dcmtk/ofstd/ofuuid.h>

#include <QLocale>
#include <QStringDecoder>
#include <QRegularExpression>

#include <malloc.h>

#include <atomic>
#include <mutex>

namespace skiascan::dicom {

namespace {

QString tagText(const DcmTagKey& key)
{
    return QStringLiteral("(%1,%2)")
        .arg(key.getGroup(), 4, 16, QLatin1Char('0'))
        .arg(key.getElement(), 4, 16, QLatin1Char('0'))
        .toUpper();
}

// A date or time that is already in DICOM form, or a DICOM range of such values
// (as a query key such as "20050305-20050305" or "000000-235959").
bool isDicomDateOrRange(const QString& text)
{
    static const QRegularExpression form(QStringLiteral("^(\\d{8})?(-(\\d{8})?)?$"));
    return form.match(text).hasMatch();
}

bool isDicomTimeOrRange(const QString& text)
{
    static const QRegularExpression form(
        QStringLiteral("^(\\d{2,6}(\\.\\d{1,6})?)?(-(\\d{2,6}(\\.\\d{1,6})?)?)?$"));
    return form.match(text).hasMatch();
}

void check(const OFCondition& condition, const QString& what)
{
    if (condition.bad())
        throw DicomError(QStringLiteral("%1: %2").arg(what, conditionText(condition)));
}

std::atomic<int> g_connectTimeout{10};
std::atomic<int> g_acseTimeout{30};
std::atomic<int> g_dimseTimeout{60};

} // namespace

void setNetworkTimeouts(const NetworkTimeouts& timeouts)
{
    g_connectTimeout = timeouts.connectSeconds;
    g_acseTimeout = timeouts.acseSeconds;
    g_dimseTimeout = timeouts.dimseSeconds;
}

NetworkTimeouts networkTimeouts()
{
    return {g_connectTimeout.load(), g_acseTimeout.load(), g_dimseTimeout.load()};
}

void ensureToolkitReady()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // DCMTK's own messages would go to stderr; failures reach the operator
        // through our descriptions instead.
        OFLog::configure(OFLogger::OFF_LOG_LEVEL);
        // Image-sized buffers (tens of megabytes, one per film) come straight
        // from the system and go back to it when freed. Left to itself, glibc
        // raises this threshold after the first such buffer and then keeps the
        // freed memory of every film in its heaps: a workstation scanning all
        // day would only grow.
        mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
    });
    if (!dcmDataDict.isDictionaryLoaded())
        throw DicomError(QStringLiteral("The DICOM data dictionary could not be loaded (%1). Install the "
                                        "package libdcmtk17 or set DCMDICTPATH.")
                             .arg(QString::fromLatin1(DCM_DICT_DEFAULT_PATH)));
}

QString conditionText(const OFCondition& condition)
{
    QString text = QString::fromLocal8Bit(condition.text());
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

QString nodeName(const QString& aeTitle, const QString& host, qint32 port)
{
    return QStringLiteral("%1 (%2:%3)").arg(aeTitle, host).arg(port);
}

QString UidGenerator::newUid() const
{
    OFUUID uuid; // a new random UUID
    OFString text;
    uuid.toString(text, OFUUID::ER_RepresentationOID);
    return QString::fromLatin1(text.c_str());
}

// ---------------------------------------------------------------- attributes

void putText(DcmItem& item, const DcmTagKey& key, const QString& text)
{
    ensureToolkitReady();
    DcmTag tag(key); // getTagName() is not const
    const DcmEVR vr = tag.getEVR();
    if (vr == EVR_UNKNOWN || vr == EVR_UNKNOWN2B)
        throw DicomError(QStringLiteral("The attribute %1 is not in the DICOM data dictionary.").arg(tagText(key)));
    if (vr == EVR_SQ)
        throw DicomError(QStringLiteral("The attribute %1 is a sequence, not a text.").arg(tagText(key)));
    QString value = text;
    if (vr == EVR_DA && !isDicomDateOrRange(text)) {
        const auto date = parseDate(text, QLocale());
        if (!date)
            throw DicomError(QStringLiteral("\"%1\" is not a date (%2).").arg(text, QString::fromLatin1(tag.getTagName())));
        value = date->toString(QStringLiteral("yyyyMMdd"));
    } else if (vr == EVR_TM && !isDicomTimeOrRange(text)) {
        const auto time = parseTime(text, QLocale());
        if (!time)
            throw DicomError(QStringLiteral("\"%1\" is not a time (%2).").arg(text, QString::fromLatin1(tag.getTagName())));
        value = time->toString(QStringLiteral("HHmmss"));
    }
    check(item.putAndInsertString(tag, value.toUtf8().constData()),
          QStringLiteral("Cannot set %1 %2").arg(QString::fromLatin1(tag.getTagName()), tagText(key)));
}

void putDate(DcmItem& item, const DcmTagKey& key, const QDate& date)
{
    putText(item, key, date.isValid() ? date.toString(QStringLiteral("yyyyMMdd")) : QString());
}

void putSequence(DcmItem& item, const DcmTagKey& key, const DataSetCollection& items)
{
    ensureToolkitReady();
    auto sequence = std::make_unique<DcmSequenceOfItems>(DcmTag(key));
    if (DcmTag(key).getEVR() != EVR_SQ)
        throw DicomError(QStringLiteral("The attribute %1 is not a sequence.").arg(tagText(key)));
    for (int i = 1; i <= items.count(); ++i) {
        auto copy = std::make_unique<DcmItem>(*items.item(i).impl().item);
        check(sequence->append(copy.get()), QStringLiteral("Cannot fill the sequence %1").arg(tagText(key)));
        copy.release(); // the sequence owns it now
    }
    check(item.insert(sequence.get(), true), QStringLiteral("Cannot add the sequence %1").arg(tagText(key)));
    sequence.release();
}

std::optional<QString> getText(DcmItem& item, const DcmTagKey& key)
{
    DcmElement* element = nullptr;
    if (item.findAndGetElement(key, element).bad() || !element)
        return std::nullopt;
    if (element->getLength() == 0)
        return QString();
    OFString value;
    if (element->getOFStringArray(value).bad())
        return std::nullopt;
    return QString::fromUtf8(value.c_str(), static_cast<qsizetype>(value.length()));
}

namespace {

enum class TextRange { Ascii, Latin1, Beyond };

// The widest character range used by the text of `item`, read as UTF-8.
TextRange textRange(DcmItem& item)
{
    TextRange range = TextRange::Ascii;
    DcmStack stack;
    while (item.nextObject(stack, OFTrue).good()) {
        auto* object = stack.top();
        if (!object->isLeaf() || !object->isAffectedBySpecificCharacterSet())
            continue;
        OFString value;
        if (static_cast<DcmElement*>(object)->getOFStringArray(value).bad())
            continue;
        for (unsigned char c : value) {
            if (c >= 0x80) {
                range = TextRange::Latin1;
                break;
            }
        }
        if (range == TextRange::Ascii)
            continue;
        const QString text = QString::fromUtf8(value.c_str(), static_cast<qsizetype>(value.length()));
        for (QChar c : text)
            if (c.unicode() > 0xFF)
                return TextRange::Beyond;
    }
    return range;
}

} // namespace

void applyCharacterSet(DcmItem& item, bool onlyIfNeeded)
{
    const TextRange range = textRange(item);
    if (onlyIfNeeded && range == TextRange::Ascii)
        return;
    if (range == TextRange::Beyond)
        check(item.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192"), QStringLiteral("Cannot set the character set"));
    else
        check(item.convertCharacterSet("ISO_IR 192", "ISO_IR 100", 0, OFTrue),
              QStringLiteral("Cannot convert the text to Latin-1"));
}

// ------------------------------------------------------------------ data sets

DataSet::DataSet()
    : m_impl(std::make_unique<Impl>())
{
    m_impl->item = std::make_unique<DcmItem>();
}

DataSet::~DataSet() = default;
DataSet::DataSet(DataSet&&) noexcept = default;
DataSet& DataSet::operator=(DataSet&&) noexcept = default;

DataSet::DataSet(const DataSet& other)
    : m_impl(std::make_unique<Impl>())
{
    m_impl->item = std::make_unique<DcmItem>(*other.m_impl->item);
}

DataSet& DataSet::operator=(const DataSet& other)
{
    if (this != &other)
        m_impl->item = std::make_unique<DcmItem>(*other.m_impl->item);
    return *this;
}

void DataSet::addAttribute(quint16 group, quint16 element, const QString& text)
{
    putText(*m_impl->item, DcmTagKey(group, element), text);
}

void DataSet::addAttribute(quint16 group, quint16 element, const QDate& date)
{
    putDate(*m_impl->item, DcmTagKey(group, element), date);
}

void DataSet::addAttribute(quint16 group, quint16 element, const DataSetCollection& items)
{
    putSequence(*m_impl->item, DcmTagKey(group, element), items);
}

std::optional<QString> DataSet::text(quint16 group, quint16 element) const
{
    return getText(*m_impl->item, DcmTagKey(group, element));
}

std::optional<DataSetCollection> DataSet::sequence(quint16 group, quint16 element) const
{
    DcmSequenceOfItems* sequence = nullptr;
    if (m_impl->item->findAndGetSequence(DcmTagKey(group, element), sequence).bad() || !sequence)
        return std::nullopt;
    DataSetCollection items;
    for (unsigned long i = 0; i < sequence->card(); ++i)
        items.addNewItem().impl().item = std::make_unique<DcmItem>(*sequence->getItem(i));
    return items;
}

QString DataSet::patientName() const
{
    return text(0x0010, 0x0010).value_or(QString());
}

QString DataSet::patientId() const
{
    return text(0x0010, 0x0020).value_or(QString());
}

QString DataSet::patientSex() const
{
    return text(0x0010, 0x0040).value_or(QString());
}

std::optional<QDate> DataSet::birthDate() const
{
    const auto value = text(0x0010, 0x0030);
    if (!value || value->trimmed().isEmpty())
        return std::nullopt;
    const QDate date = QDate::fromString(value->trimmed(), QStringLiteral("yyyyMMdd"));
    if (!date.isValid())
        return std::nullopt;
    return date;
}

const DataSet& DataSetCollection::item(int index) const
{
    if (index < 1 || index > count())
        throw DicomError(QStringLiteral("There is no data set number %1 (the collection holds %2).").arg(index).arg(count()));
    return m_items[static_cast<std::size_t>(index - 1)];
}

DataSet& DataSetCollection::item(int index)
{
    return const_cast<DataSet&>(std::as_const(*this).item(index));
}

DataSet& DataSetCollection::addNewItem()
{
    return m_items.emplace_back();
}

// --------------------------------------------------------------------- images

namespace {

DcmTagKey propertyTag(Image::Property property)
{
    switch (property) {
    case Image::Property::PatientName:
        return DCM_PatientName;
    case Image::Property::PatientID:
        return DCM_PatientID;
    case Image::Property::PatientBirthDate:
        return DCM_PatientBirthDate;
    case Image::Property::PatientSex:
        return DCM_PatientSex;
    case Image::Property::StudyDescription:
        return DCM_StudyDescription;
    case Image::Property::SeriesDescription:
        return DCM_SeriesDescription;
    case Image::Property::StudyUID:
        return DCM_StudyInstanceUID;
    case Image::Property::SeriesUID:
        return DCM_SeriesInstanceUID;
    case Image::Property::InstanceUID:
        return DCM_SOPInstanceUID;
    case Image::Property::SOPClassUID:
        return DCM_SOPClassUID;
    }
    return DCM_PatientName;
}

// Type 2 attributes of the Secondary Capture IOD that must be present, empty if
// nothing is known (PS3.3 A.8.1: Patient, General Study, General Series, General
// Image modules).
const DcmTagKey kTypeTwo[] = {
    DCM_PatientName,   DCM_PatientID,   DCM_PatientBirthDate,       DCM_PatientSex,
    DCM_StudyDate,     DCM_StudyTime,   DCM_ReferringPhysicianName, DCM_StudyID,
    DCM_AccessionNumber, DCM_SeriesNumber, DCM_InstanceNumber,     DCM_PatientOrientation,
};

// Puts the image into its final form for a peer or a file: the IOD's Type 2
// attributes present, and the text in the character set that fits.
void prepareForTransfer(Image::Impl& image)
{
    DcmDataset& ds = image.dataset();
    for (const DcmTagKey& key : kTypeTwo)
        if (!ds.tagExists(key))
            check(ds.insertEmptyElement(key), QStringLiteral("Cannot complete the image"));
    // Laterality is Type 2C (PS3.3 C.7.3.1): present, empty when not known, for a
    // paired or unknown body part; absent for a known unpaired one.
    OFString bodyPart;
    ds.findAndGetOFStringArray(DCM_BodyPartExamined, bodyPart);
    if (isUnpairedBodyPart(QString::fromUtf8(bodyPart.c_str())))
        ds.findAndDeleteElement(DCM_Laterality);
    else if (!ds.tagExists(DCM_Laterality))
        check(ds.insertEmptyElement(DCM_Laterality), QStringLiteral("Cannot complete the image"));
    OFString current;
    ds.findAndGetOFString(DCM_SpecificCharacterSet, current);
    if (current.empty())
        applyCharacterSet(ds, false);
}

// A change after the image was prepared: back to UTF-8 for further text.
void reopenForChanges(Image::Impl& image)
{
    DcmDataset& ds = image.dataset();
    if (!ds.tagExists(DCM_SpecificCharacterSet))
        return;
    check(ds.convertToUTF8(), QStringLiteral("Cannot convert the image's text"));
    ds.findAndDeleteElement(DCM_SpecificCharacterSet);
}

} // namespace

Image::Image()
    : m_impl(std::make_unique<Impl>())
{
}

Image::~Image() = default;
Image::Image(Image&&) noexcept = default;
Image& Image::operator=(Image&&) noexcept = default;

void Image::importFile(const QString& path, const QString& format)
{
    ensureToolkitReady();
    if (format.compare(QLatin1String("TIF"), Qt::CaseInsensitive) != 0)
        throw DicomError(QStringLiteral("Cannot import files of format \"%1\"; only TIF is known.").arg(format));
    importTiff(path, *m_impl);
}

void Image::setProperty(Property property, const QString& text)
{
    reopenForChanges(*m_impl);
    putText(m_impl->dataset(), propertyTag(property), text);
}

void Image::addAttribute(quint16 group, quint16 element, const QString& text)
{
    reopenForChanges(*m_impl);
    putText(m_impl->dataset(), DcmTagKey(group, element), text);
}

void Image::addAttribute(quint16 group, quint16 element, const QDate& date)
{
    reopenForChanges(*m_impl);
    putDate(m_impl->dataset(), DcmTagKey(group, element), date);
}

void Image::addAttribute(quint16 group, quint16 element, const DataSetCollection& items)
{
    reopenForChanges(*m_impl);
    putSequence(m_impl->dataset(), DcmTagKey(group, element), items);
}

std::optional<QString> Image::text(quint16 group, quint16 element) const
{
    DcmDataset& ds = m_impl->dataset();
    const auto raw = getText(ds, DcmTagKey(group, element));
    OFString charset;
    ds.findAndGetOFString(DCM_SpecificCharacterSet, charset);
    if (!raw || charset != "ISO_IR 100")
        return raw;
    // getText() read the bytes as UTF-8; Latin-1 bytes need reading again.
    OFString bytes;
    ds.findAndGetOFStringArray(DcmTagKey(group, element), bytes);
    return QString::fromLatin1(bytes.c_str(), static_cast<qsizetype>(bytes.length()));
}

bool Image::samplesFitSigned() const
{
    return m_impl->fitsSigned;
}

void Image::send(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle)
{
    ensureToolkitReady();
    prepareForTransfer(*m_impl);
    Association association(host, port, calledAETitle, callingAETitle,
                            {{UID_SecondaryCaptureImageStorage,
                              {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax}}},
                            QStringLiteral("C-STORE"));
    association.store(m_impl->dataset());
    association.release();
}

void Image::saveFile(const QString& path)
{
    ensureToolkitReady();
    prepareForTransfer(*m_impl);
    check(m_impl->file.saveFile(path.toLocal8Bit().constData(), EXS_LittleEndianExplicit),
          QStringLiteral("Cannot write the image to %1").arg(path));
}

Image Image::loadFile(const QString& path)
{
    ensureToolkitReady();
    Image image;
    check(image.m_impl->file.loadFile(path.toLocal8Bit().constData()), QStringLiteral("Cannot read the image %1").arg(path));
    OFString sopClass;
    image.m_impl->dataset().findAndGetOFString(DCM_SOPClassUID, sopClass);
    if (sopClass != UID_SecondaryCaptureImageStorage || !image.m_impl->dataset().tagExists(DCM_PixelData))
        throw DicomError(QStringLiteral("%1 is not a Secondary Capture image.").arg(path));
    image.m_impl->file.getDataset()->loadAllDataIntoMemory();
    return image;
}

// ------------------------------------------------------------ worklist query

namespace {

bool isValidUtf8(const OFString& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(QByteArrayView(bytes.c_str(), static_cast<qsizetype>(bytes.length())));
    return !decoder.hasError();
}

// Converts one answer to UTF-8, the form all text has inside the program.
void decodeAnswer(DcmItem& answer)
{
    OFString declared;
    answer.findAndGetOFStringArray(DCM_SpecificCharacterSet, declared);
    OFString source = declared;
    if (source.empty()) {
        // Servers that leave the character set out still send names with
        // accents: take what reads as UTF-8 as UTF-8, anything else as Latin-1.
        bool ascii = true;
        bool utf8 = true;
        DcmStack stack;
        while (answer.nextObject(stack, OFTrue).good()) {
            auto* object = stack.top();
            if (!object->isLeaf() || !object->isAffectedBySpecificCharacterSet())
                continue;
            OFString value;
            if (static_cast<DcmElement*>(object)->getOFStringArray(value).bad())
                continue;
            for (unsigned char c : value)
                ascii = ascii && c < 0x80;
            utf8 = utf8 && isValidUtf8(value);
        }
        if (ascii)
            return;
        source = utf8 ? "ISO_IR 192" : "ISO_IR 100";
    }
    if (source == "ISO_IR 192")
        return;
    // A set DCMTK cannot convert leaves the text as it came.
    answer.convertCharacterSet(source, "ISO_IR 192", 0, OFTrue);
}

} // namespace

DataSet answerDataSet(const DcmItem& answer)
{
    // A worklist entry is a few kilobytes; anything near this size is a server
    // gone wrong, and copying it would only double the memory it already took.
    constexpr Uint32 kLargestAnswer = 1024 * 1024;
    const Uint32 length = const_cast<DcmItem&>(answer).getLength(EXS_LittleEndianExplicit);
    if (length > kLargestAnswer)
        throw DicomError(QStringLiteral("The worklist server sent an answer of %1 bytes, far more than a worklist "
                                        "entry holds.")
                             .arg(length));
    DataSet result;
    result.impl().item = std::make_unique<DcmItem>(answer);
    decodeAnswer(*result.impl().item);
    return result;
}

DataSetCollection WorklistQuery::run(const DataSet& identifier) const
{
    ensureToolkitReady();
    if (root.compare(QLatin1String("WORKLIST"), Qt::CaseInsensitive) != 0)
        throw DicomError(QStringLiteral("The query root \"%1\" is not known; only WORKLIST is.").arg(root));
    DcmDataset request;
    DcmItem& source = *identifier.impl().item;
    for (unsigned long i = 0; i < source.card(); ++i)
        check(request.insert(static_cast<DcmElement*>(source.getElement(i)->clone()), true),
              QStringLiteral("Cannot build the worklist query"));
    applyCharacterSet(request, true);

    Association association(host, port, calledAETitle, callingAETitle,
                            {{UID_FINDModalityWorklistInformationModel,
                              {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax}}},
                            QStringLiteral("C-FIND"));
    DataSetCollection results;
    association.find(UID_FINDModalityWorklistInformationModel, request,
                     [&](DcmDataset& answer) { results.addNewItem() = answerDataSet(answer); });
    association.release();
    return results;
}

void verify(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle)
{
    ensureToolkitReady();
    Association association(host, port, calledAETitle, callingAETitle,
                            {{UID_VerificationSOPClass, {UID_LittleEndianImplicitTransferSyntax}}},
                            QStringLiteral("C-ECHO"));
    association.echo();
    association.release();
}

} // namespace skiascan::dicom
