// A worklist pick with "Use the worklist's study" on: the films go into the
// study the RIS scheduled and carry its order, until an edit ends it; with the
// setting off a pick works as it always did.
#include "delivery/outbox_dialog.h"
#include "settings/options_file.h"
#include "support/worklist_server.h"
#include "worklist/worklist_dialog.h"

#include "scan/scanning_fixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTimer>
#include <QTreeWidget>

#include <dcmtk/dcmdata/dcitem.h>

using namespace skiascan;
using namespace skiascan::test;

namespace {

class ScheduledStudyTest : public ScanningTest {
protected:
    std::unique_ptr<fSkiascan> startWith(int worklistPort, const QString& aet, const QString& remote0)
    {
        SettingsLines lines = ProgramFolder::worklistLines(worklistPort, aet);
        lines[Setting::ScanApp] = simulator();
        lines[Setting::ImageFolder] = images();
        lines[Setting::Remote0] = remote0;
        return startWindow(folder, lines);
    }

    void useScheduledStudy(bool on)
    {
        Options options;
        options.useScheduledStudy = on;
        saveOptions(optionsFilePath(folder.path()), options);
    }

    // Picks the entry of the patient with this last name.
    void pick(fSkiascan& w, const QString& lastName)
    {
        modals.then(
            [lastName](QWidget* d) {
                auto* dialog = static_cast<fWorklist*>(d);
                const auto items = dialog->lvWorklist->findItems(lastName, Qt::MatchExactly, kLastName);
                ASSERT_EQ(items.size(), 1);
                dialog->lvWorklist->setCurrentItem(items.front());
                dialog->cmdOK->click();
            },
            [](QWidget* d) {
                auto* dialog = qobject_cast<fWorklist*>(d);
                return dialog && dialog->cursor().shape() != Qt::WaitCursor;
            });
        w.cmdWorklist->click();
    }

    void scanOne(fSkiascan& w)
    {
        w.cmdScan->click();
        ASSERT_TRUE(singleScanDone(w));
    }

    static WorklistEntry ordered()
    {
        WorklistEntry e;
        e.name = "Ordered^Olga";
        e.patientId = "P-77";
        e.studyUid = "1.2.840.99.7.1";
        e.referringPhysician = "Doe^Jane";
        e.referencedStudy = "1.2.840.99.7.1";
        e.procedureId = "RP-17";
        e.procedureDescription = "Chest PA";
        e.stepId = "4711";
        e.stepDescription = "Chest PA";
        e.protocolCode = "CHPA";
        return e;
    }
};

// The request item of an image: "RP-17|4711|Chest PA|CHPA", empty without one.
QString requestOf(const QString& file)
{
    DicomFile image(file);
    DcmItem* item = nullptr;
    if (image.dataset().findAndGetSequenceItem(DCM_RequestAttributesSequence, item, 0).bad())
        return {};
    OFString id, step, description, protocol;
    item->findAndGetOFString(DCM_RequestedProcedureID, id);
    item->findAndGetOFString(DCM_ScheduledProcedureStepID, step);
    item->findAndGetOFString(DCM_ScheduledProcedureStepDescription, description);
    DcmItem* code = nullptr;
    if (item->findAndGetSequenceItem(DCM_ScheduledProtocolCodeSequence, code, 0).good())
        code->findAndGetOFString(DCM_CodeValue, protocol);
    return QStringLiteral("%1|%2|%3|%4").arg(id.c_str(), step.c_str(), description.c_str(), protocol.c_str());
}

} // namespace

TEST_F(ScheduledStudyTest, APickCarriesTheOrderUntilAnEditAndOnlyWithTheSettingOn)
{
    WlmScp worklist;
    worklist.add(ordered());
    WorklistEntry malformed = ordered();
    malformed.name = "Malformed^Max";
    malformed.time = "100000";
    malformed.studyUid = "1.2.840.099.x";
    worklist.add(malformed);
    StoreScp pacs;
    auto w = startWith(worklist.port(), worklist.aeTitle(), pacs.setting());

    // Off: the pick starts a study of this station's own, as it always did.
    pick(*w, "Ordered");
    EXPECT_EQ(w->StudyDescritpion->text(), "");
    scanOne(*w);
    ASSERT_EQ(pacs.received().size(), 1);
    {
        DicomFile film(pacs.received().first());
        EXPECT_NE(film.text(DCM_StudyInstanceUID), "1.2.840.99.7.1");
        EXPECT_EQ(film.text(DCM_StudyID), "1");
        EXPECT_EQ(film.text(DCM_ReferringPhysicianName), "");
        EXPECT_FALSE(film.has(DCM_ReferencedStudySequence) || film.has(DCM_RequestAttributesSequence));
    }
    ASSERT_EQ(worklist.requests().size(), 1);
    EXPECT_EQ(worklist.requests()[0].count("(0008,0102)"), 1) << "the query asks as it always did";
    const QString offStudy = DicomFile(pacs.received().first()).text(DCM_StudyInstanceUID);

    // On (read again when the preferences close): two films in the scheduled study.
    useScheduledStudy(true);
    modals.then(rejectDialog());
    w->cmdPrefs->click();
    w->StudyDescritpion->setText("Hand films digitise");
    pick(*w, "Ordered");
    EXPECT_EQ(w->StudyDescritpion->text(), "Chest PA") << "the last patient's description does not stay";
    EXPECT_TRUE(w->lblOutbox->text().contains("Scheduled: Chest PA, step 4711")) << w->lblOutbox->text().toStdString();
    w->StudyDate->setText("2026-12-07"); // the operator completes the study: it stays the scheduled one
    scanOne(*w);
    scanOne(*w);
    ASSERT_EQ(pacs.received().size(), 3);
    QStringList inScheduledStudy;
    for (const QString& file : pacs.received()) {
        DicomFile film(file);
        if (film.text(DCM_StudyInstanceUID) != "1.2.840.99.7.1")
            continue;
        inScheduledStudy << file;
        EXPECT_EQ(film.text(DCM_StudyID), "RP-17");
        EXPECT_EQ(film.text(DCM_ReferringPhysicianName), "Doe^Jane");
        EXPECT_EQ(film.text(DCM_StudyDescription), "Chest PA");
        EXPECT_TRUE(film.has(DCM_ReferencedStudySequence));
        EXPECT_EQ(requestOf(file), "RP-17|4711|Chest PA|CHPA");
        EXPECT_EQ(dciodvfyErrors(file), QStringList()) << file.toStdString();
    }
    EXPECT_EQ(inScheduledStudy.size(), 2);
    EXPECT_EQ(worklist.requests().last().count("(0008,0102)"), 2) << "the protocol codes are asked for whole";
    QFile log(folder.filePath("Logs/skiascan.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(log.readAll()).count("in study 1.2.840.99.7.1 (scheduled: Chest PA, step 4711)"), 2);

    // An edit ends it: the next film has a study of its own and no order.
    w->PATID1->setText("P-78");
    EXPECT_FALSE(w->lblOutbox->text().contains("Scheduled"));
    scanOne(*w);
    // A pick whose Study Instance UID is no UID: a study made here, the order still carried.
    pick(*w, "Malformed");
    scanOne(*w);
    ASSERT_EQ(pacs.received().size(), 5);
    QStringList studies;
    QStringList requests;
    for (const QString& file : pacs.received()) {
        DicomFile film(file);
        if (film.text(DCM_StudyInstanceUID) == "1.2.840.99.7.1" || film.text(DCM_StudyInstanceUID) == offStudy)
            continue;
        studies << film.text(DCM_StudyInstanceUID);
        requests << requestOf(file) + (film.text(DCM_PatientID) == "P-78" ? " edited" : " malformed");
        EXPECT_EQ(dciodvfyErrors(file), QStringList()) << file.toStdString();
    }
    requests.sort();
    EXPECT_EQ(requests, (QStringList{" edited", "RP-17|4711|Chest PA|CHPA malformed"}));
    ASSERT_EQ(studies.size(), 2);
    EXPECT_NE(studies[0], studies[1]);
    for (const QString& uid : studies)
        EXPECT_TRUE(dicom::isValidUid(uid) && uid.startsWith("2.25.")) << uid.toStdString();
}

// Orthanc as the worklist server and as the PACS: one study, the scheduled one.
TEST_F(ScheduledStudyTest, OrthancFilesBothFilmsUnderTheScheduledStudy)
{
    OrthancServer orthanc;
    orthanc.addWorklist(ordered());
    useScheduledStudy(true);
    auto w = startWith(orthanc.dicomPort(), orthanc.aeTitle(), orthanc.setting());
    pick(*w, "Ordered");
    scanOne(*w);
    scanOne(*w);
    const QJsonArray studies = QJsonDocument::fromJson(orthanc.get("/studies?expand")).array();
    ASSERT_EQ(studies.size(), 1);
    const QJsonObject study = studies[0].toObject();
    EXPECT_EQ(study["MainDicomTags"].toObject()["StudyInstanceUID"].toString(), "1.2.840.99.7.1");
    EXPECT_EQ(study["MainDicomTags"].toObject()["StudyID"].toString(), "RP-17");
    ASSERT_EQ(study["Series"].toArray().size(), 2);
}

// A cancelled worklist changes nothing: the films of a scheduled study are
// numbered 1, 2, 3 however often the worklist is opened and cancelled between
// them, and the same order picked again goes on with 4. An order without a
// description leaves the operator's Study Description as it is.
TEST_F(ScheduledStudyTest, TheNumberingHoldsWhateverTheWorklistDialogDoes)
{
    WlmScp worklist;
    worklist.add(ordered());
    WorklistEntry undescribed = ordered();
    undescribed.name = "Plain^Paul";
    undescribed.patientId = "P-80";
    undescribed.studyUid = "1.2.840.99.7.2";
    undescribed.procedureDescription = "";
    worklist.add(undescribed);
    StoreScp pacs;
    useScheduledStudy(true);
    auto w = startWith(worklist.port(), worklist.aeTitle(), pacs.setting());
    pick(*w, "Ordered");
    scanOne(*w);
    scanOne(*w);
    for (int i = 0; i < 2; ++i) {
        modals.then([](QWidget* d) { static_cast<fWorklist*>(d)->cmdCancel->click(); },
                    [](QWidget* d) { return qobject_cast<fWorklist*>(d) && d->cursor().shape() != Qt::WaitCursor; });
        w->cmdWorklist->click();
    }
    scanOne(*w);
    pick(*w, "Ordered"); // the same order again
    scanOne(*w);
    ASSERT_EQ(pacs.received().size(), 4);
    QStringList images;
    QStringList series;
    QSet<QString> seriesUids;
    for (const QString& file : pacs.received()) {
        DicomFile film(file);
        EXPECT_EQ(film.text(DCM_StudyInstanceUID), "1.2.840.99.7.1");
        images << film.text(DCM_InstanceNumber);
        series << film.text(DCM_SeriesNumber);
        seriesUids.insert(film.text(DCM_SeriesInstanceUID));
    }
    images.sort();
    series.sort();
    EXPECT_EQ(images, (QStringList{"1", "2", "3", "4"}));
    EXPECT_EQ(series, (QStringList{"1", "2", "3", "4"}));
    EXPECT_EQ(seriesUids.size(), 4);

    w->StudyDescritpion->setText("Hand films digitise");
    pick(*w, "Plain");
    EXPECT_EQ(w->StudyDescritpion->text(), "Hand films digitise");
    scanOne(*w);
    ASSERT_EQ(pacs.received().size(), 5);
    for (const QString& file : pacs.received()) {
        DicomFile film(file);
        if (film.text(DCM_StudyInstanceUID) != "1.2.840.99.7.2")
            continue;
        EXPECT_EQ(film.text(DCM_StudyDescription), "Hand films digitise");
        EXPECT_EQ(film.text(DCM_InstanceNumber), "1");
    }

    // The order picked again after another study, and again after a restart:
    // its numbers go on.
    pick(*w, "Ordered");
    scanOne(*w);
    w.reset();
    auto restarted = startWith(worklist.port(), worklist.aeTitle(), pacs.setting());
    pick(*restarted, "Ordered");
    scanOne(*restarted);
    ASSERT_EQ(pacs.received().size(), 7);
    QList<int> numbers;
    for (const QString& file : pacs.received()) {
        DicomFile film(file);
        if (film.text(DCM_StudyInstanceUID) == "1.2.840.99.7.1")
            numbers << film.text(DCM_InstanceNumber).toInt();
    }
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(numbers, (QList<int>{1, 2, 3, 4, 5, 6}));
}

// Beside a scheduled study the line below the buttons keeps what waits and
// what fails, says when the node is back, and opens the outbox window at any
// time, during a scan too.
TEST_F(ScheduledStudyTest, TheLineKeepsWhatWaitsAndFailsAndSaysWhenTheNodeIsBack)
{
    WlmScp worklist;
    WorklistEntry entry = ordered();
    entry.stepId = "SPS1001";
    worklist.add(entry);
    StoreScp archive("ARCHIVE");
    archive.stop();
    useScheduledStudy(true);
    auto w = startWith(worklist.port(), worklist.aeTitle(), archive.setting());
    pick(*w, "Ordered");
    EXPECT_EQ(w->lblOutbox->text(), "Scheduled: Chest PA, step SPS1001");

    // A click during the scan opens the outbox window; the scan goes on.
    qputenv("SCANFILE_DELAY_MS", "1500");
    bool scanningMeanwhile = false;
    modals.then([&](QWidget* d) {
        scanningMeanwhile = w->session().scanning();
        ASSERT_NE(qobject_cast<OutboxDialog*>(d), nullptr);
        static_cast<OutboxDialog*>(d)->cmdClose->click();
    });
    QTimer::singleShot(300, w.get(), [&] { QTest::mouseClick(w->lblOutbox, Qt::LeftButton); });
    scanOne(*w);
    EXPECT_TRUE(scanningMeanwhile);
    EXPECT_EQ(modals.pending(), 0u);

    ASSERT_TRUE(QTest::qWaitFor([&] { return w->lblOutbox->text() == "Outbox: 1 image\nARCHIVE fails"; }, 10000))
        << w->lblOutbox->text().toStdString();
    const QString tip = w->lblOutbox->toolTip();
    EXPECT_TRUE(tip.contains("Scheduled: Chest PA, step SPS1001")) << tip.toStdString();
    EXPECT_TRUE(tip.contains(QString("ARCHIVE (127.0.0.1:%1) has taken no image since").arg(archive.port())))
        << tip.toStdString();
    for (const char* technical : {"C-STORE", "1.2.840.99.7.1", "2.25."})
        EXPECT_FALSE(tip.contains(technical)) << tip.toStdString();

    // The node is back: Send now in the outbox window, and the line says so.
    archive.start();
    modals.then([](QWidget* d) {
        auto* outbox = static_cast<OutboxDialog*>(d);
        outbox->lvOutbox->topLevelItem(0)->setSelected(true);
        outbox->cmdSendNow->click();
        outbox->cmdClose->click();
    });
    QTest::mouseClick(w->lblOutbox, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->lblOutbox->text().startsWith("ARCHIVE is back\n"); }, 10000))
        << w->lblOutbox->text().toStdString();
    EXPECT_TRUE(w->lblOutbox->text().contains("Scheduled")) << w->lblOutbox->text().toStdString();
    EXPECT_EQ(archive.received().size(), 1u);
}
