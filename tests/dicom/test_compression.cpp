#include "common/failure.h"
#include "dicom/dicom_toolkit.h"
#include "dicom/image_attributes.h"
#include "support/conditions.h"
#include "support/dicom_file.h"
#include "support/peers.h"
#include "support/qt_printers.h"
#include "support/tiff_writer.h"
#include "support/worklist_server.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include <sys/stat.h>

using namespace skiascan;
using namespace skiascan::test;
using dicom::Image;

namespace {

constexpr const char* kJpegLs = "1.2.840.10008.1.2.4.80";
constexpr const char* kJpeg = "1.2.840.10008.1.2.4.70";
constexpr const char* kExplicit = "1.2.840.10008.1.2.1";

// A film as a scanner delivers it: smooth densities with grain, 12-bit values
// (so the image is signed, Pixel Representation 1), or, `wide`, values over
// the whole 16 bits (unsigned) on a min-is-white film.
struct Film {
    uint32_t width = 240;
    uint32_t height = 180;
    bool wide = false;

    uint32_t value(uint32_t x, uint32_t y) const
    {
        const uint32_t grain = (x * 2654435761u ^ y * 40503u) >> 27; // 0..31
        return wide ? (x * 271u + y * 113u + grain * 997u) & 0xFFFFu : 900u + x * 9u + y * 5u + grain;
    }
    std::vector<Uint16> pixels() const
    {
        std::vector<Uint16> all;
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x)
                all.push_back(static_cast<Uint16>(value(x, y)));
        return all;
    }
};

// The film's TIFF built into an image as the import does, with instance UID `uid`.
Image filmImage(const QTemporaryDir& dir, const Film& film, const QString& uid)
{
    const QString tiff = dir.filePath(uid + ".tif");
    TiffShape shape;
    shape.width = film.width;
    shape.height = film.height;
    shape.photometric = film.wide ? 0 : 1;
    writeTiff(tiff, shape, [&](uint32_t x, uint32_t y) { return film.value(x, y); });
    Image image;
    image.importFile(tiff, "TIF");
    const dicom::StudyRecord r{"Smith", "John", "", "4711", "19600201", "M", "20261207", "", "", "", "CHEST", "1500", "3000"};
    dicom::setImageProperties(image, r);
    dicom::addImageAttributes(image, r, {"2.25.1", "10:00:00", "2.25.2", uid, 1, {}}, QDate(2026, 12, 7),
                              [] { return QTime(10, 0, 1); });
    return image;
}

// The files a node received, once there are `count` and each is whole.
QStringList completeFiles(const StoreScp& node, int count)
{
    QStringList files;
    const bool whole = QTest::qWaitFor(
        [&] {
            files = node.received();
            return files.size() == count && std::all_of(files.begin(), files.end(), [](const QString& file) {
                       return !completeImagePixels(file).empty();
                   });
        },
        10000);
    EXPECT_TRUE(whole) << files.size() << " files received, " << count << " expected";
    return whole ? files : QStringList();
}

} // namespace

// A copy is the same image with its pixels compressed, bit for bit what the
// film held, whether the image is in memory or back from its outbox file, and
// whatever its Pixel Representation and photometric interpretation.
TEST(Compression, ACopyDecodesToTheFilmsPixelsInEitherSyntax)
{
    QTemporaryDir dir;
    int n = 0;
    for (Compression compression : {Compression::JpegLsLossless, Compression::JpegLossless})
        for (bool wide : {false, true})
            for (bool fromFile : {false, true}) {
                SCOPED_TRACE(QString("%1, %2, %3")
                                 .arg(compressionName(compression), wide ? "16-bit MONOCHROME1" : "12-bit MONOCHROME2",
                                      fromFile ? "from its file" : "in memory")
                                 .toStdString());
                const Film film{240, 180, wide};
                const QString uid = QString("2.25.%1").arg(100 + ++n);
                Image image = filmImage(dir, film, uid);
                const QString original = dir.filePath(uid + ".dcm");
                image.saveFile(original);
                if (fromFile)
                    image = Image::loadFile(original);
                const QString copy = dir.filePath(uid + ".copy");
                dicom::encodeCopy(image, compression, copy);

                DicomFile uncompressed(original);
                DicomFile compressed(copy);
                EXPECT_EQ(compressed.transferSyntax(), compression == Compression::JpegLsLossless ? kJpegLs : kJpeg);
                for (const DcmTagKey& key : {DCM_SOPInstanceUID, DCM_SOPClassUID, DCM_Rows, DCM_Columns, DCM_BitsAllocated,
                                             DCM_BitsStored, DCM_HighBit, DCM_PixelRepresentation,
                                             DCM_PhotometricInterpretation, DCM_PatientName, DCM_SpecificCharacterSet})
                    EXPECT_EQ(compressed.text(key), uncompressed.text(key)) << DcmTag(key).getTagName();
                EXPECT_EQ(compressed.text(DCM_PixelRepresentation), wide ? "0" : "1");
                EXPECT_FALSE(compressed.has(DCM_DerivationDescription));
                EXPECT_EQ(dciodvfyErrors(copy), QStringList());
                EXPECT_TRUE(completeImagePixels(copy) == film.pixels()) << "the decoded pixels differ from the film's";
                EXPECT_LT(QFile(copy).size(), QFile(original).size());
                struct stat status {};
                ASSERT_EQ(::stat(QFile::encodeName(copy).constData(), &status), 0);
                EXPECT_EQ(status.st_mode & 0777, 0600u) << "the copy is readable by others";

                // Read back for sending: only as the syntax it is.
                EXPECT_EQ(dicom::loadCopy(copy, compression).text(0x0008, 0x0018), uid);
                const Compression other = compression == Compression::JpegLsLossless ? Compression::JpegLossless
                                                                                       : Compression::JpegLsLossless;
                try {
                    dicom::loadCopy(copy, other);
                    ADD_FAILURE() << "a copy was read as another syntax";
                } catch (const Failure& e) {
                    EXPECT_EQ(e.kind(), Failure::Kind::Damaged) << e.description().toStdString();
                }
            }

    // Copies made at once on threads of their own, as background tasks make
    // them, are as exact.
    const Film film{300, 200, false};
    Image image = filmImage(dir, film, "2.25.150");
    std::vector<QString> failures(2);
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([&, i, copy = image.sharedCopy()] {
            try {
                dicom::encodeCopy(copy, i == 0 ? Compression::JpegLsLossless : Compression::JpegLossless,
                                  dir.filePath(QString("at-once-%1.copy").arg(i)));
            } catch (const Failure& e) {
                failures[std::size_t(i)] = e.description();
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(failures[std::size_t(i)], QString());
        EXPECT_TRUE(completeImagePixels(dir.filePath(QString("at-once-%1.copy").arg(i))) == film.pixels());
    }

    const QStringList left = QDir(dir.path()).entryList({".writing-*"}, QDir::Files | QDir::Hidden);
    EXPECT_TRUE(left.isEmpty()) << left.join(' ').toStdString();
}

// A copy that cannot be made or read says why and leaves nothing behind.
TEST(Compression, AFailedCopySaysWhyAndLeavesNothing)
{
    QTemporaryDir dir;
    Image image = filmImage(dir, {}, "2.25.7");
    const QString nowhere = dir.filePath("missing/2.25.7.copy");
    try {
        dicom::encodeCopy(image, Compression::JpegLsLossless, nowhere);
        ADD_FAILURE() << "a copy was written into a folder that is not there";
    } catch (const Failure& e) {
        EXPECT_EQ(e.kind(), Failure::Kind::File);
        EXPECT_TRUE(e.description().startsWith("The image could not be compressed as JPEG-LS lossless into "))
            << e.description().toStdString();
        EXPECT_TRUE(e.description().contains(nowhere)) << e.description().toStdString();
    }
    EXPECT_THROW(dicom::encodeCopy(image, Compression::None, dir.filePath("none.copy")), Failure);
    EXPECT_FALSE(QFile::exists(dir.filePath("none.copy")));

    // A copy cut short (a damaged disk) is not sent.
    const QString copy = dir.filePath("2.25.7.copy");
    dicom::encodeCopy(image, Compression::JpegLsLossless, copy);
    QFile file(copy);
    ASSERT_TRUE(file.resize(file.size() / 2));
    try {
        dicom::loadCopy(copy, Compression::JpegLsLossless);
        ADD_FAILURE() << "a copy cut short was read";
    } catch (const Failure& e) {
        EXPECT_EQ(e.kind(), Failure::Kind::Damaged) << e.description().toStdString();
    }
    const QStringList left = QDir(dir.path()).entryList({".writing-*"}, QDir::Files | QDir::Hidden);
    EXPECT_TRUE(left.isEmpty()) << left.join(' ').toStdString();
}

// The node's answer decides: a storescp that prefers a lossless syntax gets the
// copy in it, one that takes only uncompressed images gets the image as it is,
// and what each node decodes is the film.
TEST(Compression, EachStorescpGetsTheSyntaxItAcceptsAndDecodesTheFilm)
{
    QTemporaryDir dir;
    const Film film;
    Image image = filmImage(dir, film, "2.25.10");
    const QString jpegLsCopy = dir.filePath("2.25.10.jls");
    const QString jpegCopy = dir.filePath("2.25.10.jpg");
    dicom::encodeCopy(image, Compression::JpegLsLossless, jpegLsCopy);
    dicom::encodeCopy(image, Compression::JpegLossless, jpegCopy);

    const struct {
        QStringList options;
        Compression offered;
        QString copy;
        Compression expected;
        const char* syntax;
    } cases[] = {
        {{"+xt"}, Compression::JpegLsLossless, jpegLsCopy, Compression::JpegLsLossless, kJpegLs},
        {{"+xs"}, Compression::JpegLossless, jpegCopy, Compression::JpegLossless, kJpeg},
        {{}, Compression::JpegLsLossless, jpegLsCopy, Compression::None, kExplicit},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(("storescp " + c.options.join(' ') + " offered " + compressionName(c.offered)).toStdString());
        StoreScp node("STORE", c.options);
        dicom::NetworkGuard guard;
        dicom::StoreAssociation association("127.0.0.1", node.port(), node.aeTitle(), "SKIASCAN", kShortTimeouts, guard,
                                            {}, false, c.offered);
        EXPECT_EQ(association.acceptedCompression(), c.expected);
        const dicom::StoreAssociation::Stored stored = association.store(image, c.copy);
        EXPECT_EQ(stored.syntax, c.expected);
        EXPECT_EQ(stored.copyUnused, QString());
        association.release();
        for (const QString& file : completeFiles(node, 1)) {
            EXPECT_TRUE(completeImagePixels(file) == film.pixels()) << "the node's pixels differ from the film's";
            DicomFile received(file);
            EXPECT_EQ(received.transferSyntax(), c.syntax);
            EXPECT_EQ(received.text(DCM_SOPInstanceUID), "2.25.10");
        }
    }

    // A copy that is not this image's, or not in the syntax the node took,
    // is not sent: the image goes uncompressed, and the reason is told.
    StoreScp node("STORE", {"+xt"});
    dicom::NetworkGuard guard;
    dicom::StoreAssociation association("127.0.0.1", node.port(), node.aeTitle(), "SKIASCAN", kShortTimeouts, guard, {},
                                        false, Compression::JpegLsLossless);
    Image other = filmImage(dir, film, "2.25.11");
    dicom::StoreAssociation::Stored stored = association.store(other, jpegLsCopy);
    EXPECT_EQ(stored.syntax, Compression::None);
    EXPECT_TRUE(stored.copyUnused.contains("another image")) << stored.copyUnused.toStdString();
    stored = association.store(image, jpegCopy);
    EXPECT_EQ(stored.syntax, Compression::None);
    EXPECT_TRUE(stored.copyUnused.contains("compressed as JPEG-LS lossless")) << stored.copyUnused.toStdString();
    association.release();
    const QStringList files = completeFiles(node, 2);
    EXPECT_EQ(valuesIn(files, DCM_SOPInstanceUID), QStringList({"2.25.10", "2.25.11"}));
    for (const QString& file : files) {
        EXPECT_EQ(DicomFile(file).transferSyntax(), kExplicit);
        EXPECT_TRUE(completeImagePixels(file) == film.pixels());
    }
}

// Orthanc takes JPEG-LS lossless, keeps it so, and its own decoder serves the
// film's pixels.
TEST(Compression, OrthancStoresJpegLsAndServesTheFilmsPixels)
{
    QTemporaryDir dir;
    const Film film{320, 200, false};
    Image image = filmImage(dir, film, "2.25.20");
    const QString copy = dir.filePath("2.25.20.jls");
    dicom::encodeCopy(image.sharedCopy(), Compression::JpegLsLossless, copy);
    OrthancServer orthanc;
    dicom::NetworkGuard guard;
    dicom::StoreAssociation association("127.0.0.1", orthanc.dicomPort(), orthanc.aeTitle(), "SKIASCAN", kShortTimeouts,
                                        guard, {}, false, Compression::JpegLsLossless);
    EXPECT_EQ(association.store(image, copy).syntax, Compression::JpegLsLossless);
    association.release();

    const QJsonArray instances = QJsonDocument::fromJson(orthanc.get("/instances")).array();
    ASSERT_EQ(instances.size(), 1);
    const QString instance = "/instances/" + instances[0].toString();
    EXPECT_EQ(orthanc.get(instance + "/metadata/TransferSyntax"), kJpegLs);
    QImage served;
    ASSERT_TRUE(served.loadFromData(orthanc.get(instance + "/frames/0/image-uint16"), "PNG"));
    ASSERT_EQ(served.format(), QImage::Format_Grayscale16);
    ASSERT_EQ(served.width(), int(film.width));
    ASSERT_EQ(served.height(), int(film.height));
    std::vector<Uint16> pixels;
    for (int y = 0; y < served.height(); ++y) {
        const auto* line = reinterpret_cast<const quint16*>(served.constScanLine(y));
        pixels.insert(pixels.end(), line, line + served.width());
    }
    EXPECT_TRUE(pixels == film.pixels()) << "Orthanc's pixels differ from the film's";
}
