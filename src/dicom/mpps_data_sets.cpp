// The data sets of a performed procedure step: the N-CREATE attribute list and
// the final N-SET modification list, attribute by attribute as PS3.4 Table
// F.7.2-1 asks for them (Type 1: a value; Type 2: present, empty when not known).

#include "dicom/mpps.h"

namespace skiascan::dicom {

namespace {

[[noreturn]] void lacking(const QString& what)
{
    throw Failure(QStringLiteral("The performed procedure step cannot be sent: %1.").arg(what), Failure::Kind::Argument);
}

void requireUid(const QString& uid, const QString& what)
{
    if (!isValidUid(uid))
        lacking(QStringLiteral("%1 \"%2\" is no UID").arg(what, uid));
}

void requireText(const QString& text, const QString& what, int maxLength = 64)
{
    if (text.trimmed().isEmpty())
        lacking(QStringLiteral("it has no %1").arg(what));
    if (text.size() > maxLength)
        lacking(QStringLiteral("its %1 \"%2\" is longer than %3 characters").arg(what, text).arg(maxLength));
}

QString dicomDate(const QDate& date)
{
    return date.isValid() ? date.toString(QStringLiteral("yyyyMMdd")) : QString();
}

QString dicomTime(const QTime& time)
{
    return time.isValid() ? time.toString(QStringLiteral("HHmmss")) : QString();
}

// A code sequence, present with no item when there is no code (Type 2).
void addCodes(DataSet& item, quint16 group, quint16 element, const std::vector<Code>& codes)
{
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

// A sequence of references (Referenced SOP Class and Instance UID).
DataSetCollection references(const std::vector<std::pair<QString, QString>>& uids)
{
    DataSetCollection items;
    for (const auto& [sopClass, instance] : uids) {
        DataSet& item = items.addNewItem();
        item.addAttribute(0x0008, 0x1150, sopClass);
        item.addAttribute(0x0008, 0x1155, instance);
    }
    return items;
}

// The Scheduled Step Attribute Sequence: one item, the order of a scheduled
// study; for a study made here the study's UID and empty values, as an
// unscheduled step is reported (PS3.4 F.7.2.1.1).
void addScheduledStep(DataSet& set, const PerformedStep& step)
{
    const ScheduledStudy none;
    const ScheduledStudy& order = step.scheduled ? *step.scheduled : none;
    DataSetCollection items;
    DataSet& item = items.addNewItem();
    item.addAttribute(0x0020, 0x000D, step.studyUid);            // Study Instance UID
    item.addAttribute(0x0008, 0x1110, references(order.referencedStudies)); // Referenced Study Sequence
    item.addAttribute(0x0008, 0x0050, step.accessionNumber);     // Accession Number
    item.addAttribute(0x0040, 0x1001, order.requestedProcedureId);
    item.addAttribute(0x0032, 0x1060, order.requestedProcedureDescription);
    item.addAttribute(0x0040, 0x0009, order.stepId);             // Scheduled Procedure Step ID
    item.addAttribute(0x0040, 0x0007, order.stepDescription);    // Scheduled Procedure Step Description
    addCodes(item, 0x0040, 0x0008, order.protocolCodes);         // Scheduled Protocol Code Sequence
    set.addAttribute(0x0040, 0x0270, items);
}

DataSet seriesItem(const PerformedSeries& series)
{
    requireUid(series.seriesUid, QStringLiteral("the Series Instance UID"));
    std::vector<std::pair<QString, QString>> images;
    for (const ImageReference& image : series.images) {
        requireUid(image.sopClassUid, QStringLiteral("an image's SOP Class UID"));
        requireUid(image.sopInstanceUid, QStringLiteral("an image's SOP Instance UID"));
        images.emplace_back(image.sopClassUid, image.sopInstanceUid);
    }
    // Protocol Name is Type 1: the series' description stands in for a
    // protocol the station does not name, and a fixed text for both.
    QString protocol = series.protocolName.trimmed();
    if (protocol.isEmpty())
        protocol = series.description.trimmed();
    if (protocol.isEmpty())
        protocol = QStringLiteral("Film digitisation");
    DataSet item;
    item.addAttribute(0x0008, 0x1050, series.performingPhysician); // Performing Physician's Name
    item.addAttribute(0x0018, 0x1030, protocol);                   // Protocol Name
    item.addAttribute(0x0008, 0x1070, series.operatorName);        // Operators' Name
    item.addAttribute(0x0020, 0x000E, series.seriesUid);           // Series Instance UID
    item.addAttribute(0x0008, 0x103E, series.description);         // Series Description
    item.addAttribute(0x0008, 0x0054, series.retrieveAETitle);     // Retrieve AE Title
    item.addAttribute(0x0008, 0x1140, references(images));         // Referenced Image Sequence
    item.addAttribute(0x0040, 0x0220, DataSetCollection());        // Referenced Non-Image Composite SOP Instance Sequence
    return item;
}

} // namespace

DataSet stepCreationAttributes(const PerformedStep& step)
{
    requireUid(step.instanceUid, QStringLiteral("its SOP Instance UID"));
    requireUid(step.studyUid, QStringLiteral("its Study Instance UID"));
    requireText(step.stepId, QStringLiteral("Performed Procedure Step ID"), 16);       // SH
    requireText(step.stationAETitle, QStringLiteral("Performed Station AE Title"), 16); // AE
    requireText(step.modality, QStringLiteral("Modality"), 16);                         // CS
    if (!step.startDate.isValid() || !step.startTime.isValid())
        lacking(QStringLiteral("it has no start date and time"));

    DataSet set;
    addScheduledStep(set, step);
    set.addAttribute(0x0010, 0x0010, step.patient.name);
    set.addAttribute(0x0010, 0x0020, step.patient.id);
    set.addAttribute(0x0010, 0x0030, step.patient.birthDate);
    set.addAttribute(0x0010, 0x0040, step.patient.sex);
    set.addAttribute(0x0008, 0x1120, DataSetCollection()); // Referenced Patient Sequence

    set.addAttribute(0x0040, 0x0253, step.stepId);         // Performed Procedure Step ID
    set.addAttribute(0x0040, 0x0241, step.stationAETitle); // Performed Station AE Title
    set.addAttribute(0x0040, 0x0242, step.stationName);    // Performed Station Name
    set.addAttribute(0x0040, 0x0243, QString());           // Performed Location
    set.addAttribute(0x0040, 0x0244, dicomDate(step.startDate));
    set.addAttribute(0x0040, 0x0245, dicomTime(step.startTime));
    // Whatever the step is by now, it is created in progress; the final N-SET
    // says how it ended.
    set.addAttribute(0x0040, 0x0252, statusText(StepStatus::InProgress));
    set.addAttribute(0x0040, 0x0254, step.description); // Performed Procedure Step Description
    // Performed Procedure Type Description: what was requested, for a scheduled study.
    set.addAttribute(0x0040, 0x0255, step.scheduled && !step.scheduled->requestedProcedureDescription.isEmpty()
                                         ? step.scheduled->requestedProcedureDescription
                                         : step.description);
    // Procedure Code Sequence: the requested procedure's codes.
    addCodes(set, 0x0008, 0x1032, step.scheduled ? step.scheduled->requestedProcedureCodes : std::vector<Code>());
    // End date and time are known only at the end: present and empty now.
    set.addAttribute(0x0040, 0x0250, QString());
    set.addAttribute(0x0040, 0x0251, QString());
    // Created empty, so that a node that takes in N-SET only what N-CREATE
    // created takes a discontinuation reason too.
    set.addAttribute(0x0040, 0x0281, DataSetCollection());

    set.addAttribute(0x0008, 0x0060, step.modality);
    set.addAttribute(0x0020, 0x0010, step.studyId);
    // Performed Protocol Code Sequence: the scheduled protocol, which is what a
    // digitised film performs.
    addCodes(set, 0x0040, 0x0260, step.scheduled ? step.scheduled->protocolCodes : std::vector<Code>());
    set.addAttribute(0x0040, 0x0340, DataSetCollection()); // Performed Series Sequence, filled at the end
    return set;
}

DataSet stepFinalAttributes(const PerformedStep& step)
{
    if (!isFinal(step.status))
        lacking(QStringLiteral("it is still in progress"));
    if (!step.endDate.isValid() || !step.endTime.isValid())
        lacking(QStringLiteral("it has no end date and time"));
    // At the end a step names at least one series, even one whose images were
    // all removed (PS3.4 Table F.7.2-1, final state).
    if (step.series.empty())
        lacking(QStringLiteral("it names no series"));

    DataSet set;
    set.addAttribute(0x0040, 0x0252, statusText(step.status));
    set.addAttribute(0x0040, 0x0250, dicomDate(step.endDate));
    set.addAttribute(0x0040, 0x0251, dicomTime(step.endTime));
    DataSetCollection series;
    for (const PerformedSeries& s : step.series)
        series.addNewItem() = seriesItem(s);
    set.addAttribute(0x0040, 0x0340, series);
    if (step.status == StepStatus::Discontinued && step.discontinuationReason)
        addCodes(set, 0x0040, 0x0281, {*step.discontinuationReason});
    return set;
}

} // namespace skiascan::dicom
