// The film view as the operator uses it: the film fitted to the window with
// who and what it is, the keys that ask for corrections, accept and reject
// while a film is held, the question before a reject, and the row of films.
#include "app/film_view.h"
#include "dicom/dicom_toolkit.h"
#include "dicom/image_attributes.h"
#include "support/conditions.h"
#include "support/qt_printers.h"
#include "support/tiff_writer.h"

#include <QAbstractButton>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace skiascan;
using namespace skiascan::test;
using dicom::Correction;

namespace {

constexpr uint32_t kWidth = 120;
constexpr uint32_t kHeight = 160;

class FilmViewTest : public ::testing::Test {
protected:
    TestConditions conditions;
    QTemporaryDir dir;
    FilmView view;

    FilmViewTest()
    {
        view.show();
        view.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&view));
    }

    // A film dark on its left and bright on its right (for MONOCHROME2),
    // built as the import builds it.
    std::shared_ptr<dicom::Image> image(const QString& uid, bool monochrome1 = false)
    {
        TiffShape shape;
        shape.width = kWidth;
        shape.height = kHeight;
        shape.photometric = monochrome1 ? 0 : 1;
        writeTiff(dir.filePath(uid + ".tif"), shape, [](uint32_t x, uint32_t) { return x * 4000 / kWidth; });
        auto film = std::make_shared<dicom::Image>();
        film->importFile(dir.filePath(uid + ".tif"), "TIF");
        const dicom::StudyRecord record{"Müller", "Jürgen", "", "4711", "01.02.1960", "M", "07.12.2026", "Chest PA",
                                        "", "", "CHEST", "2000", "4000"};
        dicom::setImageProperties(*film, record);
        dicom::addImageAttributes(*film, record, {"2.25.1", "10:00:00", "2.25.2", uid, 1, {}}, QDate(2026, 12, 7),
                                  [] { return QTime(10, 0, 0); });
        return film;
    }

    FilmInView film(const QString& uid, int number, int count, bool held)
    {
        FilmInView f;
        f.instanceUid = uid;
        f.image = image(uid);
        f.patientName = QStringLiteral("Müller^Jürgen");
        f.patientId = QStringLiteral("4711");
        f.birthDate = QDate(1960, 2, 1);
        f.bodyPart = QStringLiteral("CHEST");
        f.study = QStringLiteral("Chest PA");
        f.filmNumber = number;
        f.filmCount = count;
        f.held = held;
        f.viewOnly = !held;
        f.state = held ? QStringLiteral("held for review") : QStringLiteral("sent to PACS1");
        return f;
    }

    QLabel* picture() { return view.findChild<QLabel*>("filmImage"); }
    QString text(const char* name) { return view.findChild<QLabel*>(name)->text(); }

    // Waits until the shown film's picture is up and fills the room it has
    // (the room changes while the window lays out its texts), and returns it.
    QImage shownPicture()
    {
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                const QSize shown = picture()->pixmap().size();
                const QSize room = picture()->contentsRect().size();
                return !shown.isEmpty() && shown.width() <= room.width() && shown.height() <= room.height()
                       && (shown.width() == room.width() || shown.height() == room.height());
            },
            10000))
            << "a picture of " << picture()->pixmap().width() << "x" << picture()->pixmap().height() << " in "
            << picture()->contentsRect().width() << "x" << picture()->contentsRect().height();
        return picture()->pixmap().toImage().convertToFormat(QImage::Format_Grayscale8);
    }

    void key(int key) { QTest::keyClick(&view, Qt::Key(key)); }
};

} // namespace

TEST_F(FilmViewTest, AFilmShowsFittedWithWhoAndWhatItIsAndMonochrome1AsItIsRead)
{
    view.showFilm(film("2.25.10", 2, 6, true));
    const QImage shown = shownPicture();
    EXPECT_EQ(view.windowTitle(), QString::fromUtf8("Film 2 of 6 – Müller, Jürgen"));
    EXPECT_EQ(text("filmHeading"), QString::fromUtf8("Müller, Jürgen"));
    EXPECT_EQ(text("filmDetails"), "ID 4711 · born 01.02.1960\nCHEST · Chest PA · film 2 of 6");
    EXPECT_EQ(text("filmState"), "held for review");
    EXPECT_EQ(text("filmWindow"), "Window: centre 2000, width 4000"); // the film's own, from the settings

    // Fitted (shownPicture() waits for that), the film's proportions kept.
    EXPECT_NEAR(double(shown.width()) / shown.height(), double(kWidth) / kHeight, 0.02);
    const int middle = shown.height() / 2;
    EXPECT_LT(qGray(shown.pixel(2, middle)), 40);
    EXPECT_GT(qGray(shown.pixel(shown.width() - 3, middle)), 215);

    // A MONOCHROME1 film, read from its file: its lowest values are white.
    FilmInView inverted = film("2.25.11", 3, 6, false);
    image("2.25.11", true)->saveFile(dir.filePath("inverted.dcm"));
    inverted.image.reset();
    inverted.imagePath = dir.filePath("inverted.dcm");
    view.showFilm(inverted);
    EXPECT_EQ(view.shownFilm(), "2.25.10") << "the held film stays in front";
    view.showFilmOf("2.25.11");
    ASSERT_TRUE(QTest::qWaitFor([&] { return text("filmDetails").endsWith("film 3 of 6"); }, 1000));
    const QImage read = shownPicture();
    EXPECT_GT(qGray(read.pixel(2, read.height() / 2)), 215);
    EXPECT_LT(qGray(read.pixel(read.width() - 3, read.height() / 2)), 40);
    EXPECT_EQ(text("filmState"), "sent to PACS1");

    // The settings' window, then the mouse: a drag to the right widens it.
    view.setDefaultWindow(dicom::VoiWindow{1500, 3000});
    EXPECT_EQ(text("filmWindow"), "Window: centre 1500, width 3000");
    QTest::mousePress(picture(), Qt::LeftButton, {}, QPoint(10, 10));
    QTest::mouseMove(picture(), QPoint(74, 10));
    QTest::mouseRelease(picture(), Qt::LeftButton, {}, QPoint(74, 10));
    ASSERT_TRUE(text("filmWindow").startsWith("Window: centre 1500, width ")) << text("filmWindow").toStdString();
    EXPECT_GT(text("filmWindow").section(' ', -1).toInt(), 3500);
    QTest::mouseDClick(picture(), Qt::LeftButton, {}, QPoint(74, 10));
    EXPECT_EQ(text("filmWindow"), "Window: centre 1500, width 3000");
}

TEST_F(FilmViewTest, KeysAskForCorrectionsAcceptAndRejectOnlyWhileTheFilmIsHeld)
{
    QSignalSpy corrections(&view, &FilmView::correctionRequested);
    QSignalSpy accepted(&view, &FilmView::acceptRequested);
    QSignalSpy rejected(&view, &FilmView::rejectRequested);
    view.showFilm(film("2.25.20", 2, 6, true));

    for (int k : {Qt::Key_R, Qt::Key_L, Qt::Key_H, Qt::Key_V})
        key(k);
    view.findChild<QToolButton*>("cmdRotate180")->click();
    const Correction asked[] = {Correction::RotateRight, Correction::RotateLeft, Correction::FlipLeftRight,
                                Correction::FlipTopBottom, Correction::Rotate180};
    ASSERT_EQ(corrections.size(), 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(corrections[i][0].toString(), "2.25.20");
        EXPECT_EQ(corrections[i][1].value<Correction>(), asked[i]) << i;
    }
    key(Qt::Key_Return);
    ASSERT_EQ(accepted.size(), 1);
    EXPECT_EQ(accepted[0][0].toString(), "2.25.20");

    // Reject asks first, No the default: Return answers No.
    key(Qt::Key_Delete);
    QPointer<QMessageBox> question = view.findChild<QMessageBox*>("rejectQuestion");
    ASSERT_TRUE(question);
    ASSERT_TRUE(question->isVisible());
    EXPECT_EQ(question->text(), QString::fromUtf8("Reject film 2 of Müller, Jürgen? It will not be sent."));
    EXPECT_EQ(static_cast<QAbstractButton*>(question->defaultButton()), question->button(QMessageBox::No));
    QTest::keyClick(question, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return question.isNull(); }, 1000));
    EXPECT_EQ(rejected.size(), 0);

    // (Offscreen, nothing gives the window back its activation as a desktop does.)
    view.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    key(Qt::Key_Delete);
    question = view.findChild<QMessageBox*>("rejectQuestion");
    ASSERT_TRUE(question);
    question->button(QMessageBox::Yes)->click();
    ASSERT_EQ(rejected.size(), 1);
    EXPECT_EQ(rejected[0][0].toString(), "2.25.20");
    EXPECT_TRUE(QTest::qWaitFor([&] { return question.isNull(); }, 1000));
    view.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));

    // Once it has gone to a node the film can only be looked at.
    FilmInView sent = film("2.25.20", 2, 6, false);
    view.updateFilm(sent);
    EXPECT_EQ(text("filmState"), "sent to PACS1");
    for (const char* name : {"cmdAccept", "cmdReject", "cmdRotateRight", "cmdRotateLeft", "cmdRotate180",
                             "cmdFlipLeftRight", "cmdFlipTopBottom"})
        EXPECT_FALSE(view.findChild<QToolButton*>(name)->isEnabled()) << name;
    for (int k : {Qt::Key_R, Qt::Key_L, Qt::Key_H, Qt::Key_V, Qt::Key_Return, Qt::Key_Delete})
        key(k);
    EXPECT_EQ(corrections.size(), 5);
    EXPECT_EQ(accepted.size(), 1);
    EXPECT_EQ(view.findChild<QMessageBox*>("rejectQuestion"), nullptr);
}

TEST_F(FilmViewTest, TheArrowsAndTheThumbnailsStepThroughTheFilmsOfTheSession)
{
    for (int i = 1; i <= 3; ++i)
        view.showFilm(film(QStringLiteral("2.25.3%1").arg(i), i, 3, i == 3));
    auto* row = view.findChild<QListWidget*>("filmThumbnails");
    ASSERT_EQ(row->count(), 3);
    EXPECT_EQ(view.shownFilm(), "2.25.33");
    EXPECT_EQ(row->currentRow(), 2);
    EXPECT_TRUE(view.findChild<QToolButton*>("cmdAccept")->isEnabled());
    // A film arriving while the shown one waits for review joins the row
    // without taking its place: a key meant for film 3 stays with film 3.
    view.showFilm(film("2.25.34", 4, 4, false));
    EXPECT_EQ(view.shownFilm(), "2.25.33");
    ASSERT_EQ(row->count(), 4);

    // Every film gets its thumbnail: dark on the left, bright on the right.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            for (int i = 0; i < row->count(); ++i) {
                const QImage icon = row->item(i)->icon().pixmap(72, 88).toImage();
                if (qGray(icon.pixel(icon.width() - 2, icon.height() / 2)) < 200)
                    return false;
            }
            return true;
        },
        10000));

    key(Qt::Key_Left);
    EXPECT_EQ(view.shownFilm(), "2.25.32");
    EXPECT_EQ(row->currentRow(), 1);
    EXPECT_TRUE(view.windowTitle().startsWith("Film 2 of 3"));
    EXPECT_FALSE(view.findChild<QToolButton*>("cmdAccept")->isEnabled());
    key(Qt::Key_Left);
    key(Qt::Key_Left);
    EXPECT_EQ(view.shownFilm(), "2.25.31");
    key(Qt::Key_Right);
    EXPECT_EQ(view.shownFilm(), "2.25.32");

    const QRect third = row->visualItemRect(row->item(2));
    QTest::mouseClick(row->viewport(), Qt::LeftButton, {}, third.center());
    EXPECT_EQ(view.shownFilm(), "2.25.33");
    EXPECT_TRUE(view.windowTitle().startsWith("Film 3 of 3"));

    // A film taken out of the row leaves the one after it shown, or the one before.
    view.removeFilm("2.25.32");
    EXPECT_EQ(row->count(), 3);
    EXPECT_EQ(view.shownFilm(), "2.25.33");
    view.removeFilm("2.25.33");
    EXPECT_EQ(view.shownFilm(), "2.25.34");
    view.removeFilm("2.25.34");
    EXPECT_EQ(view.shownFilm(), "2.25.31");
    EXPECT_EQ(row->currentRow(), 0);
}
