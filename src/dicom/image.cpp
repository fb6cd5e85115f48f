// The image of one scanned film: properties, attributes, the form it takes for
// a peer or a file, and reading it back.

#include "dicom/dcmtk_internal.h"

#include "dicom/body_parts.h"

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
    check(ds.convertToUTF8(), QStringLiteral("Cannot convert the image's text"));
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
        throw Failure(QStringLiteral("%1 is not a Secondary Capture image.").arg(path));
    image.m_impl->file.getDataset()->loadAllDataIntoMemory();
    return image;
}

} // namespace skiascan::dicom
