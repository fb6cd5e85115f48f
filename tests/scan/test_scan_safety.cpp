// A film carries its patient: what the operator does while the scanner runs
// changes nothing about the film in it, Quit finishes the film first, a film a
// crash left in the scanner is recovered at the next start, and what the
// operator typed arrives as typed, or is refused before the scanner runs.
#include "delivery/outbox.h"
#include "scan/scan_journal.h"
#include "scan/scanning_fixture.h"
#include "support/tiff_writer.h"
#include "support/worklist_server.h"

#include <QApplication>
#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QTimer>

#include <csignal>
#include <optional>

using namespace skiascan;
using namespace skiascan::test;

namespace {

class ScanSafetyTest : public ScanningTest {
protected:
    // What the operator saw and could do at one moment during a scan.
    struct Moment {
        bool seen = false;
        QString status;
        bool anyButtonEnabled = true;
        bool fieldsWritable = true;
        QString patientId;
    };

    // While the scan runs: tries to type another patient ID and press Enter,
    // and notes what the window looked like.
    void meddleAfter(fSkiascan& w, int ms, Moment& moment)
    {
        QTimer::singleShot(ms, &w, [&w, &moment] {
            moment.seen = true;
            moment.status = w.lblOutbox->text();
            moment.anyButtonEnabled = w.cmdScan->isEnabled() || w.cmdMultiScan->isEnabled() || w.cmdWorklist->isEnabled()
                || w.cmdNew->isEnabled() || w.cmdPrefs->isEnabled() || w.cmdTest->isEnabled();
            moment.fieldsWritable = !w.PATID1->isReadOnly() || w.Sex->isEnabled();
            w.PATID1->setFocus();
            QTest::keyClicks(w.PATID1, "OTHER");
            QTest::keyClick(w.PATID1, Qt::Key_Return);
            w.cmdWorklist->click();
            w.cmdNew->click();
            moment.patientId = w.PATID1->text();
        });
    }

    QStringList patientIds(const StoreScp& node)
    {
        QStringList ids;
        for (const QString& file : node.received())
            ids << DicomFile(file).text(DCM_PatientID);
        return ids;
    }

    QStringList journalEntries() const
    {
        return QDir(folder.filePath("Journal")).entryList({"*.json"}, QDir::Files);
    }
};

} // namespace

TEST_F(ScanSafetyTest, EditsEnterAndPicksDuringASingleScanChangeNothing)
{
    StoreScp pacs;
    qputenv("SCANFILE_DELAY_MS", "1500");
    auto w = start(simulator(), pacs.setting());
    w->PATID1->setText("RP1");
    Moment during;
    meddleAfter(*w, 300, during);
    w->cmdScan->click();
    ASSERT_TRUE(singleScanDone(*w));
    ASSERT_TRUE(during.seen);
    EXPECT_EQ(during.status, "Scanning film");
    EXPECT_FALSE(during.anyButtonEnabled);
    EXPECT_FALSE(during.fieldsWritable);
    EXPECT_EQ(during.patientId, "RP1");
    EXPECT_EQ(scannerCalls().size(), 1) << "Enter started no second scan";
    EXPECT_EQ(patientIds(pacs), QStringList{"RP1"});
    EXPECT_TRUE(imageFiles().isEmpty());
    EXPECT_TRUE(journalEntries().isEmpty());
    EXPECT_FALSE(w->PATID1->isReadOnly()) << "the fields are the operator's again";
    EXPECT_EQ(w->lblOutbox->text(), "Outbox: empty");
}

TEST_F(ScanSafetyTest, EditsEnterAndPicksDuringAStackChangeNothing)
{
    StoreScp pacs;
    qputenv("SCANFILE_DELAY_MS", "400");
    auto w = start(simulator(), pacs.setting());
    w->PATID1->setText("RP1");
    setFilms(*w, 3);
    Moment during;
    meddleAfter(*w, 1300, during);
    w->cmdMultiScan->click();
    ASSERT_TRUE(singleScanDone(*w));
    ASSERT_TRUE(during.seen);
    EXPECT_TRUE(during.status.startsWith("Scanning film ") || during.status.startsWith("Sending film "))
        << during.status.toStdString();
    EXPECT_TRUE(during.status.endsWith(" of 3"));
    EXPECT_FALSE(during.anyButtonEnabled);
    EXPECT_FALSE(during.fieldsWritable);
    EXPECT_EQ(scannerCalls().size(), 3);
    EXPECT_EQ(patientIds(pacs), (QStringList{"RP1", "RP1", "RP1"}));
    EXPECT_EQ(instanceNumbers(pacs), (QStringList{"1", "2", "3"}));
    EXPECT_TRUE(imageFiles().isEmpty());
    EXPECT_TRUE(journalEntries().isEmpty());
}

// Quit during a scan ends the program once the film is safe: at the node, or
// kept in the outbox when the node is down, without a message holding the
// program open (the operator may have walked away).
TEST_F(ScanSafetyTest, QuitDuringAScanEndsOnceTheFilmIsSafe)
{
    const ModalDriver noMessage;
    qputenv("SCANFILE_DELAY_MS", "1000");
    for (const bool nodeUp : {true, false}) {
        SCOPED_TRACE(nodeUp ? "node up" : "node down");
        std::optional<StoreScp> pacs;
        if (nodeUp)
            pacs.emplace();
        auto w = start(simulator(), nodeUp ? pacs->setting() : QStringLiteral("DOWN|127.0.0.1|%1").arg(freePort()));
        QString status;
        bool visibleAfterQuit = false;
        QTimer::singleShot(300, w.get(), [&] {
            w->cmdCancel->click();
            visibleAfterQuit = w->isVisible();
            status = w->lblOutbox->text();
        });
        w->cmdScan->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !w->isVisible(); }, 20000));
        EXPECT_TRUE(visibleAfterQuit);
        EXPECT_EQ(status, "Skiascan ends after the film");
        EXPECT_EQ(nodeUp ? pacs->received().size() : Outbox(folder.path()).count(), 1);
        EXPECT_TRUE(imageFiles().isEmpty());
        EXPECT_TRUE(journalEntries().isEmpty());
    }
}

TEST_F(ScanSafetyTest, QuitDuringAStackEndsAfterTheFilmInTheScanner)
{
    StoreScp pacs;
    qputenv("SCANFILE_DELAY_MS", "800");
    auto w = start(simulator(), pacs.setting());
    setFilms(*w, 4);
    QTimer::singleShot(300, w.get(), [&] { QTest::keyClick(w->PATNachname, Qt::Key_Escape); });
    // The operator reads which films of the stack were not scanned before
    // the window closes; the log says it too.
    SeenMessage notScanned;
    bool visibleMeanwhile = false;
    modals.then([&](QWidget* box) {
        visibleMeanwhile = w->isVisible();
        recordMessage(notScanned)(box);
    });
    w->cmdMultiScan->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w->isVisible(); }, 20000));
    EXPECT_EQ(notScanned.text, "Films 2 to 4 of the stack were not scanned.");
    EXPECT_TRUE(visibleMeanwhile);
    QFile log(folder.filePath("Logs/skiascan.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_TRUE(log.readAll().contains("Quit during the stack: Films 2 to 4 of the stack were not scanned."));
    EXPECT_EQ(scannerCalls().size(), 1);
    EXPECT_EQ(pacs.received().size(), 1);
    EXPECT_TRUE(imageFiles().isEmpty());
    EXPECT_TRUE(journalEntries().isEmpty());
}

TEST_F(ScanSafetyTest, PathsWithBlanksAndAQuotedParameterArriveWhole)
{
    StoreScp pacs;
    QDir(folder.path()).mkpath("Scanner Software");
    QDir(folder.path()).mkpath("Film Scans");
    const QString scanner = folder.filePath("Scanner Software/SCANFILE.EXE");
    ASSERT_TRUE(QFile::copy(simulator(), scanner));
    QFile::setPermissions(scanner, QFile::ReadOwner | QFile::ExeOwner);
    SettingsLines lines = ProgramFolder::defaultLines();
    lines[Setting::ScanApp] = scanner;
    lines[Setting::Parameters] = "/R:150 \"/NAME:Film Room\"";
    lines[Setting::ImageFolder] = folder.filePath("Film Scans") + "/";
    lines[Setting::Remote0] = pacs.setting();
    folder.writeSettings(lines);
    fSkiascan w(folder.path());
    ASSERT_TRUE(w.startUp("Smith^John|4711|01.02.1960"));
    w.StudyDate->setText("07.12.2026");
    w.cmdScan->click();
    ASSERT_TRUE(singleScanDone(w));
    ASSERT_EQ(scannerCalls().size(), 1);
    EXPECT_EQ(scannerCalls()[0], (QStringList{"/TIF", "/LUT:I", "/F:" + w.session().ScanFile(), "/R:150", "/NAME:Film Room"}));
    EXPECT_TRUE(w.session().ScanFile().startsWith(folder.filePath("Film Scans") + "/"));
    EXPECT_EQ(pacs.received().size(), 1);
    EXPECT_TRUE(QDir(folder.filePath("Film Scans")).entryList(QDir::Files).isEmpty());
}

TEST_F(ScanSafetyTest, FilmsACrashLeftInTheScannerAreImportedWithTheirRecordAtTheNextStart)
{
    // What a crash leaves: journal entries, one with its film, one whose file
    // never came.
    StoreScp pacs;
    ScanJournal journal(folder.path());
    FilmRecord film;
    film.scanFile = images() + "20261207101500.tif";
    film.study = {"Crash", "Carl", "", "RP1", "01.02.1960", "M", "07.12.2026", "", "", "ACC1", "CHEST", "1500", "3000"};
    film.numbering = {"2.25.11", "10:14:59", "2.25.12", "2.25.13", 2, {}};
    film.film = 2;
    film.films = 3;
    film.started = QDateTime::currentDateTime();
    writeFilmTiff(film.scanFile);
    journal.write(film);
    FilmRecord lost = film;
    lost.scanFile = images() + "20261207101600.tif";
    lost.numbering.instanceUid = "2.25.14";
    lost.started = film.started.addSecs(60);
    journal.write(lost);

    SeenMessage told;
    modals.then(recordMessage(told));
    auto w = start(simulator(), pacs.setting()); // another patient is on the command line
    ASSERT_EQ(pacs.received().size(), 1);
    DicomFile image(pacs.received().first());
    EXPECT_EQ(image.text(DCM_PatientName), "Crash^Carl");
    EXPECT_EQ(image.text(DCM_PatientID), "RP1");
    EXPECT_EQ(image.text(DCM_SOPInstanceUID), "2.25.13");
    EXPECT_EQ(image.text(DCM_InstanceNumber), "2");
    EXPECT_EQ(told.icon, QMessageBox::Information);
    EXPECT_TRUE(told.text.contains("film 2 of 3 of Crash, Carl (RP1)")) << told.text.toStdString();
    EXPECT_TRUE(imageFiles().isEmpty());
    EXPECT_TRUE(journalEntries().isEmpty());
    EXPECT_TRUE(w->session().StudyUID().isEmpty()) << "the window's own study is untouched";
}

TEST_F(ScanSafetyTest, ValuesTheImageCannotCarryAreRefusedAtTheClickNamingTheField)
{
    StoreScp pacs;
    auto w = start(simulator(), pacs.setting());
    const struct {
        QLineEdit* field;
        QString value;
        QString says;
    } cases[] = {
        {w->PATID1, "4711\\2", "The Patient ID \"4711\\2\" cannot go into the image: it holds a backslash"},
        {w->StudyDescritpion, "Chest\tPA", "The Study Description \"Chest\tPA\" cannot go into the image: it holds a "
                                           "control character"},
        {w->PATNachname, "Smith^Jr", "The Patient Lastname \"Smith^Jr\" cannot go into the image: it holds \"^\""},
        {w->Bodypart, "CHEST\\ABDOMEN", "The Bodypart \"CHEST\\ABDOMEN\" cannot go into the image"},
    };
    for (const auto& c : cases) {
        const QString before = c.field->text();
        c.field->setText(c.value);
        for (QPushButton* button : {w->cmdScan, w->cmdMultiScan}) {
            SeenMessage seen;
            modals.then(recordMessage(seen), isMessageBox);
            button->click();
            EXPECT_EQ(seen.icon, QMessageBox::Warning);
            EXPECT_TRUE(seen.text.startsWith(c.says)) << seen.text.toStdString();
            EXPECT_TRUE(seen.text.endsWith("Nothing was scanned.")) << seen.text.toStdString();
            EXPECT_TRUE(c.field->hasFocus() || !QApplication::focusWidget());
            EXPECT_TRUE(w->cmdScan->isEnabled());
        }
        c.field->setText(before);
    }
    EXPECT_TRUE(scannerCalls().isEmpty());
    EXPECT_TRUE(pacs.received().isEmpty());
    // The log says it as the message does.
    QFile log(folder.filePath("Logs/skiascan.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString events = QString::fromUtf8(log.readAll());
    EXPECT_TRUE(events.contains("scan refused: the Patient Lastname \"Smith^Jr\" cannot go into the image: it holds \"^\""))
        << events.toStdString();
    EXPECT_FALSE(events.contains("Lastname it holds"));
}

TEST_F(ScanSafetyTest, LettersBeyondAsciiArriveIntactAtStorescpAndOrthanc)
{
    StoreScp pacs;
    OrthancServer orthanc;
    auto w = start(simulator(), pacs.setting(), "", orthanc.setting());
    w->PATNachname->setText(QString::fromUtf8("Müller"));
    w->Bodypart->setText(QString::fromUtf8("SCHÄDEL"));
    w->StudyDescritpion->setText(QString::fromUtf8("Röntgen Schädel"));
    w->SeriesDescription->setText(QString::fromUtf8("Seitenansicht ÄÖÜß"));
    w->cmdScan->click();
    ASSERT_TRUE(singleScanDone(*w));

    // storescp keeps the bytes as they came: in the set the image declares.
    ASSERT_EQ(pacs.received().size(), 1);
    DicomFile stored(pacs.received().first());
    EXPECT_EQ(stored.text(DCM_SpecificCharacterSet), "ISO_IR 100");
    EXPECT_EQ(stored.text(DCM_PatientName), QString::fromUtf8("Müller^John"));
    EXPECT_EQ(stored.text(DCM_BodyPartExamined), QString::fromUtf8("SCHÄDEL"));
    EXPECT_EQ(stored.text(DCM_StudyDescription), QString::fromUtf8("Röntgen Schädel"));
    EXPECT_EQ(stored.text(DCM_SeriesDescription), QString::fromUtf8("Seitenansicht ÄÖÜß"));

    // Orthanc reads them as a PACS shows them.
    const QJsonArray instances = QJsonDocument::fromJson(orthanc.get("/instances")).array();
    ASSERT_EQ(instances.size(), 1);
    const QJsonObject tags =
        QJsonDocument::fromJson(orthanc.get("/instances/" + instances[0].toString() + "/simplified-tags")).object();
    EXPECT_EQ(tags["PatientName"].toString(), QString::fromUtf8("Müller^John"));
    EXPECT_EQ(tags["BodyPartExamined"].toString(), QString::fromUtf8("SCHÄDEL"));
    EXPECT_EQ(tags["StudyDescription"].toString(), QString::fromUtf8("Röntgen Schädel"));
    EXPECT_EQ(tags["SeriesDescription"].toString(), QString::fromUtf8("Seitenansicht ÄÖÜß"));
}

// A jammed scanner never holds the program: Quit twice asks whether to end
// without the film, Yes (the default) ends at once and the journal keeps it.
TEST_F(ScanSafetyTest, QuitTwiceWhileTheScannerHangsAsksAndYesEndsAtOnce)
{
    qputenv("SCANFILE_DELAY_MS", "60000");
    auto w = start(simulator(), "||");
    w->cmdScan->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->session().state() == SessionState::Scanning && scannerCalls().size() == 1; }));
    QString question;
    QMessageBox::StandardButton preset = QMessageBox::NoButton;
    modals.then([&](QWidget* dialog) {
        auto* box = qobject_cast<QMessageBox*>(dialog);
        ASSERT_NE(box, nullptr);
        question = box->text();
        preset = box->standardButton(box->defaultButton());
        box->button(QMessageBox::Yes)->click();
    });
    w->cmdCancel->click();
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->lblOutbox->text(), "Skiascan ends after the film");
    w->cmdCancel->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w->isVisible(); }, 5000));
    EXPECT_EQ(question, "The scanner has not finished the film of Smith, John (4711). End Skiascan now? If the scanner "
                        "still delivers the film, it is imported at the next start.");
    EXPECT_EQ(preset, QMessageBox::Yes);
    const std::vector<FilmRecord> films = ScanJournal(folder.path()).films();
    ASSERT_EQ(films.size(), 1u);
    EXPECT_TRUE(scannerStillWorksOn(films[0])) << "the scanner is left alone";
    ::kill(static_cast<pid_t>(films[0].scannerProcess), SIGKILL);
}

// The film comes while the question is still open: the film goes to the node,
// the question goes away, and the window closes for good.
TEST_F(ScanSafetyTest, AFilmThatComesWhileTheQuestionIsOpenEndsTheProgramWithIt)
{
    StoreScp pacs;
    qputenv("SCANFILE_DELAY_MS", "1500");
    auto w = start(simulator(), pacs.setting());
    w->cmdScan->click();
    bool asked = false;
    modals.then([&](QWidget*) { asked = true; }); // left unanswered
    w->cmdCancel->click();
    w->cmdCancel->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w->isVisible(); }, 20000));
    EXPECT_TRUE(asked);
    QTest::qWait(300);
    EXPECT_FALSE(w->isVisible()) << "nothing brings the window back";
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(pacs.received().size() + Outbox(folder.path()).count(), 1) << "the film is safe";
    EXPECT_TRUE(journalEntries().isEmpty());
}
