#include "worklist/worklist_query.h"


namespace skiascan {

using dicom::DataSet;
using dicom::DataSetCollection;

QString dicomDayRange(const QDate& day)
{
    const QString d = day.toString(QStringLiteral("yyyyMMdd"));
    return d + QLatin1Char('-') + d;
}

DataSet worklistIdentifier(const WorklistStation& s, const QDate& today)
{
    const QString none;
    DataSetCollection referencedStudy;
    DataSetCollection requestedProcedureCode;
    DataSetCollection scheduledStep;
    DataSetCollection scheduledProtocolCode;
    DataSet& referencedStudyItem = referencedStudy.addNewItem();
    DataSet& requestedProcedureCodeItem = requestedProcedureCode.addNewItem();
    DataSet& step = scheduledStep.addNewItem();
    DataSet& protocolCode = scheduledProtocolCode.addNewItem();
    protocolCode.addAttribute(0x0008, 0x0100, none); // Code Value
    if (s.scheduledStudy) {
        protocolCode.addAttribute(0x0008, 0x0102, none); // Coding Scheme Designator
        protocolCode.addAttribute(0x0008, 0x0104, none); // Code Meaning
    }

    DataSet id;
    id.addAttribute(0x0008, 0x0005, none); // Specific Character Set
    id.addAttribute(0x0008, 0x0050, none); // Accession Number
    id.addAttribute(0x0008, 0x0090, none); // Referring Physician's Name
    referencedStudyItem.addAttribute(0x0008, 0x1150, none); // Referenced SOP Class UID
    referencedStudyItem.addAttribute(0x0008, 0x1155, none); // Referenced SOP Instance UID
    id.addAttribute(0x0008, 0x1110, referencedStudy);
    id.addAttribute(0x0010, 0x0010, none); // Patient's Name
    id.addAttribute(0x0010, 0x0020, none); // Patient ID
    id.addAttribute(0x0010, 0x0030, none); // Patient's Birth Date
    id.addAttribute(0x0010, 0x0040, none); // Patient's Sex
    id.addAttribute(0x0010, 0x1020, none); // Patient's Size
    id.addAttribute(0x0010, 0x1030, none); // Patient's Weight
    id.addAttribute(0x0010, 0x1040, none); // Patient's Address
    id.addAttribute(0x0010, 0x2000, none); // Medical Alerts
    id.addAttribute(0x0010, 0x2110, none); // Allergies
    // Pregnancy Status is asked for, not matched on: "0" is no Pregnancy Status
    // (they run from 0001 to 0004), and servers that match on every key, Orthanc
    // among them, would then return no entry at all.
    id.addAttribute(0x0010, 0x21C0, none);
    id.addAttribute(0x0020, 0x000D, none); // Study Instance UID
    id.addAttribute(0x0032, 0x1032, none); // Requesting Physician
    id.addAttribute(0x0032, 0x1033, none); // Requesting Service
    id.addAttribute(0x0032, 0x1060, none); // Requested Procedure Description
    requestedProcedureCodeItem.addAttribute(0x0008, 0x0100, none); // Code Value
    requestedProcedureCodeItem.addAttribute(0x0008, 0x0102, none); // Coding Scheme Designator
    requestedProcedureCodeItem.addAttribute(0x0008, 0x0104, none); // Code Meaning
    id.addAttribute(0x0032, 0x1064, requestedProcedureCode);
    id.addAttribute(0x0038, 0x0010, none); // Admission ID
    id.addAttribute(0x0038, 0x0050, none); // Special Needs
    id.addAttribute(0x0038, 0x0300, none); // Current Patient Location
    id.addAttribute(0x0038, 0x0400, none); // Patient's Institution Residence
    id.addAttribute(0x0038, 0x0500, none); // Patient State
    step.addAttribute(0x0008, 0x0060, s.scheduledModality);            // Modality
    step.addAttribute(0x0032, 0x1070, none);                           // Requested Contrast Agent
    step.addAttribute(0x0040, 0x0001, s.scheduledAETitle);                 // Scheduled Station AE Title
    step.addAttribute(0x0040, 0x0002, dicomDayRange(today));           // Scheduled Procedure Step Start Date
    step.addAttribute(0x0040, 0x0003, QStringLiteral("000000-235959")); // Scheduled Procedure Step Start Time
    step.addAttribute(0x0040, 0x0006, none);                           // Scheduled Performing Physician's Name
    step.addAttribute(0x0040, 0x0007, none);                           // Scheduled Procedure Step Description
    step.addAttribute(0x0040, 0x0008, scheduledProtocolCode);
    step.addAttribute(0x0040, 0x0009, none);                           // Scheduled Procedure Step ID
    step.addAttribute(0x0040, 0x0010, s.scheduledStationName);             // Scheduled Station Name
    step.addAttribute(0x0040, 0x0011, none);                           // Scheduled Procedure Step Location
    step.addAttribute(0x0040, 0x0012, none);                           // Pre-Medication
    id.addAttribute(0x0040, 0x0100, scheduledStep);
    id.addAttribute(0x0040, 0x1001, none); // Requested Procedure ID
    id.addAttribute(0x0040, 0x1003, none); // Requested Procedure Priority
    id.addAttribute(0x0040, 0x1004, none); // Patient Transport Arrangements
    id.addAttribute(0x0040, 0x3001, none); // Confidentiality Constraint on Patient Data Description
    return id;
}

DataSetCollection queryWorklist(const WorklistStation& s, const QDate& today, dicom::NetworkGuard* guard)
{
    dicom::WorklistQuery query;
    query.host = s.host;
    query.port = s.port;
    query.calledAETitle = s.calledAETitle;
    query.callingAETitle = s.callingAETitle;
    query.root = QStringLiteral("WORKLIST");
    query.timeouts = s.timeouts;
    query.limits = s.limits;
    query.tls = s.tls;
    return query.run(worklistIdentifier(s, today), guard);
}

} // namespace skiascan
