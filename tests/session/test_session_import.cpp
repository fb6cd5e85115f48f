// The import and hand-over of films through the session, in test mode (the
// test image stands in for the scanner): the numbering of a study, films the
// image cannot be built from, and nodes that fail.
#include "session/session_fixture.h"
#include "support/dicom_file.h"
#include "support/peers.h"
#include "support/tiff_writer.h"

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
