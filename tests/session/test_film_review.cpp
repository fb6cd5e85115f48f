// Films held for review through the session: nothing reaches a node before
// the operator accepts it, and a correction is made to the very pixels the
// node receives, with the film's identity kept.
#include "common/program_log.h"
#include "session/session_fixture.h"
#include "support/dicom_file.h"
#include "support/peers.h"
#include "support/tiff_writer.h"

#include <QSignalSpy>

using namespace skiascan;
using namespace skiascan::test;
using dicom::Correction;

namespace {

constexpr uint32_t kWidth = 128;
constexpr uint32_t kHeight = 96;

// Every pixel of the scanned film its own value.
uint32_t scanned(uint32_t x, uint32_t y)
{
    return 100 + x + 200 * y;
}

class FilmReviewTest : public SessionTest {
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        settings.ScanApp = "TESTMODE.EXE";
        // 127 dpi across, 254 dpi down: columns 0.2 mm apart, rows 0.1 mm.
        TiffShape shape;
        shape.width = kWidth;
        shape.height = kHeight;
        shape.xResolution = 127;
        shape.yResolution = 254;
        writeTiff(folder.filePath("Test.tif"), shape, scanned);
    }

    ScanSession& startHolding()
    {
        ScanSession& s = start();
        Options options;
        options.view.holdForReview = true;
        s.setConfiguration(settings, options);
        QObject::connect(&s, &ScanSession::filmArrived, [this](const ArrivedFilm& film) {
            arrived.push_back(film.entry.instanceUid);
        });
        return s;
    }

    QString scan()
    {
        EXPECT_TRUE(session->scanSingle(record()));
        EXPECT_TRUE(idle());
        return arrived.empty() ? QString() : arrived.back();
    }

    static Uint16 number(DicomFile& file, const DcmTagKey& key)
    {
        Uint16 value = 0;
        file.dataset().findAndGetUint16(key, value);
        return value;
    }

    QStringList arrived;
};

} // namespace

TEST_F(FilmReviewTest, HeldFilmsLeaveOnlyOnceAcceptedWithTheirCorrectionsInTheirPixels)
{
    StoreScp pacs("PACS");
    settings.Remote0 = pacs.setting();
    programlog::open(folder.path());
    ScanSession& s = startHolding();
    const QString turned = scan();
    const QString flipped = scan();
    ASSERT_EQ(arrived.size(), 2);
    EXPECT_TRUE(op.told.empty()) << op.texts().toStdString();
    EXPECT_EQ(s.review().heldFilms().size(), 2u);
    EXPECT_EQ(s.review().line().forms.value(0), "2 films to review");
    EXPECT_EQ(s.outboxLine(), "Outbox: 2 images");

    QSignalSpy corrected(&s.review(), &FilmReview::corrected);
    s.review().correct(turned, Correction::RotateRight);
    s.review().correct(flipped, Correction::FlipLeftRight);
    ASSERT_TRUE(QTest::qWaitFor([&] { return corrected.size() == 2; }, 20000));
    s.delivery().sendNow(); // as the outbox window's Send now
    ASSERT_TRUE(idle());
    EXPECT_TRUE(pacs.received().isEmpty()) << "no node gets a held film";

    s.review().accept(turned);
    ASSERT_TRUE(QTest::qWaitFor([&] { return pacs.received().size() == 1; }, 20000));
    ASSERT_TRUE(idle());
    EXPECT_EQ(pacs.received().size(), 1) << "the other film is still held";
    EXPECT_EQ(s.review().line().forms.value(0), "1 film to review");
    s.review().accept(flipped);
    ASSERT_TRUE(QTest::qWaitFor([&] { return pacs.received().size() == 2; }, 20000));
    ASSERT_TRUE(idle());
    EXPECT_TRUE(s.review().heldFilms().empty());
    EXPECT_TRUE(s.review().line().forms.isEmpty());
    EXPECT_EQ(s.outboxLine(), "");
    EXPECT_TRUE(op.told.empty()) << op.texts().toStdString();

    // What the node received, against the scanned TIFF turned and mirrored here.
    int checked = 0;
    for (const QString& path : pacs.received()) {
        DicomFile file(path);
        const QString uid = file.text(DCM_SOPInstanceUID);
        const std::vector<Uint16> pixels = file.pixels();
        const bool quarterTurn = uid == turned;
        ASSERT_TRUE(quarterTurn || uid == flipped) << uid.toStdString();
        const uint32_t columns = quarterTurn ? kHeight : kWidth;
        const uint32_t rows = quarterTurn ? kWidth : kHeight;
        EXPECT_EQ(number(file, DCM_Columns), columns);
        EXPECT_EQ(number(file, DCM_Rows), rows);
        EXPECT_EQ(file.text(DCM_NominalScannedPixelSpacing), quarterTurn ? "0.2\\0.1" : "0.1\\0.2");
        ASSERT_EQ(pixels.size(), std::size_t(columns) * rows);
        int wrong = 0;
        for (uint32_t y = 0; y < rows; ++y) {
            for (uint32_t x = 0; x < columns; ++x) {
                // Turned right, the film's left edge is at the top; mirrored, its right edge at the left.
                const uint32_t expected = quarterTurn ? scanned(y, kHeight - 1 - x) : scanned(kWidth - 1 - x, y);
                wrong += pixels[std::size_t(y) * columns + x] != expected;
            }
        }
        EXPECT_EQ(wrong, 0) << uid.toStdString();
        EXPECT_EQ(dciodvfyErrors(path), QStringList()) << uid.toStdString();
        ++checked;
    }
    EXPECT_EQ(checked, 2);

    QFile log(folder.filePath("Logs/skiascan.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(log.readAll());
    EXPECT_TRUE(text.contains(QString("correction: rotated 90 degrees right of image %1 of Doe^Jane").arg(turned)));
    EXPECT_TRUE(text.contains(QString("correction: flipped left-right of image %1 of Doe^Jane").arg(flipped)));
}
