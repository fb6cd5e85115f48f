// A performed procedure step as a RIS sees it: against a MPPS node that is not
// ours (odil's N-CREATE and N-SET providers), what arrives, in which character
// set, and what the node's refusals read as.

#include "common/failure.h"
#include "dicom/mpps.h"
#include "dicom/network.h"
#include "dicom/uid_generator.h"
#include "support/conditions.h"
#include "support/dicom_file.h"
#include "support/mpps_node.h"
#include "support/peers.h"
#include "support/qt_printers.h"

#include <dcmtk/dcmdata/dcsequen.h>

#include <gtest/gtest.h>

using namespace skiascan;
using namespace skiascan::test;
using dicom::PerformedStep;
using dicom::StepStatus;

namespace {

const QString kSecondaryCapture = QStringLiteral("1.2.840.10008.5.1.4.1.1.7");

// A step of a worklist study: two films, each a series of its own.
PerformedStep scheduledStep()
{
    PerformedStep s;
    s.instanceUid = dicom::UidGenerator().newUid();
    s.stepId = "4711";
    s.patient = {"Müller^Hans^Peter", "PID4711", QDate(1960, 2, 1), "M"};
    s.studyUid = "1.2.826.0.1.3680043.2.1143.77";
    s.accessionNumber = "ACC1";
    dicom::ScheduledStudy order;
    order.studyUid = s.studyUid;
    order.referencedStudies = {{"1.2.840.10008.3.1.2.3.1", "1.2.826.0.1.3680043.2.1143.78"}};
    order.requestedProcedureId = "RP1";
    order.requestedProcedureDescription = "Chest PA";
    order.requestedProcedureCodes = {{"RPC1", "99LOCAL", "", "Chest X-ray"}};
    order.stepId = "SPS1";
    order.stepDescription = "Film digitising";
    order.protocolCodes = {{"P1", "99LOCAL", "1.0", "Digitise film"}};
    s.scheduled = order;
    s.stationAETitle = "SKIASCAN";
    s.stationName = "ROOM1";
    s.startDate = QDate(2026, 12, 7);
    s.startTime = QTime(10, 42, 5);
    s.studyId = "RP1";
    s.description = "Chest PA";
    s.series = {{"2.25.1001", "Film 1", "", "PACS", "", "Miller^Ann", {{kSecondaryCapture, "2.25.2001"}}},
                {"2.25.1002", "Film 2", "", "PACS", "", "Miller^Ann", {{kSecondaryCapture, "2.25.2002"}}}};
    return s;
}

PerformedStep ended(PerformedStep s, StepStatus status = StepStatus::Completed)
{
    s.status = status;
    s.endDate = QDate(2026, 12, 7);
    s.endTime = QTime(10, 55, 30);
    return s;
}

// What a RIS reads of an item of a sequence, in the data set's character set.
QString inItem(DicomFile& file, const DcmTagKey& sequence, const DcmTagKey& key, int index = 0)
{
    DcmItem* item = nullptr;
    if (file.dataset().findAndGetSequenceItem(sequence, item, index).bad() || !item)
        return QStringLiteral("(no item %1)").arg(index);
    OFString value;
    if (item->findAndGetOFStringArray(key, value).bad())
        return QStringLiteral("(absent)");
    OFString charset;
    file.dataset().findAndGetOFString(DCM_SpecificCharacterSet, charset);
    return charset == "ISO_IR 100" ? QString::fromLatin1(value.c_str()) : QString::fromUtf8(value.c_str());
}

unsigned long itemsOf(DcmItem& set, const DcmTagKey& sequence)
{
    DcmSequenceOfItems* items = nullptr;
    if (set.findAndGetSequence(sequence, items).bad() || !items)
        return 999; // absent: no count that a test expects
    return items->card();
}

// Present with no value, as a Type 2 attribute not known.
bool presentAndEmpty(DicomFile& file, const DcmTagKey& key)
{
    DcmElement* element = nullptr;
    return file.dataset().findAndGetElement(key, element).good() && element && element->getLength() == 0;
}

// PS3.4 Table F.7.2-1 as the SCU must fill it: Type 1 needs a value (a
// sequence an item), Type 2 presence. dciodvfy knows no MPPS IOD, so the table
// is checked here.
struct Required {
    DcmTagKey key;
    int type;
};
const std::vector<Required> kCreation{
    {DCM_ScheduledStepAttributesSequence, 1}, {DCM_PatientName, 2}, {DCM_PatientID, 2}, {DCM_PatientBirthDate, 2},
    {DCM_PatientSex, 2}, {DCM_ReferencedPatientSequence, 2}, {DCM_PerformedProcedureStepID, 1},
    {DCM_PerformedStationAETitle, 1}, {DCM_PerformedStationName, 2}, {DCM_PerformedLocation, 2},
    {DCM_PerformedProcedureStepStartDate, 1}, {DCM_PerformedProcedureStepStartTime, 1},
    {DCM_PerformedProcedureStepStatus, 1}, {DCM_PerformedProcedureStepDescription, 2},
    {DCM_PerformedProcedureTypeDescription, 2}, {DCM_ProcedureCodeSequence, 2},
    {DCM_PerformedProcedureStepEndDate, 2}, {DCM_PerformedProcedureStepEndTime, 2}, {DCM_Modality, 1},
    {DCM_StudyID, 2}, {DCM_PerformedProtocolCodeSequence, 2}, {DCM_PerformedSeriesSequence, 2}};
const std::vector<Required> kScheduledStep{
    {DCM_StudyInstanceUID, 1}, {DCM_ReferencedStudySequence, 2}, {DCM_AccessionNumber, 2},
    {DCM_RequestedProcedureID, 2}, {DCM_RequestedProcedureDescription, 2}, {DCM_ScheduledProcedureStepID, 2},
    {DCM_ScheduledProcedureStepDescription, 2}, {DCM_ScheduledProtocolCodeSequence, 2}};
// The final N-SET: what the final state requires that N-CREATE could not give.
const std::vector<Required> kFinal{{DCM_PerformedProcedureStepStatus, 1},
                                   {DCM_PerformedProcedureStepEndDate, 1},
                                   {DCM_PerformedProcedureStepEndTime, 1},
                                   {DCM_PerformedSeriesSequence, 1}};
const std::vector<Required> kPerformedSeries{
    {DCM_PerformingPhysicianName, 2}, {DCM_ProtocolName, 1}, {DCM_OperatorsName, 2}, {DCM_SeriesInstanceUID, 1},
    {DCM_SeriesDescription, 2}, {DCM_RetrieveAETitle, 2}, {DCM_ReferencedImageSequence, 2},
    {DCM_ReferencedNonImageCompositeSOPInstanceSequence, 2}};

// The attributes of `table` that `set` lacks, by name; for a sequence in
// `nested`, the lacks of each of its items too.
QStringList lacks(DcmItem& set, const std::vector<Required>& table,
                  const std::vector<std::pair<DcmTagKey, const std::vector<Required>*>>& nested = {})
{
    QStringList lacking;
    for (const Required& r : table) {
        DcmElement* element = nullptr;
        const QString name = QString::fromLatin1(DcmTag(r.key).getTagName());
        if (set.findAndGetElement(r.key, element).bad() || !element)
            lacking << name + " absent";
        else if (r.type == 1 && element->getLength() == 0 && itemsOf(set, r.key) == 999)
            lacking << name + " empty";
        else if (r.type == 1 && itemsOf(set, r.key) == 0)
            lacking << name + " without an item";
    }
    for (const auto& [sequence, items] : nested) {
        DcmItem* item = nullptr;
        for (int i = 0; set.findAndGetSequenceItem(sequence, item, i).good() && item; ++i)
            for (const QString& lack : lacks(*item, *items))
                lacking << QStringLiteral("%1[%2] %3").arg(DcmTag(sequence).getTagName()).arg(i).arg(lack);
    }
    return lacking;
}

std::string refusal(const std::function<void()>& send)
{
    try {
        send();
    } catch (const dicom::StepRefused& e) {
        return QStringLiteral("%1 [0x%2/0x%3]")
            .arg(e.description())
            .arg(e.status(), 4, 16, QLatin1Char('0'))
            .arg(e.errorId(), 4, 16, QLatin1Char('0'))
            .toStdString();
    } catch (const Failure& e) {
        return "not a refusal: " + e.description().toStdString();
    }
    return "(accepted)";
}

} // namespace

// A worklist study's step arrives as the RIS needs it to close the order: the
// scheduled step it was made for, the patient, IN PROGRESS with an empty end;
// then COMPLETED with every series and the UIDs of every image. The text is
// Latin-1, declared as such.
TEST(Mpps, AWorklistStepArrivesCreatedThenCompletedWithEveryImage)
{
    MppsNode ris;
    const PerformedStep step = scheduledStep();
    dicom::NetworkGuard createGuard(std::chrono::seconds(30));
    EXPECT_EQ(dicom::createStep("127.0.0.1", ris.port(), ris.aeTitle(), "SKIASCAN", kShortTimeouts, createGuard, step),
              "");
    dicom::NetworkGuard setGuard(std::chrono::seconds(30));
    EXPECT_EQ(dicom::setStep("127.0.0.1", ris.port(), ris.aeTitle(), "SKIASCAN", kShortTimeouts, setGuard,
                             ended(step)),
              "");

    const std::vector<MppsMessage> messages = ris.received();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].operation, "N-CREATE");
    EXPECT_EQ(messages[1].operation, "N-SET");
    for (const MppsMessage& m : messages) {
        EXPECT_EQ(m.sopInstanceUid, step.instanceUid);
        EXPECT_EQ(m.status, 0);
    }

    DicomFile created(messages[0].dataSet);
    EXPECT_EQ(created.text(DCM_SpecificCharacterSet), "ISO_IR 100");
    EXPECT_EQ(created.text(DCM_PatientName), "Müller^Hans^Peter");
    EXPECT_EQ(created.text(DCM_PatientID), "PID4711");
    EXPECT_EQ(created.text(DCM_PatientBirthDate), "19600201");
    EXPECT_EQ(created.text(DCM_PatientSex), "M");
    EXPECT_EQ(itemsOf(created.dataset(), DCM_ScheduledStepAttributesSequence), 1u);
    const auto scheduled = [&](const DcmTagKey& key) { return inItem(created, DCM_ScheduledStepAttributesSequence, key); };
    EXPECT_EQ(scheduled(DCM_StudyInstanceUID), step.studyUid);
    EXPECT_EQ(scheduled(DCM_AccessionNumber), "ACC1");
    EXPECT_EQ(scheduled(DCM_RequestedProcedureID), "RP1");
    EXPECT_EQ(scheduled(DCM_RequestedProcedureDescription), "Chest PA");
    EXPECT_EQ(scheduled(DCM_ScheduledProcedureStepID), "SPS1");
    EXPECT_EQ(scheduled(DCM_ScheduledProcedureStepDescription), "Film digitising");
    DcmItem* order = nullptr;
    ASSERT_TRUE(created.dataset().findAndGetSequenceItem(DCM_ScheduledStepAttributesSequence, order).good());
    OFString referenced;
    order->findAndGetOFString(DCM_ReferencedSOPInstanceUID, referenced, 0, OFTrue);
    EXPECT_EQ(referenced, "1.2.826.0.1.3680043.2.1143.78");
    OFString protocol;
    order->findAndGetOFString(DCM_CodeValue, protocol, 0, OFTrue);
    EXPECT_EQ(protocol, "P1");
    EXPECT_EQ(created.text(DCM_PerformedProcedureStepID), "4711");
    EXPECT_EQ(created.text(DCM_PerformedStationAETitle), "SKIASCAN");
    EXPECT_EQ(created.text(DCM_PerformedStationName), "ROOM1");
    EXPECT_EQ(created.text(DCM_PerformedProcedureStepStartDate), "20261207");
    EXPECT_EQ(created.text(DCM_PerformedProcedureStepStartTime), "104205");
    EXPECT_EQ(created.text(DCM_PerformedProcedureStepStatus), "IN PROGRESS");
    EXPECT_EQ(created.text(DCM_Modality), "OT");
    EXPECT_EQ(created.text(DCM_StudyID), "RP1");
    EXPECT_EQ(inItem(created, DCM_ProcedureCodeSequence, DCM_CodeValue), "RPC1");
    EXPECT_TRUE(presentAndEmpty(created, DCM_PerformedProcedureStepEndDate));
    EXPECT_TRUE(presentAndEmpty(created, DCM_PerformedProcedureStepEndTime));
    EXPECT_EQ(itemsOf(created.dataset(), DCM_PerformedSeriesSequence), 0u);

    DicomFile completed(messages[1].dataSet);
    EXPECT_EQ(completed.text(DCM_PerformedProcedureStepStatus), "COMPLETED");
    EXPECT_EQ(completed.text(DCM_PerformedProcedureStepEndDate), "20261207");
    EXPECT_EQ(completed.text(DCM_PerformedProcedureStepEndTime), "105530");
    EXPECT_FALSE(completed.has(DCM_PatientName)) << "the patient is not the N-SET's to change";
    ASSERT_EQ(itemsOf(completed.dataset(), DCM_PerformedSeriesSequence), 2u);
    for (int i = 0; i < 2; ++i) {
        const dicom::PerformedSeries& series = step.series[static_cast<std::size_t>(i)];
        const auto value = [&](const DcmTagKey& key) { return inItem(completed, DCM_PerformedSeriesSequence, key, i); };
        EXPECT_EQ(value(DCM_SeriesInstanceUID), series.seriesUid);
        EXPECT_EQ(value(DCM_SeriesDescription), series.description);
        EXPECT_EQ(value(DCM_ProtocolName), series.description) << "the description stands in for the protocol";
        EXPECT_EQ(value(DCM_RetrieveAETitle), "PACS");
        EXPECT_EQ(value(DCM_OperatorsName), "Miller^Ann");
        DcmItem* item = nullptr;
        ASSERT_TRUE(completed.dataset().findAndGetSequenceItem(DCM_PerformedSeriesSequence, item, i).good());
        ASSERT_EQ(itemsOf(*item, DCM_ReferencedImageSequence), 1u);
        DcmItem* image = nullptr;
        ASSERT_TRUE(item->findAndGetSequenceItem(DCM_ReferencedImageSequence, image).good());
        OFString sopClass;
        OFString sopInstance;
        image->findAndGetOFString(DCM_ReferencedSOPClassUID, sopClass);
        image->findAndGetOFString(DCM_ReferencedSOPInstanceUID, sopInstance);
        EXPECT_EQ(QString::fromLatin1(sopClass.c_str()), kSecondaryCapture);
        EXPECT_EQ(QString::fromLatin1(sopInstance.c_str()), series.images[0].sopInstanceUid);
    }

    EXPECT_EQ(lacks(created.dataset(), kCreation, {{DCM_ScheduledStepAttributesSequence, &kScheduledStep}}),
              QStringList());
    EXPECT_EQ(lacks(completed.dataset(), kFinal, {{DCM_PerformedSeriesSequence, &kPerformedSeries}}), QStringList());
    // The step as the node holds it: the creation with the final N-SET applied.
    DicomFile held(ris.stepFile(step.instanceUid));
    EXPECT_EQ(held.text(DCM_PerformedProcedureStepStatus), "COMPLETED");
    EXPECT_EQ(held.text(DCM_PatientName), "Müller^Hans^Peter");
}

// A study made here is reported unscheduled: the Scheduled Step Attribute
// Sequence holds the study's UID and the typed accession number, the rest
// present and empty. A name beyond Latin-1 goes out in UTF-8, and the N-SET
// declares UTF-8 as well, though its own text is plain: a RIS applying it to
// the step still reads the name right. A step whose images were all removed
// ends DISCONTINUED with its reason.
TEST(Mpps, AStudyMadeHereIsUnscheduledInTheCharacterSetItsNameNeeds)
{
    MppsNode ris;
    PerformedStep step = scheduledStep();
    step.scheduled.reset();
    step.patient.name = "Παπαδόπουλος^Νίκος";
    step.studyUid = dicom::UidGenerator().newUid();
    step.studyId = "1";
    step.series = {{"2.25.1003", "Film 1", "", "PACS", "", "", {}}}; // its one image removed
    dicom::NetworkGuard guard;
    dicom::StepAssociation association("127.0.0.1", ris.port(), ris.aeTitle(), "SKIASCAN", kShortTimeouts, guard);
    EXPECT_EQ(association.create(step), "");
    PerformedStep discontinued = ended(step, StepStatus::Discontinued);
    discontinued.discontinuationReason = dicom::imagesRemovedReason();
    EXPECT_EQ(dicom::finalCharacterSet(discontinued), "ISO_IR 192");
    EXPECT_EQ(association.set(discontinued), "");
    association.release();

    const std::vector<MppsMessage> messages = ris.received();
    ASSERT_EQ(messages.size(), 2u);
    DicomFile created(messages[0].dataSet);
    EXPECT_EQ(created.text(DCM_SpecificCharacterSet), "ISO_IR 192");
    EXPECT_EQ(created.text(DCM_PatientName), "Παπαδόπουλος^Νίκος");
    const auto scheduled = [&](const DcmTagKey& key) { return inItem(created, DCM_ScheduledStepAttributesSequence, key); };
    EXPECT_EQ(scheduled(DCM_StudyInstanceUID), step.studyUid);
    EXPECT_EQ(scheduled(DCM_AccessionNumber), "ACC1");
    for (const DcmTagKey& key : {DCM_RequestedProcedureID, DCM_RequestedProcedureDescription,
                                 DCM_ScheduledProcedureStepID, DCM_ScheduledProcedureStepDescription})
        EXPECT_EQ(scheduled(key), "") << DcmTag(key).getTagName();
    DcmItem* order = nullptr;
    ASSERT_TRUE(created.dataset().findAndGetSequenceItem(DCM_ScheduledStepAttributesSequence, order).good());
    EXPECT_EQ(itemsOf(*order, DCM_ReferencedStudySequence), 0u);
    EXPECT_EQ(itemsOf(*order, DCM_ScheduledProtocolCodeSequence), 0u);
    EXPECT_EQ(itemsOf(created.dataset(), DCM_ProcedureCodeSequence), 0u);

    DicomFile set(messages[1].dataSet);
    EXPECT_EQ(set.text(DCM_SpecificCharacterSet), "ISO_IR 192");
    EXPECT_EQ(set.text(DCM_PerformedProcedureStepStatus), "DISCONTINUED");
    EXPECT_EQ(inItem(set, DCM_PerformedProcedureStepDiscontinuationReasonCodeSequence, DCM_CodeValue), "110513");
    EXPECT_EQ(inItem(set, DCM_PerformedProcedureStepDiscontinuationReasonCodeSequence, DCM_CodingSchemeDesignator),
              "DCM");
    EXPECT_EQ(inItem(set, DCM_PerformedSeriesSequence, DCM_SeriesInstanceUID), "2.25.1003");
    DcmItem* series = nullptr;
    ASSERT_TRUE(set.dataset().findAndGetSequenceItem(DCM_PerformedSeriesSequence, series).good());
    EXPECT_EQ(itemsOf(*series, DCM_ReferencedImageSequence), 0u);
    EXPECT_EQ(lacks(created.dataset(), kCreation, {{DCM_ScheduledStepAttributesSequence, &kScheduledStep}}),
              QStringList());
    EXPECT_EQ(lacks(set.dataset(), kFinal, {{DCM_PerformedSeriesSequence, &kPerformedSeries}}), QStringList());
}

// What a RIS refuses is said with the node and in words, and tells the
// sender where the step stands: an update of a step the node does not hold,
// an update after the final one, a second creation.
TEST(Mpps, RefusalsNameTheNodeAndWhatTheyMeanForTheStep)
{
    MppsNode ris;
    const PerformedStep step = scheduledStep();
    const PerformedStep completed = ended(step);
    const auto create = [&] {
        dicom::NetworkGuard guard(std::chrono::seconds(30));
        return dicom::createStep("127.0.0.1", ris.port(), ris.aeTitle(), "SKIASCAN", kShortTimeouts, guard, step);
    };
    const auto complete = [&] {
        dicom::NetworkGuard guard(std::chrono::seconds(30));
        return dicom::setStep("127.0.0.1", ris.port(), ris.aeTitle(), "SKIASCAN", kShortTimeouts, guard, completed);
    };

    const std::string early = refusal(complete);
    EXPECT_NE(early.find(ris.name().toStdString()), std::string::npos) << early;
    EXPECT_NE(early.find("no such object"), std::string::npos) << early;
    EXPECT_NE(early.find("[0x0112/"), std::string::npos) << early;

    EXPECT_EQ(create(), "");
    EXPECT_EQ(complete(), "");
    const std::string late = refusal(complete);
    EXPECT_NE(late.find(ris.name().toStdString()), std::string::npos) << late;
    EXPECT_NE(late.find("may no longer be updated"), std::string::npos) << late;
    EXPECT_NE(late.find("[0x0110/0xa710]"), std::string::npos) << late;
    try {
        complete();
    } catch (const dicom::StepRefused& e) {
        EXPECT_TRUE(e.noLongerUpdatable());
        EXPECT_EQ(e.kind(), Failure::Kind::Status);
    }
    try {
        create();
        ADD_FAILURE() << "a second creation was accepted";
    } catch (const dicom::StepRefused& e) {
        EXPECT_TRUE(e.alreadyCreated()) << e.description().toStdString();
        EXPECT_TRUE(e.description().contains("holds this step already")) << e.description().toStdString();
    }

    // The node saw each request once, in this order, and answered as said.
    std::vector<std::pair<QString, int>> seen;
    for (const MppsMessage& m : ris.received())
        seen.emplace_back(m.operation, m.status);
    const std::vector<std::pair<QString, int>> expected{
        {"N-SET", 0x0112}, {"N-CREATE", 0}, {"N-SET", 0}, {"N-SET", 0x0110}, {"N-SET", 0x0110}, {"N-CREATE", 0x0111}};
    EXPECT_EQ(seen, expected);

    // A node that cannot take steps for now says so; the step is still owed.
    MppsNode busy({"--refuse", "0x0213"});
    const std::string later = refusal([&] {
        dicom::NetworkGuard guard(std::chrono::seconds(30));
        dicom::createStep("127.0.0.1", busy.port(), busy.aeTitle(), "SKIASCAN", kShortTimeouts, guard, step);
    });
    EXPECT_NE(later.find("resource limitation, try again later"), std::string::npos) << later;

    // A step that lacks what the standard requires never leaves the station.
    PerformedStep lacking = step;
    lacking.stationAETitle.clear();
    EXPECT_EQ(refusal([&] {
                  dicom::NetworkGuard guard(std::chrono::seconds(30));
                  dicom::createStep("127.0.0.1", ris.port(), ris.aeTitle(), "SKIASCAN", kShortTimeouts, guard, lacking);
              }),
              "not a refusal: The performed procedure step cannot be sent: it has no Performed Station AE Title.");
    EXPECT_EQ(ris.received().size(), expected.size());
}

// Verify of the MPPS node says whether it takes performed procedure steps; a
// storage node does not. A node that is down cannot be verified, and can be
// once it is back.
TEST(Mpps, VerifySaysWhetherTheNodeTakesSteps)
{
    MppsNode ris;
    const dicom::Verification answer = dicom::verify("127.0.0.1", ris.port(), ris.aeTitle(), "SKIASCAN", kShortTimeouts,
                                                     nullptr, {}, dicom::VerifiedService::Mpps);
    EXPECT_TRUE(answer.acceptsMpps);
    StoreScp pacs;
    const dicom::Verification storage = dicom::verify("127.0.0.1", pacs.port(), pacs.aeTitle(), "SKIASCAN",
                                                      kShortTimeouts, nullptr, {}, dicom::VerifiedService::Mpps);
    EXPECT_FALSE(storage.acceptsMpps);
    EXPECT_FALSE(dicom::verify("127.0.0.1", pacs.port(), pacs.aeTitle(), "SKIASCAN", kShortTimeouts).acceptsMpps);

    ris.stop();
    try {
        dicom::verify("127.0.0.1", ris.port(), ris.aeTitle(), "SKIASCAN", kShortTimeouts, nullptr, {},
                      dicom::VerifiedService::Mpps);
        ADD_FAILURE() << "a node that is down answered";
    } catch (const Failure& e) {
        EXPECT_EQ(e.kind(), Failure::Kind::Unreachable) << e.description().toStdString();
    }
    ris.resume();
    EXPECT_TRUE(dicom::verify("127.0.0.1", ris.port(), ris.aeTitle(), "SKIASCAN", kShortTimeouts, nullptr, {},
                              dicom::VerifiedService::Mpps)
                    .acceptsMpps);
}
