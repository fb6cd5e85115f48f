// The image of one scanned film: properties, attributes, the form it takes for
// a peer or a file, and reading it back.

#include "dicom/dcmtk_internal.h"

#include "dicom/body_parts.h"


#include <QFile>

namespace skiascan::dicom {

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

// A change after the image was prepared: back to UTF-8 for further text.
void reopenForChanges(Image::Impl& image)
{
    DcmDataset& ds = image.dataset();
    if (!ds.tagExists(DCM_SpecificCharacterSet))
        return;
    OFString charset;
    ds.findAndGetOFString(DCM_SpecificCharacterSet, charset);
    check(ds.convertToUTF8(), QStringLiteral("Cannot convert the image's text"));
    if (charset == "ISO_IR 100") {
        // Code strings were converted by hand (see applyCharacterSet()): back too.
        DcmStack stack;
        while (ds.nextObject(stack, OFTrue).good()) {
            DcmObject* object = stack.top();
            if (!object->isLeaf() || !DcmVR(object->getVR()).isaString() || object->isAffectedBySpecificCharacterSet())
                continue;
            auto* element = static_cast<DcmElement*>(object);
            OFString value;
            if (element->getOFStringArray(value).bad())
                continue;
            const QByteArray utf8 = QString::fromLatin1(value.c_str(), static_cast<qsizetype>(value.length())).toUtf8();
            check(element->putString(utf8.constData(), static_cast<Uint32>(utf8.size())),
                  QStringLiteral("Cannot convert the image's text"));
        }
    }
    ds.findAndDeleteElement(DCM_SpecificCharacterSet);
}

} // namespace

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
        throw Failure(QStringLiteral("Cannot import files of format \"%1\"; only TIF is known.").arg(format));
    try {
        importTiff(path, *m_impl);
    } catch (const std::bad_alloc&) {
        throw Failure(QStringLiteral("The scanned file %1 cannot be imported: there is not enough memory for it.").arg(path),
                      Failure::Kind::Limit);
    }
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
    // A file that cannot be opened is a matter of the disk or its rights, not
    // of the file's content: told apart from a damaged file.
    QFile probe(path);
    if (!probe.open(QIODevice::ReadOnly))
        throw Failure(QStringLiteral("Cannot read the image %1: %2").arg(path, probe.errorString()), Failure::Kind::File);
    const qint64 size = probe.size();
    probe.close();
    Image image;
    const OFCondition loaded = image.m_impl->file.loadFile(path.toLocal8Bit().constData());
    if (loaded.bad())
        throw Failure(QStringLiteral("Cannot read the image %1: %2").arg(path, conditionText(loaded)),
                      QFile(path).open(QIODevice::ReadOnly) ? Failure::Kind::Damaged : Failure::Kind::File);
    DcmDataset& ds = image.m_impl->dataset();
    OFString sopClass;
    ds.findAndGetOFString(DCM_SOPClassUID, sopClass);
    DcmElement* pixels = nullptr;
    // The pixels stay in the file until they are sent; a file cut short must
    // be found out now, not in the middle of a send.
    if (sopClass != UID_SecondaryCaptureImageStorage || ds.findAndGetElement(DCM_PixelData, pixels).bad() || !pixels
        || qint64(pixels->getLength()) > size)
        throw Failure(QStringLiteral("%1 is not a complete Secondary Capture image.").arg(path), Failure::Kind::Damaged);
    return image;
}

Image Image::sharedCopy() const
{
    Image copy;
    copy.m_impl->fitsSigned = m_impl->fitsSigned;
    DcmDataset& from = m_impl->dataset();
    DcmDataset& to = copy.m_impl->dataset();
    // The pixel data is never in memory here: it is read from the image's one
    // buffer, or from its file, and its clone reads the same.
    for (unsigned long i = 0; i < from.card(); ++i) {
        DcmElement* element = from.getElement(i);
        auto clone = std::unique_ptr<DcmElement>(static_cast<DcmElement*>(element->clone()));
        check(to.insert(clone.get(), true), QStringLiteral("Cannot copy the image"));
        clone.release();
    }
    return copy;
}

qint64 Image::pixelBytes() const
{
    DcmElement* pixels = nullptr;
    if (m_impl->dataset().findAndGetElement(DCM_PixelData, pixels).bad() || !pixels)
        return 0;
    return pixels->getLength();
}

} // namespace skiascan::dicom
