#include "scan/scanning_fixture.h"

#include <QTimer>

using namespace skiascan;
using namespace skiascan::test;

TEST_F(ScanningTest, SingleScanRunsTheScannerAndDeliversTheFilm)
{
    StoreScp pacs;
    auto w = start(simulator(), pacs.setting(), "/R:150");
    w->cmdScan->click();
    EXPECT_EQ(w->cursor().shape(), Qt::WaitCursor);
    EXPECT_FALSE(w->cmdScan->isEnabled());
    EXPECT_FALSE(w->cmdMultiScan->isEnabled());
    ASSERT_TRUE(singleScanDone(*w));
    EXPECT_EQ(w->cursor().shape(), Qt::ArrowCursor);
    EXPECT_TRUE(w->cmdMultiScan->isEnabled());

    const QList<QStringList> calls = scannerCalls();
    ASSERT_EQ(calls.size(), 1);
    EXPECT_EQ(calls[0], (QStringList{"/TIF", "/LUT:I", "/F:" + w->session().ScanFile(), "/R:150"}));
    EXPECT_TRUE(QRegularExpression("/images/\\d{14}\\.tif$").match(w->session().ScanFile()).hasMatch()) << w->session().ScanFile().toStdString();
    EXPECT_FALSE(QFile::exists(w->session().ScanFile()));
    ASSERT_EQ(pacs.received().size(), 1);
    DicomFile image(pacs.received().first());
    EXPECT_EQ(image.text(DCM_PatientName), "Smith^John");
    EXPECT_EQ(image.text(DCM_Rows), "320");
}

TEST_F(ScanningTest, TestModeCopiesTheTestImage)
{
    StoreScp pacs;
    QFile::copy(QString(SKIASCAN_PROGRAM_DIR) + "/Test.tif", folder.filePath("Test.tif"));
    auto w = start("/opt/scanner/SCANFILE.EXE.bak", pacs.setting());
    w->cmdScan->click();
    ASSERT_TRUE(singleScanDone(*w));
    EXPECT_TRUE(scannerCalls().isEmpty());
    EXPECT_EQ(pacs.received().size(), 1);
    EXPECT_TRUE(imageFiles().isEmpty());
}

TEST_F(ScanningTest, AMissingTestImageOrScannerIsReportedAndTheButtonsComeBack)
{
    auto w = start("/opt/scanner/other.exe", "||");
    SeenMessage missing;
    bool topMostMeanwhile = true;
    modals.then([&](QWidget* box) {
        topMostMeanwhile = w->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
        recordMessage(missing)(box);
    });
    w->cmdScan->click();
    ASSERT_TRUE(singleScanDone(*w));
    EXPECT_TRUE(missing.text.startsWith("File not found: " + folder.filePath("Test.tif"))) << missing.text.toStdString();
    EXPECT_TRUE(missing.text.endsWith("\r\n\r\nPlease check Preferences"));
    EXPECT_EQ(missing.title, "Skiascan");
    EXPECT_EQ(missing.icon, QMessageBox::Critical);
    EXPECT_FALSE(topMostMeanwhile);
    EXPECT_TRUE(w->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(w->cmdScan->isEnabled());
    EXPECT_TRUE(w->cmdMultiScan->isEnabled());
    EXPECT_EQ(w->cursor().shape(), Qt::ArrowCursor);
    EXPECT_TRUE(w->session().idle());

    auto broken = start(folder.filePath("nowhere/SCANFILE.EXE"), "||");
    SeenMessage cannotStart;
    modals.then(recordMessage(cannotStart));
    broken->cmdMultiScan->click();
    ASSERT_TRUE(singleScanDone(*broken));
    EXPECT_TRUE(cannotStart.text.contains("cannot be started")) << cannotStart.text.toStdString();
    EXPECT_TRUE(broken->cmdScan->isEnabled());
}

TEST_F(ScanningTest, AScannerThatEndsWithoutAFilmIsToldAndQuitMeanwhileEndsTheProgram)
{
    qputenv("SCANFILE_MODE", "nofile");
    qputenv("SCANFILE_EXIT", "1");
    auto w = start(simulator(), "||");
    w->session().setTiming({std::chrono::milliseconds(100), std::chrono::milliseconds(1000), std::chrono::seconds(30)});
    SeenMessage told;
    modals.then(recordMessage(told));
    w->cmdScan->click();
    EXPECT_EQ(w->lblOutbox->text(), "Scanning film");
    EXPECT_EQ(w->cursor().shape(), Qt::WaitCursor);
    ASSERT_TRUE(singleScanDone(*w));
    EXPECT_EQ(told.text, "The scanner ended without a film (exit code 1).\r\n\r\nPlease check Preferences");
    EXPECT_EQ(told.icon, QMessageBox::Critical);
    EXPECT_TRUE(w->cmdScan->isEnabled());
    EXPECT_EQ(w->cursor().shape(), Qt::ArrowCursor);

    // Quit while waiting for the film: the program ends once the flow has,
    // and the operator has read why there is no film.
    SeenMessage atTheEnd;
    modals.then(recordMessage(atTheEnd));
    w->cmdScan->click();
    w->cmdCancel->click();
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->lblOutbox->text(), "Skiascan ends after the film");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w->isVisible(); }, 10000));
    EXPECT_TRUE(atTheEnd.text.startsWith("The scanner ended without a film")) << atTheEnd.text.toStdString();
}

TEST_F(ScanningTest, StacksOfOneTwoAndSixFilmsTellTheScannerEachFilmsPlace)
{
    StoreScp pacs;
    auto w = start(simulator(), pacs.setting());
    const QString first = "/HR:OFF /TIF /LUT:I";
    const QString middle = "/HR:OFF /FF /TIF /LUT:I";
    const QString last = "/FF /TIF /LUT:I";
    const struct {
        int films;
        QStringList options;
    } stacks[] = {
        {1, {first}},
        {2, {first, last}},
        {6, {first, middle, middle, middle, middle, last}},
    };
    int calls = 0;
    for (const auto& stack : stacks) {
        setFilms(*w, stack.films);
        w->cmdNew->click();
        w->cmdMultiScan->click();
        ASSERT_TRUE(singleScanDone(*w));
        EXPECT_EQ(scannerOptions().mid(calls), stack.options) << stack.films << " films";
        calls += stack.films;
        EXPECT_TRUE(w->cmdScan->isEnabled());
        EXPECT_EQ(w->cursor().shape(), Qt::ArrowCursor);
    }
    EXPECT_EQ(pacs.received().size(), 9);
    EXPECT_TRUE(imageFiles().isEmpty());

    // Every film got a file of its own, although they came within a second.
    QSet<QString> files;
    for (const QStringList& call : scannerCalls())
        files.insert(call.filter("/F:").join(""));
    EXPECT_EQ(files.size(), 9);
}

TEST_F(ScanningTest, LoweringFilmsDuringTheStackMakesThatFilmTheLastButTheStackGoesOn)
{
    StoreScp pacs;
    qputenv("SCANFILE_DELAY_MS", "150");
    auto w = start(simulator(), pacs.setting());
    setFilms(*w, 6);
    QTimer watch;
    watch.setInterval(5);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (scannerCalls().size() == 2) {
            setFilms(*w, 3);
            watch.stop();
        }
    });
    watch.start();
    w->cmdMultiScan->click();
    ASSERT_TRUE(singleScanDone(*w));
    const QStringList options = scannerOptions();
    ASSERT_EQ(options.size(), 6);
    EXPECT_EQ(options[1], "/HR:OFF /FF /TIF /LUT:I");
    EXPECT_EQ(options[2], "/FF /TIF /LUT:I");
    EXPECT_EQ(options[3], "/HR:OFF /FF /TIF /LUT:I");
    EXPECT_EQ(options[5], "/HR:OFF /FF /TIF /LUT:I");
    EXPECT_EQ(instanceNumbers(pacs), (QStringList{"1", "2", "3", "4", "5", "6"}));
}

TEST_F(ScanningTest, ATooSmallFilmEndsTheStackInScannerModeOnly)
{
    qputenv("SCANFILE_MODE", "small");
    auto w = start(simulator(), "||");
    setFilms(*w, 4);
    SeenMessage seen;
    modals.then(recordMessage(seen));
    w->cmdMultiScan->click();
    ASSERT_TRUE(singleScanDone(*w));
    EXPECT_EQ(seen.text, "Importfile to small, scan may be failed!");
    EXPECT_EQ(scannerCalls().size(), 1);
    EXPECT_TRUE(w->session().ScanAborted());
    EXPECT_TRUE(w->cmdScan->isEnabled());
    EXPECT_EQ(w->cursor().shape(), Qt::ArrowCursor);

    // In test mode every film of the stack is copied and imported all the same.
    QFile small(folder.filePath("Test.tif"));
    ASSERT_TRUE(small.open(QIODevice::WriteOnly));
    small.write(QByteArray(5000, '\0'));
    small.close();
    auto testMode = start("/opt/none/test.exe", "||");
    setFilms(*testMode, 2);
    SeenMessage one;
    SeenMessage two;
    modals.then(recordMessage(one)).then(recordMessage(two));
    testMode->cmdMultiScan->click();
    ASSERT_TRUE(singleScanDone(*testMode));
    EXPECT_TRUE(QTest::qWaitFor([&] { return two.seen; }));
    EXPECT_TRUE(one.seen);
    EXPECT_TRUE(two.seen);
    EXPECT_EQ(imageFiles().size(), 3) << "the small files stay where they are";
}

TEST_F(ScanningTest, AFilmIsImportedOnlyOnceTheScannerHasWrittenItWhole)
{
    // "rename": written under a temporary name, then renamed. "twostep": the
    // scanner program ends with half the file written; the rest follows between
    // the first tick that sees the file and the next one.
    for (const char* mode : {"rename", "twostep"}) {
        SCOPED_TRACE(mode);
        StoreScp pacs;
        qputenv("SCANFILE_MODE", mode);
        qputenv("SCANFILE_PAUSE_MS", "750");
        qputenv("SCANFILE_SIZE", "1024x1024");
        auto w = start(simulator(), pacs.setting());
        w->cmdScan->click();
        ASSERT_TRUE(singleScanDone(*w));
        ASSERT_EQ(pacs.received().size(), 1);
        EXPECT_EQ(DicomFile(pacs.received().first()).pixels().size(), 1024u * 1024u);
        EXPECT_TRUE(imageFiles().isEmpty());
    }
}

TEST_F(ScanningTest, ScannerTestStartsTheTestApplicationInItsFolderAndEnds)
{
    QDir(folder.path()).mkdir("acr");
    const QString script = folder.filePath("acr/acrtest");
    const QString ran = folder.filePath("ran.txt");
    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QString("#!/bin/sh\npwd > '%1'\n").arg(ran).toLocal8Bit());
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    SettingsLines lines = ProgramFolder::defaultLines();
    lines[Setting::TestApp] = script;
    folder.writeSettings(lines);
    fSkiascan w(folder.path());
    ASSERT_TRUE(w.startUp(QString()));
    ASSERT_TRUE(w.cmdTest->isEnabled());
    w.cmdTest->click();
    EXPECT_TRUE(w.programEnded());
    EXPECT_FALSE(w.isVisible());
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(ran) && QFileInfo(ran).size() > 0; }, 10000));
    QFile out(ran);
    ASSERT_TRUE(out.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromLocal8Bit(out.readAll()).trimmed(), folder.filePath("acr"));
}

TEST_F(ScanningTest, ScannerTestWithoutAFolderIsAnInvalidArgumentAndTheProgramGoesOn)
{
    SettingsLines lines = ProgramFolder::defaultLines();
    lines[Setting::TestApp] = "acrtest";
    folder.writeSettings(lines);
    fSkiascan w(folder.path());
    ASSERT_TRUE(w.startUp(QString()));
    SeenMessage seen;
    bool topMostMeanwhile = false;
    modals.then([&](QWidget* box) {
        topMostMeanwhile = w.windowFlags().testFlag(Qt::WindowStaysOnTopHint);
        recordMessage(seen)(box);
    });
    w.cmdTest->click();
    EXPECT_TRUE(seen.text.startsWith("Invalid argument")) << seen.text.toStdString();
    EXPECT_TRUE(seen.text.endsWith("\r\n\r\nPlease check preferences"));
    EXPECT_EQ(seen.title, "X-Ray Skiascan");
    EXPECT_TRUE(topMostMeanwhile);
    EXPECT_FALSE(w.programEnded());
    EXPECT_TRUE(w.isVisible());
}
