// The import and hand-over of films through the session, in test mode (the
// test image stands in for the scanner): the numbering of a study, films the
// image cannot be built from, and nodes that fail.
#include "common/program_log.h"
#include "delivery/outbox.h"
#include "dicom/dicom_toolkit.h"
#include "session/session_fixture.h"
#include "support/dicom_file.h"
#include "support/peers.h"
#include "support/tiff_writer.h"

#include <filesystem>

using namespace skiascan;
using namespace skiascan::test;

namespace {

using Severity = SessionOperator::Severity;

class SessionImportTest : public SessionTest {
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        settings.ScanApp = "TESTMODE.EXE";
        writeFilmTiff(testImage());
    }
    QString testImage() const { return folder.filePath("Test.tif"); }

    // One film in test mode, to the end of its journey.
    void scan()
    {
        ASSERT_TRUE(session->scanSingle(record()));
        ASSERT_TRUE(idle());
    }
};

QStringList numbersAt(const StoreScp& node)
{
    return valuesIn(node.received(), DCM_InstanceNumber);
}

} // namespace

TEST_F(SessionImportTest, ImagesOfAStudyShareItAndAreNumberedInOrder)
{
    StoreScp pacs;
    settings.Remote0 = pacs.setting();
    ScanSession& s = start();
    scan();
    const QString study = s.StudyUID();
    EXPECT_TRUE(study.startsWith("2.25."));
    scan();
    EXPECT_EQ(s.StudyUID(), study);
    EXPECT_EQ(numbersAt(pacs), (QStringList{"1", "2"}));
    DicomFile a(pacs.received()[0]);
    DicomFile b(pacs.received()[1]);
    EXPECT_EQ(a.text(DCM_StudyInstanceUID), b.text(DCM_StudyInstanceUID));
    EXPECT_EQ(a.text(DCM_StudyTime), b.text(DCM_StudyTime));
    EXPECT_NE(a.text(DCM_SeriesInstanceUID), b.text(DCM_SeriesInstanceUID));
    EXPECT_EQ(a.text(DCM_StudyTime), QString(s.StudyTime()).remove(':'));

    // The study closes (New Study, an edit): the next image opens its own, numbered 1.
    s.closeStudy();
    scan();
    EXPECT_NE(s.StudyUID(), study);
    EXPECT_EQ(s.ImageCounter(), 1);

    // After the worklist dialog the numbering restarts, even in the same study.
    const QString kept = s.StudyUID();
    s.worklistClosed();
    scan();
    EXPECT_EQ(s.StudyUID(), kept);
    EXPECT_EQ(s.ImageCounter(), 1);
    EXPECT_FALSE(s.WorklistUsed());
    EXPECT_TRUE(op.told.empty()) << op.texts().toStdString();
}

TEST_F(SessionImportTest, AFilmThatCannotBeBuiltIsToldUnderTheCaptionKeepsItsFileAndUsesANumber)
{
    StoreScp pacs;
    settings.Remote0 = pacs.setting();
    ScanSession& s = start();
    scan();
    QFile broken(testImage());
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write(QByteArray(12000, 'x'));
    broken.close();
    scan();
    ASSERT_EQ(op.told.size(), 1u);
    EXPECT_EQ(op.told[0].severity, Severity::Critical);
    EXPECT_TRUE(op.told[0].underWindowCaption);
    EXPECT_TRUE(op.told[0].text.endsWith("\r\n\r\nMaybe scan apported.")) << op.told[0].text.toStdString();
    EXPECT_TRUE(s.ScanAborted());
    EXPECT_EQ(imageFiles().size(), 1) << "the file stays";
    EXPECT_EQ(pacs.received().size(), 1);

    writeFilmTiff(testImage());
    scan();
    EXPECT_EQ(s.ImageCounter(), 3);
    EXPECT_EQ(numbersAt(pacs), (QStringList{"1", "3"}));
}

TEST_F(SessionImportTest, ANodeThatFailsHoldsNoOneTheImageWaitsAndTheNextStartSendsIt)
{
    StoreScp pacs("PACS1");
    const int down = freePort();
    settings.Remote0 = pacs.setting();
    settings.Remote1 = QString("PACS2|127.0.0.1|%1").arg(down);
    ScanSession& s = start();
    scan();
    EXPECT_TRUE(op.told.empty()) << "delivery stops no one: " << op.texts().toStdString();
    EXPECT_TRUE(imageFiles().isEmpty());
    EXPECT_FALSE(s.ScanAborted());
    EXPECT_EQ(s.outboxLine(), "Outbox: 1 image");
    EXPECT_EQ(pacs.received().size(), 1);
    const NodeStatus pacs2 = s.delivery().status().at(1);
    EXPECT_TRUE(pacs2.failing);
    EXPECT_TRUE(pacs2.lastFailure.contains(QString("PACS2 (127.0.0.1:%1)").arg(down))) << pacs2.lastFailure.toStdString();

    StoreScp back("PACS2");
    settings.Remote1 = back.setting();
    ScanSession& again = start();
    again.startUp();
    ASSERT_TRUE(idle());
    EXPECT_EQ(back.received().size(), 1);
    EXPECT_EQ(pacs.received().size(), 1);
    EXPECT_EQ(again.outboxLine(), "");
}

TEST_F(SessionImportTest, WithoutDestinationsTheImageIsKept)
{
    ScanSession& s = start();
    scan();
    EXPECT_TRUE(op.told.empty()) << op.texts().toStdString();
    EXPECT_TRUE(imageFiles().isEmpty());
    EXPECT_EQ(s.outboxLine(), "Outbox: 1 image");
}

// The program's own folders hold patient data: they and their files are the
// program's user's alone, those an older version left as well; the images
// folder and the settings file keep their rights.
TEST_F(SessionImportTest, TheProgramsOwnFoldersAndFilesAreReadableByItsUserOnly)
{
    namespace fs = std::filesystem;
    const auto mode = [](const QString& path) { return fs::status(path.toStdString()).permissions(); };
    const fs::perms privateFolder = fs::perms::owner_all;
    const fs::perms privateFile = fs::perms::owner_read | fs::perms::owner_write;
    const QStringList own{"Outbox", "Journal", "Logs"};
    for (const QString& name : own) {
        ASSERT_TRUE(QDir(folder.path()).mkdir(name));
        fs::permissions(folder.filePath(name).toStdString(), fs::perms(0755));
    }
    QFile old(folder.filePath("Logs/skiascan.log"));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.close();
    fs::permissions(old.fileName().toStdString(), fs::perms(0644));
    folder.writeSettings(ProgramFolder::defaultLines());
    const fs::perms settingsRights = mode(folder.settingsPath());
    const fs::perms imagesRights = mode(images());

    programlog::open(folder.path());
    dicom::startToolkitLog(folder.path());
    ScanSession& s = start();
    s.startUp();
    scan();
    ASSERT_EQ(s.outboxLine(), "Outbox: 1 image");

    for (const QString& name : own)
        EXPECT_EQ(mode(folder.filePath(name)), privateFolder) << name.toStdString();
    const QStringList kept = QDir(folder.filePath("Outbox")).entryList(QDir::Files);
    EXPECT_EQ(kept.size(), 2);
    for (const QString& name : kept)
        EXPECT_EQ(mode(folder.filePath("Outbox/" + name)), privateFile) << name.toStdString();
    EXPECT_EQ(mode(old.fileName()), privateFile);
    EXPECT_EQ(mode(folder.filePath("Logs/dcmtk.log")), privateFile);
    EXPECT_EQ(mode(images()), imagesRights);
    EXPECT_EQ(mode(folder.settingsPath()), settingsRights);

    // An image the operator removes keeps its rights, in a folder of the same kind.
    Outbox outbox(folder.path());
    outbox.remove(outbox.entries().at(0));
    const QString removed = folder.filePath("Outbox/removed");
    EXPECT_EQ(mode(removed), privateFolder);
    const QStringList files = QDir(removed).entryList(QDir::Files);
    EXPECT_EQ(files.size(), 2);
    for (const QString& name : files)
        EXPECT_EQ(mode(removed + "/" + name), privateFile) << name.toStdString();
}
