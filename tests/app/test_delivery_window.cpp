// What the operator sees of delivery: no message box from it, the line below
// the buttons, the outbox window with each node live, Cancel, and its actions
// on the images.
#include "app/main_window.h"
#include "delivery/outbox_dialog.h"
#include "support/conditions.h"
#include "support/dicom_file.h"
#include "support/modal.h"
#include "support/peers.h"
#include "support/program_folder.h"
#include "support/qt_printers.h"
#include "support/throttling_proxy.h"
#include "support/tiff_writer.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QInputDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace skiascan;
using namespace skiascan::test;

namespace {

class DeliveryWindowTest : public ::testing::Test {
protected:
    TestConditions conditions{{.acseSeconds = 2, .dimseSeconds = 10}};

    std::unique_ptr<fSkiascan> start(const std::array<QString, 3>& remotes)
    {
        SettingsLines lines = ProgramFolder::defaultLines();
        lines[Setting::Remote0] = remotes[0];
        lines[Setting::Remote1] = remotes[1];
        lines[Setting::Remote2] = remotes[2];
        lines[Setting::ImageFolder] = folder.path() + "/";
        return startWindow(folder, lines, conditions.timeouts);
    }

    // Scans one film in test mode and returns its instance UID.
    QString importFilm(fSkiascan& w, uint32_t width = 128, uint32_t height = 96)
    {
        writeFilmTiff(folder.filePath("Test.tif"), width, height);
        w.cmdScan->click();
        EXPECT_TRUE(sessionIdle(w));
        EXPECT_FALSE(QFile::exists(w.session().ScanFile())) << "the film is safe, its file gone";
        return lastUid();
    }

    // The texts of the outbox window's first image row.
    static QStringList firstRow(OutboxDialog* outbox)
    {
        QStringList row;
        if (QTreeWidgetItem* item = outbox->lvOutbox->topLevelItem(0))
            for (int c = 0; c < outbox->lvOutbox->columnCount(); ++c)
                row << item->text(c);
        return row;
    }

    QString lastUid() const
    {
        QStringList entries = QDir(folder.filePath("Outbox")).entryList({"*.entry"}, QDir::Files, QDir::Time);
        return entries.isEmpty() ? QString() : entries.first().chopped(6);
    }

    ProgramFolder folder;
    ModalDriver modals;
    int m_films = 0;
};

} // namespace

TEST_F(DeliveryWindowTest, ANodeThatIsDownIsShownOnTheLineAndSendToKeepsEveryOtherObligation)
{
    // No message box: the line turns red and names the node, the reason on hover.
    StoreScp orthanc("ORTHANC");
    const QString gone = QString("GONE|127.0.0.1|%1").arg(freePort());
    const QString archive = QString("ARCHIVE|127.0.0.1|%1").arg(freePort());
    auto first = start({orthanc.setting(), gone, archive});
    const QString uid = importFilm(*first);
    ASSERT_EQ(orthanc.received().size(), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return first->lblOutbox->text() == "Outbox: 1 image\n2 nodes fail"; }))
        << first->lblOutbox->text().toStdString();
    EXPECT_TRUE(first->lblOutbox->styleSheet().contains("#c00000"));
    EXPECT_TRUE(first->lblOutbox->toolTip().contains("ARCHIVE (127.0.0.1:")) << first->lblOutbox->toolTip().toStdString();
    first.reset();

    // GONE leaves the Preferences, NODEB comes: nothing is said at the start,
    // NODEB gets nothing by itself, and Send to offers only NODEB, which does
    // not hold the image, instead of a node it waits for.
    StoreScp b("NODEB");
    auto w = start({orthanc.setting(), archive, b.setting()});
    EXPECT_TRUE(b.received().isEmpty());
    EXPECT_TRUE(w->lblOutbox->toolTip().contains("1 image wait for GONE (127.0.0.1:")) << w->lblOutbox->toolTip().toStdString();
    QStringList row;
    QStringList offered;
    inOutboxWindow(
        modals, *w,
        [&](OutboxDialog* outbox) {
            outbox->lvOutbox->topLevelItem(0)->setSelected(true);
            row = firstRow(outbox);
            outbox->cmdSendTo->click();
            EXPECT_TRUE(QTest::qWaitFor([&] { return b.received().size() == 1; }));
        },
        [&] {
            modals.then([&](QWidget* dialog) {
                auto* choose = qobject_cast<QInputDialog*>(dialog);
                ASSERT_NE(choose, nullptr);
                offered = choose->comboBoxItems();
                choose->setTextValue(offered.value(0));
                choose->accept();
            });
        });
    ASSERT_GE(row.size(), 8);
    EXPECT_EQ(row[0], "Smith, John") << "the name as people read it";
    EXPECT_EQ(row[5], QString("GONE (127.0.0.1:%1) (no longer configured), ARCHIVE").arg(gone.section('|', 2)));
    EXPECT_EQ(row[6], "ORTHANC");
    EXPECT_FALSE(row[7].isEmpty()) << "the last failure is shown";
    ASSERT_EQ(offered.size(), 2) << offered.join(" / ").toStdString();
    EXPECT_TRUE(offered[0].startsWith(QString("NODEB (127.0.0.1:%1) instead of GONE").arg(b.port())));
    EXPECT_TRUE(offered[1].startsWith(QString("NODEB (127.0.0.1:%1) instead of ARCHIVE").arg(b.port())));
    EXPECT_EQ(DicomFile(b.received().first()).text(DCM_SOPInstanceUID), uid);
    EXPECT_EQ(orthanc.received().size(), 1) << "no duplicate for the node that held it";
    std::vector<OutboxEntry> left;
    EXPECT_TRUE(QTest::qWaitFor([&] {
        left = Outbox(folder.path()).entries();
        return left.size() == 1 && left[0].owed.size() == 1;
    }));
    ASSERT_EQ(left.size(), 1u) << "ARCHIVE is still owed the image";
    ASSERT_EQ(left[0].owed.size(), 1u);
    EXPECT_EQ(left[0].owed[0].aeTitle, "ARCHIVE");
}

TEST_F(DeliveryWindowTest, RemoveAsksFirstAndKeepsTheImageInRemoved)
{
    auto w = start({QString("DOWN|127.0.0.1|%1").arg(freePort()), "||", "||"});
    const QString uid = importFilm(*w);
    QString question;
    inOutboxWindow(modals, *w, [&](OutboxDialog* outbox) {
            outbox->lvOutbox->topLevelItem(0)->setSelected(true);
            outbox->cmdRemove->click();
            // The question is answered while the outbox window stays open.
            EXPECT_TRUE(QTest::qWaitFor([&] { return outbox->lvOutbox->topLevelItemCount() == 0; }, 10000));
        },
                   [&] {
                       modals.then([&](QWidget* box) {
                           question = static_cast<QMessageBox*>(box)->text();
                           static_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click();
                       });
                   });
    EXPECT_TRUE(question.startsWith("Remove image 1 of Smith, John (4711) from the outbox?")) << question.toStdString();
    EXPECT_TRUE(QFile::exists(folder.filePath("Outbox/removed/" + uid + ".dcm")));
    EXPECT_EQ(w->lblOutbox->text(), "Outbox: empty");
}

TEST_F(DeliveryWindowTest, TheOutboxWindowShowsATransferLiveAndCancelEndsItWithinASecond)
{
    // A node behind a slow link: the scan is done at once, the transfer goes on.
    StoreScp pacs("SLOWPACS");
    ThrottlingProxy link(pacs.port(), 16 * 1024);
    auto w = start({link.setting("SLOWPACS"), "||", "||"});
    writeFilmTiff(folder.filePath("Test.tif"), 512, 512);
    w->cmdScan->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->session().idle() && !w->session().scanning(); }, 5000));
    QString sending;
    QString after;
    qint64 cancelMs = -1;
    inOutboxWindow(modals, *w, [&](OutboxDialog* outbox) {
        QTreeWidgetItem* node = outbox->lvNodes->topLevelItem(0);
        ASSERT_NE(node, nullptr);
        ASSERT_TRUE(QTest::qWaitFor([&] { return node->text(1).startsWith("sending ") && outbox->cmdCancelSend->isEnabled(); }, 5000));
        sending = node->text(1);
        QElapsedTimer clock;
        clock.start();
        outbox->cmdCancelSend->click();
        EXPECT_TRUE(QTest::qWaitFor([&] { return node->text(1).startsWith("next try in"); }, 3000));
        cancelMs = clock.elapsed();
        after = node->text(3);
    });
    EXPECT_TRUE(sending.contains("%: Smith, John (4711), image 1")) << sending.toStdString();
    EXPECT_LT(cancelMs, 1000);
    EXPECT_TRUE(after.contains("cancelled by the operator")) << after.toStdString();
    EXPECT_EQ(Outbox(folder.path()).count(), 1) << "the image stays owed";
    EXPECT_TRUE(pacs.received().isEmpty());
}
