#include "app/main_window.h"
#include "dicom/dicom_toolkit.h"
#include "support/conditions.h"
#include "support/dicom_file.h"
#include "support/modal.h"
#include "support/peers.h"
#include "support/program_folder.h"
#include "support/qt_printers.h"
#include "support/tiff_writer.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

using namespace skiascan;
using namespace skiascan::test;

namespace {

class ImageImportTest : public ::testing::Test {
protected:
    TestConditions conditions;
    std::unique_ptr<fSkiascan> start(const QString& remote0, const QString& remote1 = "||")
    {
        SettingsLines lines = ProgramFolder::defaultLines();
        lines[Setting::Remote0] = remote0;
        lines[Setting::Remote1] = remote1;
        return startWindow(folder, lines);
    }

    // A scanned film of the given size in bytes (at least a small TIFF's size).
    QString scan(const QString& name, qint64 bytes = -1)
    {
        const QString path = folder.filePath(name);
        if (bytes < 0) {
            writeFilmTiff(path);
            return path;
        }
        TiffShape shape;
        shape.width = 40;
        shape.height = 30;
        writeTiff(path, shape);
        QFile file(path);
        EXPECT_TRUE(file.resize(bytes));
        return path;
    }

    bool import(fSkiascan& w, const QString& tiff)
    {
        w.ScanFile = tiff;
        return w.ImageImport();
    }

    ProgramFolder folder;
    ModalDriver modals;
};

QStringList numbersAt(const StoreScp& node)
{
    QStringList numbers;
    for (const QString& file : node.received())
        numbers << DicomFile(file).text(DCM_InstanceNumber);
    return numbers;
}

} // namespace

TEST_F(ImageImportTest, AFileUnder10240BytesIsRefusedAndKept)
{
    StoreScp pacs;
    auto w = start(pacs.setting());
    w->cmdScan->setEnabled(false);
    w->cmdMultiScan->setEnabled(false);
    SeenMessage seen;
    modals.then(recordMessage(seen));
    const QString small = scan("small.tif", 10239);
    EXPECT_FALSE(import(*w, small));
    ASSERT_TRUE(seen.seen);
    EXPECT_EQ(seen.text, "Importfile to small, scan may be failed!");
    EXPECT_EQ(seen.title, "Skiascan");
    EXPECT_EQ(seen.icon, QMessageBox::Information);
    EXPECT_TRUE(w->ScanAborted);
    EXPECT_TRUE(w->cmdScan->isEnabled());
    EXPECT_TRUE(w->cmdMultiScan->isEnabled());
    EXPECT_TRUE(QFile::exists(small));
    EXPECT_EQ(w->ImageCounter, 0);

    w->ScanAborted = false;
    const QString exact = scan("exact.tif", 10240);
    EXPECT_TRUE(import(*w, exact));
    EXPECT_FALSE(QFile::exists(exact));
    EXPECT_FALSE(w->ScanAborted);
    EXPECT_EQ(pacs.received().size(), 1);
}

TEST_F(ImageImportTest, ImagesOfAStudyShareItAndAreNumberedInOrder)
{
    StoreScp pacs;
    auto w = start(pacs.setting());
    ASSERT_TRUE(import(*w, scan("1.tif")));
    const QString study = w->StudyUID;
    EXPECT_TRUE(study.startsWith("2.25."));
    ASSERT_TRUE(import(*w, scan("2.tif")));
    EXPECT_EQ(w->StudyUID, study);
    QStringList numbers = numbersAt(pacs);
    numbers.sort();
    EXPECT_EQ(numbers, (QStringList{"1", "2"}));
    DicomFile a(pacs.received()[0]);
    DicomFile b(pacs.received()[1]);
    EXPECT_EQ(a.text(DCM_StudyInstanceUID), b.text(DCM_StudyInstanceUID));
    EXPECT_EQ(a.text(DCM_StudyTime), b.text(DCM_StudyTime));
    EXPECT_NE(a.text(DCM_SeriesInstanceUID), b.text(DCM_SeriesInstanceUID));
    EXPECT_EQ(a.text(DCM_StudyTime), QString(w->StudyTime).remove(':'));

    // New Study: the next image opens a study of its own, numbered 1.
    w->cmdNew->click();
    ASSERT_TRUE(import(*w, scan("3.tif")));
    EXPECT_NE(w->StudyUID, study);
    EXPECT_EQ(w->ImageCounter, 1);

    // After the worklist dialog the numbering restarts, even in the same study.
    const QString kept = w->StudyUID;
    w->WorklistUsed = true;
    ASSERT_TRUE(import(*w, scan("4.tif")));
    EXPECT_EQ(w->StudyUID, kept);
    EXPECT_EQ(w->ImageCounter, 1);
    EXPECT_FALSE(w->WorklistUsed);
}

TEST_F(ImageImportTest, AFailedBuildIsReportedKeepsTheFileAndUsesANumber)
{
    StoreScp pacs;
    auto w = start(pacs.setting());
    ASSERT_TRUE(import(*w, scan("1.tif")));
    SeenMessage seen;
    modals.then(recordMessage(seen));
    const QString broken = folder.filePath("broken.tif");
    QFile file(broken);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(12000, 'x'));
    file.close();
    EXPECT_FALSE(import(*w, broken));
    ASSERT_TRUE(seen.seen);
    EXPECT_EQ(seen.title, "X-Ray Skiascan");
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
    EXPECT_TRUE(seen.text.contains(broken)) << seen.text.toStdString();
    EXPECT_TRUE(seen.text.endsWith("\r\n\r\nMaybe scan apported.")) << seen.text.toStdString();
    EXPECT_TRUE(w->ScanAborted);
    EXPECT_TRUE(QFile::exists(broken));
    EXPECT_EQ(pacs.received().size(), 1);

    ASSERT_TRUE(import(*w, scan("3.tif")));
    EXPECT_EQ(w->ImageCounter, 3);
}

TEST_F(ImageImportTest, TheCounterNeverWrapsAround)
{
    StoreScp pacs;
    auto w = start(pacs.setting());
    ASSERT_TRUE(import(*w, scan("1.tif")));
    w->ImageCounter = 32767;
    SeenMessage seen;
    modals.then(recordMessage(seen));
    const QString film = scan("2.tif");
    EXPECT_FALSE(import(*w, film));
    EXPECT_TRUE(seen.text.endsWith("Maybe scan apported."));
    EXPECT_EQ(w->ImageCounter, 32767);
    EXPECT_TRUE(QFile::exists(film));
}

TEST_F(ImageImportTest, ANodeThatFailsIsNamedAndTheImageWaitsInTheOutbox)
{
    StoreScp pacs("PACS1");
    const int down = freePort();
    auto w = start(pacs.setting(), QString("PACS2|127.0.0.1|%1").arg(down));
    SeenMessage seen;
    modals.then(recordMessage(seen));
    const QString film = scan("1.tif");
    EXPECT_TRUE(import(*w, film));
    ASSERT_TRUE(seen.seen);
    EXPECT_EQ(seen.title, "Skiascan");
    EXPECT_EQ(seen.icon, QMessageBox::Warning);
    EXPECT_TRUE(seen.text.contains(QString("PACS2 (127.0.0.1:%1)").arg(down))) << seen.text.toStdString();
    EXPECT_FALSE(seen.text.contains("PACS1"));
    EXPECT_TRUE(seen.text.endsWith("kept in the outbox and will be sent again.")) << seen.text.toStdString();
    EXPECT_FALSE(QFile::exists(film));
    EXPECT_FALSE(w->ScanAborted);
    EXPECT_EQ(w->lblOutbox->text(), "Outbox: 1 image");
    EXPECT_EQ(pacs.received().size(), 1);

    // The program starts again once the node is back: the image arrives there.
    w.reset();
    StoreScp back("PACS2");
    SettingsLines lines = ProgramFolder::defaultLines();
    lines[Setting::Remote0] = pacs.setting();
    lines[Setting::Remote1] = back.setting();
    folder.writeSettings(lines);
    fSkiascan again(folder.path());
    ASSERT_TRUE(again.startUp(QString()));
    EXPECT_EQ(back.received().size(), 1);
    EXPECT_EQ(pacs.received().size(), 1);
    EXPECT_EQ(again.lblOutbox->text(), "");
}

TEST_F(ImageImportTest, WithoutDestinationsTheOperatorIsToldAndTheImageIsKept)
{
    auto w = start("||");
    SeenMessage seen;
    modals.then(recordMessage(seen));
    const QString film = scan("1.tif");
    EXPECT_TRUE(import(*w, film));
    EXPECT_TRUE(seen.text.startsWith("No destination is set")) << seen.text.toStdString();
    EXPECT_FALSE(QFile::exists(film));
    EXPECT_EQ(w->lblOutbox->text(), "Outbox: 1 image");
}
