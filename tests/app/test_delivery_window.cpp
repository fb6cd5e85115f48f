// What the operator sees of delivery: the outbox window and its actions, the
// progress window with Cancel, clicks made while the window was busy sending,
// and a round asked for during a round.
#include "app/main_window.h"
#include "delivery/outbox_dialog.h"
#include "dicom/image_attributes.h"
#include "delivery/progress_dialog.h"
#include "support/conditions.h"
#include "support/dicom_file.h"
#include "support/modal.h"
#include "support/peers.h"
#include "support/program_folder.h"
#include "support/qt_printers.h"
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

    QString lastUid() const
    {
        QStringList entries = QDir(folder.filePath("Outbox")).entryList({"*.entry"}, QDir::Files, QDir::Time);
        return entries.isEmpty() ? QString() : entries.first().chopped(6);
    }

    // Queues `inside` for the outbox window, then what `after` queues for the
    // windows it opens, and clicks the outbox count.
    void inOutboxWindow(fSkiascan& w, const std::function<void(OutboxDialog*)>& inside,
                        const std::function<void()>& after = {})
    {
        modals.then([inside](QWidget* dialog) {
            auto* outbox = qobject_cast<OutboxDialog*>(dialog);
            ASSERT_NE(outbox, nullptr);
            inside(outbox);
            outbox->cmdClose->click();
        });
        if (after)
            after();
        QTest::mouseClick(w.lblOutbox, Qt::LeftButton);
    }

    ProgramFolder folder;
    ModalDriver modals;
    int m_films = 0;
};

} // namespace

TEST_F(DeliveryWindowTest, AnImageWhoseNodeIsGoneIsSentElsewhereFromTheOutboxWindow)
{
    SeenMessage failed;
    modals.then(recordMessage(failed));
    auto first = start({QString("GONE|127.0.0.1|%1").arg(freePort()), "||", "||"});
    const QString uid = importFilm(*first);
    EXPECT_TRUE(failed.text.contains("GONE")) << failed.text.toStdString();
    first.reset();

    // GONE is taken out of the Preferences, B put in its row: B gets nothing by
    // itself, and the operator hears that an image waits for GONE.
    StoreScp b("NODEB");
    SeenMessage waits;
    modals.then(recordMessage(waits));
    auto w = start({b.setting(), "||", "||"});
    EXPECT_TRUE(waits.text.contains("1 image wait for GONE, which is no longer in the Preferences."))
        << waits.text.toStdString();
    EXPECT_TRUE(b.received().isEmpty());
    EXPECT_EQ(w->lblOutbox->text(), "Outbox: 1 image");

    QStringList row;
    inOutboxWindow(
        *w,
        [&](OutboxDialog* outbox) {
            QTreeWidgetItem* item = outbox->lvOutbox->topLevelItem(0);
            ASSERT_NE(item, nullptr);
            for (int c = 0; c < outbox->lvOutbox->columnCount(); ++c)
                row << item->text(c);
            outbox->cmdSendTo->click();
            EXPECT_TRUE(QTest::qWaitFor([&] { return outbox->lvOutbox->topLevelItemCount() == 0; }))
                << "sent, gone from the list";
        },
        [&] {
            modals.then([&b](QWidget* dialog) {
                auto* choose = qobject_cast<QInputDialog*>(dialog);
                ASSERT_NE(choose, nullptr);
                EXPECT_EQ(choose->comboBoxItems(), QStringList(QString("NODEB (127.0.0.1:%1)").arg(b.port())));
                choose->accept();
            });
        });
    ASSERT_GE(row.size(), 6);
    EXPECT_EQ(row[0], "Smith^John");
    EXPECT_EQ(row[1], "4711");
    EXPECT_EQ(row[4], "GONE (no longer configured)");
    EXPECT_FALSE(row[5].isEmpty()) << "the last failure is shown";
    ASSERT_EQ(b.received().size(), 1);
    EXPECT_EQ(DicomFile(b.received().first()).text(DCM_SOPInstanceUID), uid);
    EXPECT_EQ(w->lblOutbox->text(), "");
}

TEST_F(DeliveryWindowTest, RemoveAsksFirstAndKeepsTheImageInRemoved)
{
    SeenMessage failed;
    modals.then(recordMessage(failed));
    auto w = start({QString("DOWN|127.0.0.1|%1").arg(freePort()), "||", "||"});
    const QString uid = importFilm(*w);
    QString question;
    inOutboxWindow(*w, [](OutboxDialog* outbox) { outbox->cmdRemove->click(); },
                   [&] {
                       modals.then([&](QWidget* box) {
                           question = static_cast<QMessageBox*>(box)->text();
                           static_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click();
                       });
                   });
    EXPECT_TRUE(question.startsWith("Remove image 1 of Smith^John (4711) from the outbox?")) << question.toStdString();
    EXPECT_TRUE(QFile::exists(folder.filePath("Outbox/removed/" + uid + ".dcm")));
    EXPECT_EQ(w->lblOutbox->text(), "");
}

TEST_F(DeliveryWindowTest, CancelInTheProgressWindowLeavesTheImageOwed)
{
    StoreScp slow("SLOW", {"--sleep-during", "30"});
    auto w = start({slow.setting(), "||", "||"});
    bool cancelClicked = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        auto* progress = w->findChild<DeliveryProgressDialog*>();
        if (progress && progress->isVisible() && !cancelClicked) {
            cancelClicked = true;
            QTest::mouseClick(progress->cmdCancel, Qt::LeftButton);
        }
    });
    watch.start(50);
    SeenMessage told;
    modals.then(recordMessage(told));
    const QString uid = importFilm(*w, 512, 512);
    EXPECT_TRUE(cancelClicked) << "the progress window did not show";
    EXPECT_EQ(told.icon, QMessageBox::Information);
    EXPECT_TRUE(told.text.startsWith("Sending was cancelled.")) << told.text.toStdString();
    EXPECT_TRUE(QFile::exists(folder.filePath("Outbox/" + uid + ".entry")));
    EXPECT_EQ(w->lblOutbox->text(), "Outbox: 1 image");
}

TEST_F(DeliveryWindowTest, WhileARoundRunsTheLineSaysWhyScanningWaitsAndARoundAskedForFollowsIt)
{
    // An image waits for SLOW, which is not configured yet.
    SeenMessage waits;
    modals.then(recordMessage(waits));
    auto w = start({QString("SLOW|127.0.0.1|%1").arg(freePort()), "||", "||"});
    importFilm(*w);

    // SLOW, a node that reads slowly, is configured: the round after the
    // preferences sends the image. Meanwhile another image comes into the
    // outbox and asks for a round.
    StoreScp slow("SLOW", {"--sleep-during", "1"});
    SettingsLines lines = ProgramFolder::defaultLines();
    lines[Setting::Remote0] = slow.setting();
    lines[Setting::ImageFolder] = folder.path() + "/";
    folder.writeSettings(lines);
    modals.then(rejectDialog());
    w->cmdPrefs->click();
    ASSERT_EQ(w->session().state(), SessionState::SendingOutbox);
    EXPECT_EQ(w->lblOutbox->text(), "Sending the outbox");
    EXPECT_FALSE(w->cmdScan->isEnabled());
    EXPECT_FALSE(w->cmdPrefs->isEnabled());

    const QString tiff = folder.filePath("second.tif");
    writeFilmTiff(tiff);
    dicom::Image image;
    image.importFile(tiff, "TIF");
    const dicom::StudyRecord r{"Second", "Film", "", "4712", "19600201", "M", "20261207", "", "", "", "CHEST", "1500", "3000"};
    dicom::setImageProperties(image, r);
    dicom::addImageAttributes(image, r, {"2.25.70", "10:00:00", "2.25.71", "2.25.72", 1}, QDate(2026, 12, 7),
                              [] { return QTime(10, 0, 1); });
    OutboxEntry entry;
    entry.instanceUid = "2.25.72";
    entry.owed = {{"SLOW", "127.0.0.1", 0, {}, {}}};
    entry.kept = QDateTime::currentDateTime();
    Outbox outbox(folder.path());
    outbox.keep(image, entry);
    w->session().sendOutbox(RoundCause::Operator);

    ASSERT_TRUE(sessionIdle(*w));
    EXPECT_EQ(slow.received().size(), 2) << "the image that came during the round went in the round after it";
    EXPECT_EQ(w->lblOutbox->text(), "");
    EXPECT_TRUE(w->cmdScan->isEnabled());
}
