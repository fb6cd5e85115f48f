#include "dicom/image_attributes.h"

#include "common/dates.h"

namespace skiascan::dicom {

bool isValidUid(const QString& text)
{
    if (text.isEmpty() || text.size() > 64)
        return false;
    for (const QString& component : text.split(QLatin1Char('.'))) {
        if (component.isEmpty() || (component.size() > 1 && component.startsWith(QLatin1Char('0'))))
            return false;
        for (QChar c : component)
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
    }
    return true;
}

QString carriedValue(const QString& text, int maxLength)
{
    const QString value = text.trimmed();
    if (value.size() > maxLength || !whyNotCarried(value, ValueKind::Text).isEmpty())
        return {};
    return value;
}

namespace {

// Maximum lengths of the value representations an order uses.
constexpr int kShortString = 16; // SH
constexpr int kLongString = 64;  // LO
constexpr int kNameGroup = 64;   // PN, each component group

QString carriedName(const QString& text)
{
    const QString name = text.trimmed();
    if (!whyNotCarried(name, ValueKind::Text).isEmpty())
        return {};
    const QStringList groups = name.split(QLatin1Char('='));
    if (groups.size() > 3)
        return {};
    for (const QString& group : groups)
        if (group.size() > kNameGroup || group.count(QLatin1Char('^')) > 4)
            return {};
    // A name of nothing but separators is no name.
    for (QChar c : name)
        if (c != QLatin1Char('^') && c != QLatin1Char('=') && c != QLatin1Char(' '))
            return name;
    return {};
}

std::vector<Code> carriedCodes(const std::vector<Code>& codes)
{
    std::vector<Code> carried;
    for (const Code& code : codes) {
        const Code c{carriedValue(code.value, kShortString), carriedValue(code.scheme, kShortString),
                     carriedValue(code.schemeVersion, kShortString), carriedValue(code.meaning, kLongString)};
        if (!c.value.isEmpty() && !c.scheme.isEmpty() && !c.meaning.isEmpty())
            carried.push_back(c);
    }
    return carried;
}

} // namespace

ScheduledStudy carriedPart(const ScheduledStudy& o)
{
    ScheduledStudy s;
    if (isValidUid(o.studyUid.trimmed()))
        s.studyUid = o.studyUid.trimmed();
    s.referringPhysician = carriedName(o.referringPhysician);
    for (const auto& [sopClass, instance] : o.referencedStudies)
        if (isValidUid(sopClass.trimmed()) && isValidUid(instance.trimmed()))
            s.referencedStudies.emplace_back(sopClass.trimmed(), instance.trimmed());
    s.requestedProcedureId = carriedValue(o.requestedProcedureId, kShortString);
    s.requestedProcedureDescription = carriedValue(o.requestedProcedureDescription, kLongString);
    s.requestedProcedureCodes = carriedCodes(o.requestedProcedureCodes);
    s.stepId = carriedValue(o.stepId, kShortString);
    s.stepDescription = carriedValue(o.stepDescription, kLongString);
    s.protocolCodes = carriedCodes(o.protocolCodes);
    return s;
}

QString ScheduledStudy::label() const
{
    QString label = requestedProcedureDescription.isEmpty() ? stepDescription : requestedProcedureDescription;
    if (!stepId.isEmpty())
        label += (label.isEmpty() ? QStringLiteral("step ") : QStringLiteral(", step ")) + stepId;
    return label;
}

QString whyNotCarried(const QString& value, ValueKind kind)
{
    for (QChar c : value) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u < 0xA0))
            return QStringLiteral("it holds a control character (code %1), which a DICOM text cannot hold").arg(int(u));
        if (c == QLatin1Char('\\'))
            return QStringLiteral("it holds a backslash (\\), which DICOM reads as the start of a second value");
    }
    if (kind == ValueKind::NamePart) {
        if (value.contains(QLatin1Char('^')))
            return QStringLiteral("it holds \"^\", which DICOM reads as the start of another part of the name");
        if (value.contains(QLatin1Char('=')))
            return QStringLiteral("it holds \"=\", which DICOM reads as the start of another form of the name");
    }
    return {};
}

QString patientNameOf(const QString& last, const QString& first, const QString& middle)
{
    QString name = last + QLatin1Char('^') + first;
    if (!middle.isEmpty())
        name += QLatin1Char('^') + middle;
    return name;
}

void setImageProperties(Image& image, const StudyRecord& r)
{
    image.setProperty(Image::Property::PatientName, patientNameOf(r.lastName, r.firstName, r.middleName));
    image.setProperty(Image::Property::PatientID, r.patientId);
    image.setProperty(Image::Property::PatientBirthDate, r.birthDate);
    if (!r.studyDescription.isEmpty())
        image.setProperty(Image::Property::StudyDescription, r.studyDescription);
    if (!r.seriesDescription.isEmpty())
        image.setProperty(Image::Property::SeriesDescription, r.seriesDescription);
    image.setProperty(Image::Property::PatientSex, r.sex);
}

namespace {

void addCodes(DataSet& item, quint16 group, quint16 element, const std::vector<Code>& codes)
{
    if (codes.empty())
        return;
    DataSetCollection items;
    for (const Code& code : codes) {
        DataSet& c = items.addNewItem();
        c.addAttribute(0x0008, 0x0100, code.value);
        c.addAttribute(0x0008, 0x0102, code.scheme);
        if (!code.schemeVersion.isEmpty())
            c.addAttribute(0x0008, 0x0103, code.schemeVersion);
        c.addAttribute(0x0008, 0x0104, code.meaning);
    }
    item.addAttribute(group, element, items);
}

// The order of a scheduled study: who referred the patient, the study the
// RIS made, and the requested procedure and step the films were made for.
void addScheduledStudy(Image& image, const ScheduledStudy& s)
{
    if (!s.referringPhysician.isEmpty())
        image.addAttribute(0x0008, 0x0090, s.referringPhysician); // Referring Physician's Name
    if (!s.referencedStudies.empty()) {
        DataSetCollection studies;
        for (const auto& [sopClass, instance] : s.referencedStudies) {
            DataSet& item = studies.addNewItem();
            item.addAttribute(0x0008, 0x1150, sopClass);
            item.addAttribute(0x0008, 0x1155, instance);
        }
        image.addAttribute(0x0008, 0x1110, studies); // Referenced Study Sequence
    }
    DataSetCollection request;
    DataSet& item = request.addNewItem();
    if (!s.requestedProcedureDescription.isEmpty())
        item.addAttribute(0x0032, 0x1060, s.requestedProcedureDescription);
    addCodes(item, 0x0032, 0x1064, s.requestedProcedureCodes);
    if (!s.stepDescription.isEmpty())
        item.addAttribute(0x0040, 0x0007, s.stepDescription);
    addCodes(item, 0x0040, 0x0008, s.protocolCodes);
    if (!s.stepId.isEmpty())
        item.addAttribute(0x0040, 0x0009, s.stepId);
    if (!s.requestedProcedureId.isEmpty())
        item.addAttribute(0x0040, 0x1001, s.requestedProcedureId);
    if (!s.requestedProcedureId.isEmpty() || !s.requestedProcedureDescription.isEmpty()
        || !s.requestedProcedureCodes.empty() || !s.stepId.isEmpty() || !s.stepDescription.isEmpty()
        || !s.protocolCodes.empty())
        image.addAttribute(0x0040, 0x0275, request); // Request Attributes Sequence
}

} // namespace

void addImageAttributes(Image& image, const StudyRecord& r, const ImageNumbering& n, const QDate& today,
                        const std::function<QTime()>& now)
{
    image.setProperty(Image::Property::StudyUID, n.studyUid);
    image.setProperty(Image::Property::SeriesUID, n.seriesUid);
    image.setProperty(Image::Property::InstanceUID, n.instanceUid);

    const QString number = QString::number(n.number);
    image.addAttribute(0x0008, 0x0020, r.studyDate);          // Study Date
    image.addAttribute(0x0008, 0x0021, r.studyDate);          // Series Date
    image.addAttribute(0x0008, 0x0022, today);                // Acquisition Date
    image.addAttribute(0x0008, 0x0023, r.studyDate);          // Content Date
    image.addAttribute(0x0008, 0x0030, n.studyTime);          // Study Time
    image.addAttribute(0x0008, 0x0031, clockTime(now())); // Series Time
    image.addAttribute(0x0008, 0x0032, clockTime(now())); // Acquisition Time
    image.addAttribute(0x0008, 0x0033, clockTime(now())); // Content Time
    if (!r.accessionNumber.isEmpty())
        image.addAttribute(0x0008, 0x0050, r.accessionNumber); // Accession Number
    image.addAttribute(0x0018, 0x0015, r.bodyPart);           // Body Part Examined
    // Study ID: the requested procedure's ID for a scheduled study, as the RIS knows it.
    const bool scheduledId = n.scheduled && !n.scheduled->requestedProcedureId.isEmpty();
    image.addAttribute(0x0020, 0x0010, scheduledId ? n.scheduled->requestedProcedureId : QStringLiteral("1"));
    image.addAttribute(0x0020, 0x0011, number);               // Series Number
    image.addAttribute(0x0020, 0x0012, number);               // Acquisition Number
    image.addAttribute(0x0020, 0x0013, number);               // Instance Number
    // Signed pixels would turn values of 32768 and more negative: a bright film
    // would show dark. Such an image keeps its pixels unsigned.
    image.addAttribute(0x0028, 0x0103, image.samplesFitSigned() ? QStringLiteral("1") : QStringLiteral("0"));
    image.addAttribute(0x0028, 0x1050, r.windowCenter);       // Window Center
    image.addAttribute(0x0028, 0x1051, r.windowWidth);        // Window Width
    image.addAttribute(0x0008, 0x0060, QStringLiteral("SC")); // Modality
    if (n.scheduled)
        addScheduledStudy(image, *n.scheduled);

    image.setProperty(Image::Property::SOPClassUID, QStringLiteral("1.2.840.10008.5.1.4.1.1.7"));
}

} // namespace skiascan::dicom
