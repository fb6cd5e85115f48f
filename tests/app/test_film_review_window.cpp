// Review before sending, as the operator meets it: held films open the film
// view, wait on the line below the buttons and in the outbox window, stay held
// across a restart, leave when accepted and never when rejected; a film that
// looks blank is held with review off, and a turn asked for in the view is
// in the film the node receives.
#include "app/film_view_link.h"
#include "app/main_window.h"
#include "delivery/outbox_dialog.h"
#include "settings/options_file.h"
#include "support/conditions.h"
#include "support/dicom_file.h"
#include "support/modal.h"
#include "support/peers.h"
#include "support/program_folder.h"
#include "support/qt_printers.h"
#include "support/tiff_writer.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace skiascan;
using namespace skiascan::test;

namespace {

class FilmReviewWindowTest : public ::testing::Test {
protected:
    TestConditions conditions{{.acseSeconds = 2, .dimseSeconds = 10}};

    std::unique_ptr<fSkiascan> start(const QString& remote, bool holdForReview, bool showEachFilm)
    {
        Options options;
        options.view.holdForReview = holdForReview;
        options.view.showEachFilm = showEachFilm;
        saveOptions(optionsFilePath(folder.path()), options);
        SettingsLines lines = ProgramFolder::defaultLines();
        lines[Setting::Remote0] = remote;
        lines[Setting::ImageFolder] = folder.path() + "/";
        return startWindow(folder, lines, conditions.timeouts);
    }

    static FilmView& viewOf(fSkiascan& w) { return w.findChild<FilmViewLink*>()->view(); }
    static QString label(FilmView& view, const char* name) { return view.findChild<QLabel*>(name)->text(); }

    // Makes the view the active window, as the operator's click on it does,
    // and presses a key there.
    static void press(FilmView& view, Qt::Key key)
    {
        view.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
        QTest::keyClick(&view, key);
    }

    // A double-click as the desktop delivers it: a click, then the second
    // press as a double-click, then its release.
    static void doubleClick(QWidget* widget, QPoint at)
    {
        QTest::mouseClick(widget, Qt::LeftButton, {}, at);
        QMouseEvent second(QEvent::MouseButtonDblClick, at, widget->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, {});
        QApplication::sendEvent(widget, &second);
        QTest::mouseRelease(widget, Qt::LeftButton, {}, at);
    }

    QString received(const StoreScp& node, int index) const
    {
        return DicomFile(node.received().value(index)).text(DCM_SOPInstanceUID);
    }

    ProgramFolder folder;
    ModalDriver modals;
};

} // namespace

TEST_F(FilmReviewWindowTest, HeldFilmsWaitForTheOperatorAcrossARestartAndARejectedOneNeverLeaves)
{
    StoreScp pacs("PACS");
    auto w = start(pacs.setting(), true, false);
    writeFilmTiff(folder.filePath("Test.tif"));
    w->ScrollFilms->setValue(7 - 2); // two films in the feeder
    w->cmdMultiScan->click();
    ASSERT_TRUE(sessionIdle(*w));
    FilmView& view = viewOf(*w);
    EXPECT_TRUE(view.isVisible()) << "a held film opens the view";
    EXPECT_EQ(view.filmCount(), 2);
    EXPECT_TRUE(view.windowTitle().startsWith("Film 1 of 2")) << "the first stays in front until it is reviewed";
    EXPECT_EQ(label(view, "filmState"), "held for review");
    EXPECT_TRUE(view.findChild<QToolButton*>("cmdAccept")->isEnabled());
    EXPECT_TRUE(w->lblOutbox->text().contains("2 films to review")) << w->lblOutbox->text().toStdString();
    EXPECT_TRUE(pacs.received().isEmpty()) << "the stack ran on, no film left";
    std::vector<QString> held;
    for (const FilmReview::HeldFilm& film : w->session().review().heldFilms())
        held.push_back(film.instanceUid);
    ASSERT_EQ(held.size(), 2u);
    w.reset();

    // A second start on the same folder: still held, still on the line.
    auto again = start(pacs.setting(), true, false);
    FilmView& second = viewOf(*again);
    EXPECT_TRUE(again->lblOutbox->text().contains("2 films to review")) << again->lblOutbox->text().toStdString();
    EXPECT_FALSE(second.isVisible()) << "a start opens no view";
    EXPECT_EQ(second.filmCount(), 2);
    EXPECT_TRUE(pacs.received().isEmpty());

    // The outbox window says they are held; a double-click opens the view on one.
    QString waitsFor;
    inOutboxWindow(modals, *again, [&](OutboxDialog* outbox) {
        ASSERT_EQ(outbox->lvOutbox->topLevelItemCount(), 2);
        QTreeWidgetItem* first = outbox->lvOutbox->topLevelItem(0);
        waitsFor = first->text(5);
        const QRect row = outbox->lvOutbox->visualItemRect(first);
        doubleClick(outbox->lvOutbox->viewport(), row.center());
    });
    EXPECT_TRUE(waitsFor.startsWith("held for review: PACS")) << waitsFor.toStdString();
    ASSERT_TRUE(second.isVisible());
    EXPECT_EQ(second.shownFilm(), held[0]);
    EXPECT_TRUE(second.windowTitle().startsWith("Film 1 of 2")) << second.windowTitle().toStdString();

    // Return accepts: the film goes at once, the other stays held.
    press(second, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return pacs.received().size() == 1; }, 20000));
    ASSERT_TRUE(sessionIdle(*again));
    EXPECT_EQ(received(pacs, 0), held[0]);
    EXPECT_TRUE(QTest::qWaitFor([&] { return label(second, "filmState") == "sent to PACS"; }, 5000))
        << label(second, "filmState").toStdString();
    EXPECT_FALSE(second.findChild<QToolButton*>("cmdAccept")->isEnabled()) << "view-only once sent";
    EXPECT_TRUE(again->lblOutbox->text().contains("1 film to review")) << again->lblOutbox->text().toStdString();

    // The View button on the other; Delete asks, No being the default; Yes rejects it.
    inOutboxWindow(modals, *again, [&](OutboxDialog* outbox) {
        ASSERT_EQ(outbox->lvOutbox->topLevelItemCount(), 1);
        outbox->lvOutbox->topLevelItem(0)->setSelected(true);
        outbox->cmdView->click();
    });
    EXPECT_EQ(second.shownFilm(), held[1]);
    QString question;
    bool noIsDefault = false;
    modals.then([&](QWidget* box) {
        auto* asked = static_cast<QMessageBox*>(box);
        question = asked->text();
        noIsDefault = asked->defaultButton() == asked->button(QMessageBox::No);
        asked->button(QMessageBox::Yes)->click();
    });
    press(second, Qt::Key_Delete);
    ASSERT_TRUE(QTest::qWaitFor([&] { return second.filmCount() == 1; }, 10000));
    EXPECT_EQ(question, "Reject film 2 of Smith, John? It will not be sent.");
    EXPECT_TRUE(noIsDefault);
    EXPECT_TRUE(QFile::exists(folder.filePath("Outbox/removed/" + held[1] + ".dcm")));
    ASSERT_TRUE(sessionIdle(*again));
    EXPECT_EQ(again->lblOutbox->text(), "Outbox: empty");
    EXPECT_EQ(pacs.received().size(), 1) << "a rejected film never leaves";
}

TEST_F(FilmReviewWindowTest, AFilmThatLooksBlankIsHeldWithReviewOffAndATurnAskedInTheViewReachesTheNode)
{
    StoreScp pacs("PACS");
    auto w = start(pacs.setting(), false, true);
    writeFilmTiff(folder.filePath("Test.tif"), 128, 96);
    w->cmdScan->click();
    ASSERT_TRUE(sessionIdle(*w));
    FilmView& view = viewOf(*w);
    EXPECT_TRUE(view.isVisible()) << "Show each film";
    ASSERT_TRUE(QTest::qWaitFor([&] { return pacs.received().size() == 1; }, 20000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return label(view, "filmState") == "sent to PACS"; }, 5000))
        << label(view, "filmState").toStdString();
    EXPECT_FALSE(view.findChild<QToolButton*>("cmdAccept")->isEnabled());

    // The scanner ran without a film: nearly uniform, some noise.
    TiffShape blank;
    blank.width = 128;
    blank.height = 96;
    writeTiff(folder.filePath("Test.tif"), blank, [](uint32_t x, uint32_t y) { return 2000 + (x * 7 + y * 13) % 5; });
    w->cmdScan->click();
    ASSERT_TRUE(sessionIdle(*w));
    EXPECT_EQ(view.filmCount(), 2);
    EXPECT_EQ(label(view, "filmState"), "held for review: it looks blank");
    EXPECT_TRUE(view.findChild<QToolButton*>("cmdAccept")->isEnabled());
    EXPECT_EQ(w->lblOutbox->text(), "Outbox: 1 image\nFilm 1 looks blank: review it");
    EXPECT_TRUE(w->lblOutbox->toolTip().contains("Film 1 looks blank: review it"))
        << w->lblOutbox->toolTip().toStdString();
    EXPECT_EQ(pacs.received().size(), 1) << "held with review off";

    // R turns it right, Return sends it as turned.
    press(view, Qt::Key_R);
    press(view, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return pacs.received().size() == 2; }, 20000));
    ASSERT_TRUE(sessionIdle(*w));
    DicomFile turned(pacs.received().filter(view.shownFilm()).value(0));
    Uint16 rows = 0;
    Uint16 columns = 0;
    turned.dataset().findAndGetUint16(DCM_Rows, rows);
    turned.dataset().findAndGetUint16(DCM_Columns, columns);
    EXPECT_EQ(rows, 128);
    EXPECT_EQ(columns, 96);
    EXPECT_EQ(w->lblOutbox->text(), "Outbox: empty");
}
