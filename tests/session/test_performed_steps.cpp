// The performed procedure steps as a RIS sees them: against a MPPS node that
// is not ours (odil's N-CREATE and N-SET providers), the step of a worklist
// pick and of a typed patient, a RIS that is down meanwhile, a program killed
// during a study, and images the operator removed.
#include "delivery/outbox_dialog.h"
#include "common/program_log.h"
#include "dicom/image_attributes.h"
#include "scan/scan_journal.h"
#include "session/session_fixture.h"
#include "support/dicom_file.h"
#include "support/mpps_node.h"
#include "support/peers.h"

#include <QTreeWidget>

#include <dcmtk/dcmdata/dcsequen.h>

using namespace skiascan;
using namespace skiascan::test;

namespace {

const QString kSecondaryCapture = "1.2.840.10008.5.1.4.1.1.7";

dicom::ScheduledStudy order()
{
    dicom::ScheduledStudy s;
    s.studyUid = "1.2.840.99.29.1";
    s.referencedStudies = {{"1.2.840.10008.3.1.2.3.1", "1.2.840.99.29.1"}};
    s.requestedProcedureId = "RP-29";
    s.requestedProcedureDescription = "Chest PA";
    s.stepId = "SPS-29";
    s.stepDescription = "Digitise chest films";
    s.protocolCodes = {{"CHPA", "99LOCAL", "", "Chest PA"}};
    return s;
}

// What a RIS reads of a received data set's sequence item.
QString inItem(DcmItem& set, const DcmTagKey& sequence, const DcmTagKey& key, int index = 0)
{
    DcmItem* item = nullptr;
    if (set.findAndGetSequenceItem(sequence, item, index).bad() || !item)
        return "(no item)";
    OFString value;
    item->findAndGetOFStringArray(key, value);
    return QString::fromUtf8(value.c_str());
}

// The series and images a final N-SET lists: "series: class/instance, ...", one per series, sorted.
QStringList performedSeries(const QString& dataSet)
{
    DicomFile set(dataSet);
    QStringList all;
    DcmSequenceOfItems* series = nullptr;
    if (set.dataset().findAndGetSequence(DCM_PerformedSeriesSequence, series).bad() || !series)
        return {"(no Performed Series Sequence)"};
    for (unsigned long i = 0; i < series->card(); ++i) {
        DcmItem* item = series->getItem(i);
        OFString uid;
        item->findAndGetOFString(DCM_SeriesInstanceUID, uid);
        QStringList images;
        DcmSequenceOfItems* references = nullptr;
        if (item->findAndGetSequence(DCM_ReferencedImageSequence, references).good() && references)
            for (unsigned long j = 0; j < references->card(); ++j) {
                OFString sopClass, instance;
                references->getItem(j)->findAndGetOFString(DCM_ReferencedSOPClassUID, sopClass);
                references->getItem(j)->findAndGetOFString(DCM_ReferencedSOPInstanceUID, instance);
                images << QStringLiteral("%1/%2").arg(sopClass.c_str(), instance.c_str());
            }
        all << QStringLiteral("%1: %2").arg(uid.c_str(), images.join(", "));
    }
    all.sort();
    return all;
}

// The same, from the images a PACS stored.
QStringList storedSeries(const QStringList& files)
{
    QStringList all;
    for (const QString& file : files) {
        DicomFile image(file);
        all << QStringLiteral("%1: %2/%3")
                   .arg(image.text(DCM_SeriesInstanceUID), image.text(DCM_SOPClassUID), image.text(DCM_SOPInstanceUID));
    }
    all.sort();
    return all;
}

// "N-CREATE 0", "N-SET 272/42768": what the RIS received and answered, in order.
QStringList exchange(const MppsNode& ris)
{
    QStringList lines;
    for (const MppsMessage& m : ris.received())
        lines << (m.errorId ? QStringLiteral("%1 %2/%3").arg(m.operation).arg(m.status).arg(m.errorId)
                            : QStringLiteral("%1 %2").arg(m.operation).arg(m.status));
    return lines;
}

class PerformedStepsTest : public SessionTest {
protected:
    // The session of a station that reports its steps to `ris`.
    ScanSession& startReportingTo(const MppsNode& ris)
    {
        ScanSession& s = start();
        options.mpps = {true, ris.aeTitle(), "127.0.0.1", static_cast<quint16>(ris.port()), {}};
        s.setConfiguration(settings, options);
        s.startUp();
        return s;
    }

    void scan()
    {
        ASSERT_TRUE(session->scanSingle(record()));
        ASSERT_TRUE(idle());
    }

    // Waits until the RIS has `count` messages, the session's events flowing.
    static bool heard(const MppsNode& ris, int count)
    {
        return QTest::qWaitFor([&] { return static_cast<int>(ris.received().size()) >= count; }, 10000);
    }

    // Waits until the RIS has `count` messages and every step has left the outbox.
    bool toldAndGone(const MppsNode& ris, int count)
    {
        return heard(ris, count)
            && QTest::qWaitFor([&] { return session->delivery().steps().count() == 0 && session->delivery().settled(); },
                               10000);
    }

    QString log() const
    {
        QFile file(folder.filePath("Logs/skiascan.log"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    Options options;
};

} // namespace

// A pick with two films, then New Study: one step, created IN PROGRESS with
// the order at the first film, completed with both images, whose UIDs are
// those the PACS stored. A selection from the Sex list between the films
// (the study closed and put back at once) ends nothing.
TEST_F(PerformedStepsTest, APickWithTwoFilmsIsOneStepCompletedWithTheStoredImages)
{
    MppsNode ris;
    StoreScp pacs;
    settings.Remote0 = pacs.setting();
    settings.ScheduledStation = "ROOM1";
    programlog::open(folder.path());
    ScanSession& s = startReportingTo(ris);
    s.useScheduledStudy(order());
    s.worklistClosed();
    scan();
    ASSERT_TRUE(heard(ris, 1));
    {
        DicomFile created(ris.received()[0].dataSet);
        EXPECT_EQ(created.text(DCM_PerformedProcedureStepStatus), "IN PROGRESS");
        EXPECT_EQ(created.text(DCM_PatientName), "Doe^Jane");
        EXPECT_EQ(created.text(DCM_PatientID), "PID-1");
        EXPECT_EQ(created.text(DCM_PerformedStationAETitle), "SKIASCAN");
        EXPECT_EQ(created.text(DCM_PerformedStationName), "ROOM1");
        EXPECT_EQ(created.text(DCM_StudyID), "RP-29");
        EXPECT_EQ(inItem(created.dataset(), DCM_ScheduledStepAttributesSequence, DCM_StudyInstanceUID), "1.2.840.99.29.1");
        EXPECT_EQ(inItem(created.dataset(), DCM_ScheduledStepAttributesSequence, DCM_ScheduledProcedureStepID), "SPS-29");
        EXPECT_EQ(inItem(created.dataset(), DCM_ScheduledStepAttributesSequence, DCM_RequestedProcedureID), "RP-29");
        ASSERT_EQ(pacs.received().size(), 1);
        DicomFile film(pacs.received()[0]);
        EXPECT_EQ(created.text(DCM_PatientBirthDate), film.text(DCM_PatientBirthDate));
        EXPECT_EQ(created.text(DCM_PatientSex), film.text(DCM_PatientSex));
    }

    const QString study = s.StudyUID();
    const std::optional<dicom::ScheduledStudy> scheduled = s.scheduledStudy();
    s.closeStudy(); // the Sex list: its change closes the study, its click puts it back
    s.restoreStudy(study, scheduled);
    QTest::qWait(50);
    scan();
    s.closeStudy(); // New Study
    ASSERT_TRUE(toldAndGone(ris, 2));

    EXPECT_EQ(exchange(ris), QStringList({"N-CREATE 0", "N-SET 0"}));
    const std::vector<MppsMessage> messages = ris.received();
    EXPECT_EQ(messages[0].sopInstanceUid, messages[1].sopInstanceUid);
    DicomFile set(messages[1].dataSet);
    EXPECT_EQ(set.text(DCM_PerformedProcedureStepStatus), "COMPLETED");
    EXPECT_FALSE(set.text(DCM_PerformedProcedureStepEndDate).isEmpty());
    ASSERT_EQ(pacs.received().size(), 2);
    EXPECT_EQ(performedSeries(messages[1].dataSet), storedSeries(pacs.received()));
    EXPECT_EQ(valuesIn(pacs.received(), DCM_StudyInstanceUID), QStringList({"1.2.840.99.29.1", "1.2.840.99.29.1"}));

    // The log names the step created and completed, with its images.
    const QString events = log();
    EXPECT_TRUE(events.contains("created, IN PROGRESS, for study 1.2.840.99.29.1")) << events.toStdString();
    const QStringList instances = valuesIn(pacs.received(), DCM_SOPInstanceUID);
    EXPECT_TRUE(events.contains(QStringLiteral("completed (its study ended) with 2 image(s)"))) << events.toStdString();
    for (const QString& uid : instances)
        EXPECT_TRUE(events.contains(uid));
}

// A typed patient's study is unscheduled: the step carries the study made
// here with empty order values. An edit that ends the study completes its
// step, the next film opens a step of its own, and Quit completes that one.
TEST_F(PerformedStepsTest, ATypedPatientsStudiesAreUnscheduledStepsEndedByAnEditAndByQuit)
{
    MppsNode ris;
    StoreScp pacs;
    settings.Remote0 = pacs.setting();
    ScanSession& s = startReportingTo(ris);
    scan();
    const QString first = s.StudyUID();
    s.studyFieldEdited(); // a study made here ends with any edit
    scan();
    ASSERT_TRUE(heard(ris, 3));
    EXPECT_TRUE(s.requestEnd());
    EXPECT_TRUE(ended);
    ASSERT_TRUE(heard(ris, 4)) << exchange(ris).join(", ").toStdString();
    EXPECT_EQ(exchange(ris), QStringList({"N-CREATE 0", "N-SET 0", "N-CREATE 0", "N-SET 0"}));
    EXPECT_EQ(s.delivery().steps().count(), 0) << "Quit gave the worker its second";

    const std::vector<MppsMessage> messages = ris.received();
    ASSERT_EQ(pacs.received().size(), 2);
    for (int step = 0; step < 2; ++step) {
        DicomFile created(messages[step * 2].dataSet);
        const QString studyUid = inItem(created.dataset(), DCM_ScheduledStepAttributesSequence, DCM_StudyInstanceUID);
        EXPECT_TRUE(valuesIn(pacs.received(), DCM_StudyInstanceUID).contains(studyUid));
        EXPECT_EQ(inItem(created.dataset(), DCM_ScheduledStepAttributesSequence, DCM_ScheduledProcedureStepID), "");
        EXPECT_EQ(inItem(created.dataset(), DCM_ScheduledStepAttributesSequence, DCM_RequestedProcedureID), "");
        EXPECT_EQ(created.text(DCM_StudyID), "1");
        EXPECT_EQ(DicomFile(messages[step * 2 + 1].dataSet).text(DCM_PerformedProcedureStepStatus), "COMPLETED");
        EXPECT_EQ(performedSeries(messages[step * 2 + 1].dataSet).size(), 1);
    }
    EXPECT_EQ(inItem(DicomFile(messages[0].dataSet).dataset(), DCM_ScheduledStepAttributesSequence,
                     DCM_StudyInstanceUID),
              first);
    EXPECT_NE(messages[0].sopInstanceUid, messages[2].sopInstanceUid);
}

// The RIS is down during the study: the step waits in the outbox, shown as
// the operator reads it, and once the RIS is back both messages arrive, in
// order. Messages whose answers were lost (sent again after a crash) are
// answered "duplicate" and "may no longer be updated": they count as done and
// are not sent again and again.
TEST_F(PerformedStepsTest, ARisDownDuringTheStudyHearsBothMessagesInOrderOnceBack)
{
    MppsNode ris;
    ris.stop();
    ScanSession& s = startReportingTo(ris);
    scan();
    s.closeStudy();
    ASSERT_TRUE(QTest::qWaitFor([&] {
        const auto status = s.delivery().stepStatus();
        const std::vector<StepEntry> steps = s.delivery().steps().entries();
        return status && status->failing && status->activity == NodeStatus::Activity::Waiting && steps.size() == 1
            && steps[0].ended() && !steps[0].lastFailure.isEmpty();
    }));
    {
        OutboxDialog window(s.outbox(), s.delivery(), nullptr);
        ASSERT_EQ(window.lvSteps->topLevelItemCount(), 1);
        QTreeWidgetItem* step = window.lvSteps->topLevelItem(0);
        EXPECT_EQ(step->text(0), "Doe, Jane");
        EXPECT_EQ(step->text(5), "step completed, waiting for RIS");
        EXPECT_EQ(step->text(6), "RIS");
        EXPECT_FALSE(step->text(7).isEmpty()) << "why the RIS did not take it";
        const int rows = window.lvNodes->topLevelItemCount();
        ASSERT_GE(rows, 1);
        EXPECT_EQ(window.lvNodes->topLevelItem(rows - 1)->text(0), ris.name() + ", MPPS");
        EXPECT_TRUE(window.lvNodes->topLevelItem(rows - 1)->text(1).startsWith("next try in")
                    || window.lvNodes->topLevelItem(rows - 1)->text(1) == "trying again");
    }
    const QString stepFile = QDir(s.delivery().steps().folder()).entryList({"*.step"}).value(0);
    ASSERT_FALSE(stepFile.isEmpty());
    QFile written(s.delivery().steps().folder() + "/" + stepFile);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    StepEntry early = StepOutbox::fromJson(written.readAll());
    written.close();

    ris.resume();
    ASSERT_TRUE(toldAndGone(ris, 2));
    EXPECT_EQ(exchange(ris), QStringList({"N-CREATE 0", "N-SET 0"}));
    EXPECT_EQ(DicomFile(ris.received()[1].dataSet).text(DCM_PerformedProcedureStepStatus), "COMPLETED");

    // As after a crash that came before the answers were written down.
    early.lastFailure.clear();
    s.delivery().steps().open(early);
    s.delivery().stepsChanged();
    ASSERT_TRUE(toldAndGone(ris, 4));
    EXPECT_EQ(exchange(ris), QStringList({"N-CREATE 0", "N-SET 0", "N-CREATE 273", "N-SET 272/42768"}));
    EXPECT_EQ(s.delivery().stepStatus()->failing, false);
}

// A kill during a study: the step stays in progress, and the next start
// completes it after the film the scanner still made is recovered, with every
// image of the study. Quit without waiting for the scanner leaves the step in
// progress the same way, for the film still to come.
TEST_F(PerformedStepsTest, AStepLeftInProgressByAKillIsCompletedAtTheNextStartWithItsImages)
{
    MppsNode ris;
    StoreScp pacs;
    settings.Remote0 = pacs.setting();
    {
        ScanSession& s = startReportingTo(ris);
        s.useScheduledStudy(order());
        scan();
        ASSERT_TRUE(heard(ris, 1));
        qputenv("SCANFILE_DELAY_MS", "1500");
        ASSERT_TRUE(s.scanSingle(record()));
        ASSERT_TRUE(QTest::qWaitFor([&] { return s.state() == SessionState::Scanning && journal().size() == 1; }));
        session.reset(); // killed: the journal keeps the film, the scanner goes on
    }
    qunsetenv("SCANFILE_DELAY_MS");
    EXPECT_EQ(ris.received().size(), 1u);

    {
        ScanSession& s = startReportingTo(ris);
        ASSERT_TRUE(idle());
        ASSERT_TRUE(toldAndGone(ris, 2));
        EXPECT_EQ(exchange(ris), QStringList({"N-CREATE 0", "N-SET 0"}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return pacs.received().size() == 2; }, 5000));
        EXPECT_EQ(performedSeries(ris.received()[1].dataSet), storedSeries(pacs.received()));
        EXPECT_EQ(s.StudyUID(), "");

        s.useScheduledStudy(order()); // the order again: a step of its own
        scan();
        ASSERT_TRUE(heard(ris, 3));
        qputenv("SCANFILE_DELAY_MS", "1500");
        op.answer = true;
        ASSERT_TRUE(s.scanSingle(record()));
        ASSERT_TRUE(QTest::qWaitFor([&] { return s.state() == SessionState::Scanning && journal().size() == 1; }));
        EXPECT_FALSE(s.requestEnd());
        EXPECT_FALSE(s.requestEnd()); // asked, and ends now without the film
        ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }));
        EXPECT_EQ(exchange(ris), QStringList({"N-CREATE 0", "N-SET 0", "N-CREATE 0"}));
        session.reset();
    }
    qunsetenv("SCANFILE_DELAY_MS");
    ended = false;
    startReportingTo(ris);
    ASSERT_TRUE(idle());
    ASSERT_TRUE(toldAndGone(ris, 4));
    EXPECT_EQ(exchange(ris), QStringList({"N-CREATE 0", "N-SET 0", "N-CREATE 0", "N-SET 0"}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return pacs.received().size() == 4; }, 5000));
    QStringList reported = performedSeries(ris.received()[1].dataSet) + performedSeries(ris.received()[3].dataSet);
    reported.sort();
    EXPECT_EQ(reported, storedSeries(pacs.received()));
}

// Images the operator removed from the outbox are not reported as made; a
// step that has none left is discontinued with the standard's reason.
TEST_F(PerformedStepsTest, RemovedImagesAreLeftOutAndAStepWithoutAnyIsDiscontinued)
{
    MppsNode ris;
    ScanSession& s = startReportingTo(ris); // no PACS: the images wait in the outbox
    scan();
    scan();
    std::vector<OutboxEntry> waiting = s.outbox().entries();
    ASSERT_EQ(waiting.size(), 2u);
    s.outbox().remove(waiting[0]);
    s.closeStudy();
    ASSERT_TRUE(toldAndGone(ris, 2));
    EXPECT_EQ(performedSeries(ris.received()[1].dataSet).join(" "),
              QStringLiteral("%1: %2/%3").arg(DicomFile(waiting[1].imagePath).text(DCM_SeriesInstanceUID),
                                             kSecondaryCapture, waiting[1].instanceUid));

    scan();
    waiting = s.outbox().entries();
    ASSERT_EQ(waiting.size(), 2u);
    s.outbox().remove(waiting[1]);
    s.closeStudy();
    ASSERT_TRUE(toldAndGone(ris, 4));
    EXPECT_EQ(exchange(ris), QStringList({"N-CREATE 0", "N-SET 0", "N-CREATE 0", "N-SET 0"}));
    DicomFile set(ris.received()[3].dataSet);
    EXPECT_EQ(set.text(DCM_PerformedProcedureStepStatus), "DISCONTINUED");
    EXPECT_EQ(inItem(set.dataset(), DCM_PerformedProcedureStepDiscontinuationReasonCodeSequence, DCM_CodeValue), "110513");
    EXPECT_EQ(performedSeries(ris.received()[3].dataSet),
              QStringList({QStringLiteral("%1: ").arg(DicomFile(waiting[1].imagePath.replace("/Outbox/", "/Outbox/removed/"))
                                                          .text(DCM_SeriesInstanceUID))}));
}

TEST_F(PerformedStepsTest, AStepsEndWaitsForItsFilmsReviewAndLeavesOutTheRejectedOne)
{
    MppsNode ris;
    StoreScp pacs;
    settings.Remote0 = pacs.setting();
    options.view.holdForReview = true;
    ScanSession& s = startReportingTo(ris);
    scan();
    scan();
    const std::vector<OutboxEntry> held = s.outbox().entries();
    ASSERT_EQ(held.size(), 2u);
    s.closeStudy();
    ASSERT_TRUE(heard(ris, 1));
    // The step worker has its passes meanwhile; the RIS hears of no end.
    QTest::qWait(1500);
    EXPECT_EQ(exchange(ris), QStringList({"N-CREATE 0"}));

    s.outbox().remove(held[0]);
    ASSERT_TRUE(s.outbox().release(held[1].instanceUid));
    s.delivery().outboxEdited();
    ASSERT_TRUE(toldAndGone(ris, 2));
    EXPECT_EQ(exchange(ris), QStringList({"N-CREATE 0", "N-SET 0"}));
    EXPECT_EQ(DicomFile(ris.received()[1].dataSet).text(DCM_PerformedProcedureStepStatus), "COMPLETED");
    ASSERT_TRUE(QTest::qWaitFor([&] { return pacs.received().size() == 1; }, 20000));
    EXPECT_EQ(performedSeries(ris.received()[1].dataSet), storedSeries(pacs.received()))
        << "the rejected film is not reported as made";
}
