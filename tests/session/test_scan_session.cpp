// The scan session without a window: each step of a film's journey, a scanner
// that fails, writes too little, never finishes or ends without a film, Quit
// in each state, and the films a crash left behind.
#include "dicom/image_attributes.h"
#include "scan/scan_journal.h"
#include "session/session_fixture.h"
#include "support/dicom_file.h"
#include "support/peers.h"
#include "support/throttling_proxy.h"
#include "support/tiff_writer.h"

#include <QElapsedTimer>

#include <csignal>

using namespace skiascan;
using namespace skiascan::test;

namespace {

using Severity = SessionOperator::Severity;

} // namespace

TEST_F(SessionTest, AFilmGoesThroughEachStepToTheNodeAndNothingElseStartsMeanwhile)
{
    StoreScp pacs;
    settings.Remote0 = pacs.setting();
    ScanSession& s = start();
    ASSERT_TRUE(s.scanSingle(record()));
    EXPECT_TRUE(s.scanning());
    EXPECT_FALSE(s.scanSingle(record())) << "a second scan while one runs";
    EXPECT_FALSE(s.scanStack(record(), 2));
    EXPECT_EQ(s.activity(), "Scanning film");
    EXPECT_EQ(journal().size(), 1) << "the film is in the journal before the scanner runs";
    ASSERT_TRUE(idle());

    EXPECT_EQ(states, (std::vector<SessionState>{SessionState::Scanning, SessionState::WaitingForFile,
                                                  SessionState::Importing, SessionState::HandingOver,
                                                  SessionState::Idle}));
    EXPECT_TRUE(op.told.empty()) << op.texts().toStdString();
    ASSERT_EQ(pacs.received().size(), 1);
    DicomFile image(pacs.received()[0]);
    EXPECT_EQ(image.text(DCM_PatientName), "Doe^Jane");
    EXPECT_EQ(image.text(DCM_StudyInstanceUID), s.StudyUID());
    EXPECT_EQ(s.ImageCounter(), 1);
    EXPECT_FALSE(s.ScanAborted());
    EXPECT_TRUE(imageFiles().isEmpty());
    EXPECT_TRUE(journal().isEmpty());
    EXPECT_EQ(s.activity(), "");
}

TEST_F(SessionTest, AScannerThatFailsOrWritesTooLittleIsToldAndTheFlowEnds)
{
    ScanSession& s = start();

    // Ends without a file: told with its exit code once a few seconds passed.
    qputenv("SCANFILE_MODE", "nofile");
    qputenv("SCANFILE_EXIT", "1");
    s.scanSingle(record());
    ASSERT_TRUE(idle());
    ASSERT_EQ(op.told.size(), 1u);
    EXPECT_EQ(op.told[0].severity, Severity::Critical);
    EXPECT_EQ(op.told[0].text, "The scanner ended without a film (exit code 1).\r\n\r\nPlease check Preferences");
    EXPECT_TRUE(s.ScanAborted());
    EXPECT_EQ(journal().size(), 1) << "kept: a file that still comes is imported at the next start";
    QDir(folder.filePath("Journal")).removeRecursively();

    // Too small a file: told, and left where it is.
    qputenv("SCANFILE_MODE", "small");
    qunsetenv("SCANFILE_EXIT");
    s.scanSingle(record());
    ASSERT_TRUE(idle());
    ASSERT_EQ(op.told.size(), 2u);
    EXPECT_EQ(op.told[1].severity, Severity::Information);
    EXPECT_EQ(op.told[1].text, "Importfile to small, scan may be failed!");
    EXPECT_TRUE(s.ScanAborted());
    EXPECT_EQ(imageFiles().size(), 1);
    EXPECT_EQ(s.ImageCounter(), 1) << "the number of the film that did not come stays given";
    EXPECT_TRUE(journal().isEmpty());

    // A program that cannot be started.
    settings.ScanApp = folder.filePath("nowhere/SCANFILE.EXE");
    s.setSettings(settings);
    s.scanSingle(record());
    ASSERT_TRUE(idle());
    ASSERT_EQ(op.told.size(), 3u);
    EXPECT_TRUE(op.told[2].text.contains("cannot be started")) << op.told[2].text.toStdString();
    EXPECT_TRUE(journal().isEmpty());
}

TEST_F(SessionTest, AStackEndsWhenTheScannerDeliversNoFurtherFilm)
{
    StoreScp pacs;
    settings.Remote0 = pacs.setting();
    qputenv("SCANFILE_FEEDER", "2");
    ScanSession& s = start();
    s.setFilmsInFeeder(6);
    ASSERT_TRUE(s.scanStack(record(), 6));
    ASSERT_TRUE(idle());
    EXPECT_EQ(scannerCalls(), 3);
    EXPECT_EQ(pacs.received().size(), 2);
    ASSERT_EQ(op.told.size(), 1u);
    EXPECT_EQ(op.told[0].severity, Severity::Information);
    EXPECT_EQ(op.told[0].text, "The scanner delivered no film 3; the stack ended after film 2.");
    EXPECT_EQ(journal().size(), 1) << "film 3, in case its file still comes";
    EXPECT_EQ(s.ImageCounter(), 3) << "its number is not given again";
}

TEST_F(SessionTest, QuitDuringAScanEndsOnceTheFilmIsSafe)
{
    StoreScp pacs;
    settings.Remote0 = pacs.setting();
    qputenv("SCANFILE_DELAY_MS", "600");
    ScanSession& s = start();
    s.scanSingle(record());
    EXPECT_FALSE(s.requestEnd());
    EXPECT_EQ(s.activity(), "Skiascan ends after the film");
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, 20000));
    EXPECT_EQ(s.state(), SessionState::Ended);
    EXPECT_EQ(pacs.received().size(), 1);
    EXPECT_TRUE(op.asked.isEmpty());
    EXPECT_TRUE(journal().isEmpty());
    EXPECT_TRUE(s.requestEnd());
    EXPECT_FALSE(s.scanSingle(record())) << "nothing starts once the session has ended";
}

TEST_F(SessionTest, QuitWhileTheScannerHangsAsksAndEndsAtOnceLeavingTheScannerAlone)
{
    qputenv("SCANFILE_DELAY_MS", "60000");
    ScanSession& s = start();
    s.scanSingle(record());
    ASSERT_TRUE(QTest::qWaitFor([&] { return s.state() == SessionState::Scanning && journal().size() == 1; }));
    ASSERT_TRUE(QTest::qWaitFor([&] {
        const auto films = ScanJournal(folder.path()).films();
        return !films.empty() && films[0].scannerProcess > 0;
    }));
    const FilmRecord film = ScanJournal(folder.path()).films()[0];

    // Quit, then again: asked at once; No waits on.
    op.answer = false;
    EXPECT_FALSE(s.requestEnd());
    EXPECT_TRUE(op.asked.isEmpty());
    EXPECT_FALSE(s.requestEnd());
    ASSERT_TRUE(QTest::qWaitFor([&] { return op.asked.size() == 1; }, 1000));
    EXPECT_EQ(op.asked[0], "Doe, Jane (PID-1)");
    EXPECT_FALSE(ended);
    EXPECT_EQ(s.state(), SessionState::Scanning);

    // 30 seconds (here 1.5) after the first Quit it asks by itself; Yes ends
    // at once.
    op.answer = true;
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, 5000));
    EXPECT_GE(clock.elapsed(), 200);
    EXPECT_EQ(op.asked.size(), 2);
    EXPECT_EQ(s.state(), SessionState::Ended);
    EXPECT_EQ(journal().size(), 1) << "the journal keeps the film for the next start";
    EXPECT_TRUE(scannerStillWorksOn(film)) << "the scanner is left alone";
    session.reset();
    EXPECT_TRUE(scannerStillWorksOn(film)) << "and outlives the session";
    ::kill(static_cast<pid_t>(film.scannerProcess), SIGKILL);
}

TEST_F(SessionTest, ASilentNodeHoldsNoStackAndQuitWhileItHoldsAnAssociationEndsWithinTwoSeconds)
{
    SilentPeer hung;
    StoreScp pacs;
    settings.Remote0 = hung.setting();
    settings.Remote1 = pacs.setting();
    conditions.timeouts.acseSeconds = 30;
    ScanSession& s = start();
    ASSERT_TRUE(s.scanStack(record(), 3));
    ASSERT_TRUE(QTest::qWaitFor([&] { return s.idle() && !s.scanning(); }, 10000)) << "the silent node held the stack";
    ASSERT_TRUE(QTest::qWaitFor([&] { return pacs.received().size() == 3; }, 5000));
    ASSERT_TRUE(hung.waitForConnections(1, 5000));
    EXPECT_EQ(hung.connections(), 1) << "one association at a time";
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(s.requestEnd());
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_TRUE(ended);
    EXPECT_EQ(s.outboxLine(), "Outbox: 3 images");
    EXPECT_TRUE(op.told.empty()) << op.texts().toStdString();
}

TEST_F(SessionTest, ABacklogAtStartUpDoesNotHoldTheOperatorsScan)
{
    // Twenty images owed to a node behind a slow link wait from the last run.
    StoreScp node("ARCHIVE");
    ThrottlingProxy link(node.port(), 32 * 1024);
    settings.Remote0 = link.setting("ARCHIVE");
    writeFilmTiff(folder.filePath("backlog.tif"), 256, 256);
    {
        Outbox outbox(folder.path());
        for (int i = 0; i < 20; ++i) {
            dicom::Image image;
            image.importFile(folder.filePath("backlog.tif"), "TIF");
            const QString uid = QString("2.25.900%1").arg(i);
            dicom::addImageAttributes(image, record(), {"2.25.90", "10:00:00", "2.25.91", uid, static_cast<qint16>(i + 1), {}},
                                      QDate(2026, 12, 7), [] { return QTime(10, 0, 1); });
            OutboxEntry entry;
            entry.instanceUid = uid;
            entry.kept = QDateTime::currentDateTime();
            entry.owed = {{"ARCHIVE", "127.0.0.1", link.port(), {}, {}}};
            outbox.keep(image, entry);
        }
    }
    ScanSession& s = start();
    s.startUp();
    ASSERT_TRUE(QTest::qWaitFor([&] { return link.connections() == 1; }, 5000));
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(s.scanSingle(record()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return s.idle() && !s.scanning(); }, 10000));
    EXPECT_LT(clock.elapsed(), 5000) << "the scan waited for the backlog";
    EXPECT_EQ(s.outboxLine(), "Outbox: 21 images");
    EXPECT_TRUE(imageFiles().isEmpty()) << "the film is in the outbox";
    EXPECT_LT(node.received().size(), 20);
}

TEST_F(SessionTest, RecoveryImportsAFilmAfterItsScannerEndsAndQuitMeanwhileLeavesItInTheJournal)
{
    StoreScp pacs;
    settings.Remote0 = pacs.setting();
    // A crash left a film whose scanner is still at work.
    FilmRecord film;
    film.scanFile = images() + "20261207101500.tif";
    film.study = record();
    film.numbering = {"2.25.11", "101500", "2.25.12", "2.25.13", 3, {}};
    film.started = QDateTime::currentDateTime();
    ChildProcess scanner(settings.ScanApp, {"/TIF", "/LUT:I", "/F:" + film.scanFile, "/SIM:DELAY=1500"});
    ASSERT_TRUE(scanner.started());
    film.scannerProcess = scanner.pid();
    ScanJournal(folder.path()).write(film);

    {
        ScanSession& s = start();
        s.startUp();
        EXPECT_EQ(s.flow(), SessionFlow::Recovery);
        EXPECT_EQ(s.activity(), "Waiting for the scanner to finish the film from the last session");
        EXPECT_TRUE(s.requestEnd()) << "Quit during the recovery ends at once";
        EXPECT_TRUE(ended);
        EXPECT_EQ(journal().size(), 1);
    }

    // The next start waits for the scanner, then imports the film with its own
    // identity and says so once the outbox round is done. A later film whose
    // file never came is forgotten.
    FilmRecord never = film;
    never.scanFile = images() + "20261207101600.tif";
    never.numbering.instanceUid = "2.25.14";
    never.started = film.started.addSecs(60);
    never.scannerProcess = 0;
    ScanJournal(folder.path()).write(never);
    states.clear();
    ended = false;
    ScanSession& s = start();
    s.startUp();
    ASSERT_TRUE(idle());
    EXPECT_EQ(scanner.waitForExit(0), 0) << "the session waited for the scanner";
    ASSERT_TRUE(QTest::qWaitFor([&] { return pacs.received().size() == 1; }, 5000));
    ASSERT_EQ(pacs.received().size(), 1);
    EXPECT_EQ(DicomFile(pacs.received()[0]).text(DCM_SOPInstanceUID), "2.25.13");
    EXPECT_EQ(DicomFile(pacs.received()[0]).text(DCM_InstanceNumber), "3");
    EXPECT_TRUE(journal().isEmpty());
    EXPECT_TRUE(imageFiles().isEmpty());
    ASSERT_EQ(op.told.size(), 1u);
    EXPECT_TRUE(op.told[0].text.startsWith("These films were in the scanner when Skiascan last ended and have been "
                                           "imported now:\r\nthe film of Doe, Jane (PID-1), scanned "))
        << op.told[0].text.toStdString();
    EXPECT_EQ(s.StudyUID(), "") << "a recovered film leaves the study of this run alone";
    QTest::qWait(200); // no tick of the film watch is left over
    EXPECT_EQ(s.state(), SessionState::Idle);
}

// Skiascan ended after the scanner started but before its process id was
// noted: the scanner, still at work, is found by the film's file all the same,
// so that its film is waited for rather than forgotten (and its file name
// given to the next film).
TEST_F(SessionTest, AScannerWhoseProcessIdWasNeverNotedIsFoundByItsFile)
{
    FilmRecord film;
    film.scanFile = images() + "20261207101700.tif";
    ChildProcess scanner(settings.ScanApp, {"/TIF", "/LUT:I", "/F:" + film.scanFile, "/SIM:DELAY=3000"});
    ASSERT_TRUE(scanner.started());
    // The spawned child shows the scanner's arguments once it has run the program.
    EXPECT_TRUE(QTest::qWaitFor([&] { return scannerStillWorksOn(film); }, 2500));
    EXPECT_EQ(scanner.waitForExit(10000), 0);
    EXPECT_FALSE(scannerStillWorksOn(film));
}
