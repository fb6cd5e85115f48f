// Skiascan killed at the worst moments (kill -9, as a power cut would), and a
// second Skiascan started in the same program folder: the built program on a
// virtual X server of its own (see tests/support/test_main.cpp), with
// the scanner simulator and storescp.

#include "support/desktop.h"
#include "support/dicom_file.h"
#include "support/peers.h"
#include "support/program_folder.h"
#include "support/qt_printers.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QSet>

#include <gtest/gtest.h>

#include <csignal>

using namespace skiascan;
using namespace skiascan::test;

namespace {

class CrashTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        installProgram(folder.path());
        QDir(folder.path()).mkdir("images");
    }

    void configure(const QString& node)
    {
        SettingsLines lines = ProgramFolder::defaultLines();
        lines[Setting::ScanApp] = folder.filePath("SCANFILE.EXE");
        lines[Setting::ImageFolder] = folder.filePath("images") + "/";
        lines[Setting::Remote0] = node;
        folder.writeSettings(lines);
    }

    // Starts Skiascan for patient RP1, types today's date and presses Enter.
    void startScan(QProcess& skiascan, const QStringList& scanner)
    {
        startProgram(skiascan, folder.path(), {"Crash^Carl|RP1|1960-02-01"}, scanner);
        QString window;
        ASSERT_TRUE(waitUntil([&] { return !(window = windowNamed("X-Ray Skiascan")).isEmpty(); }, 20000));
        xdotool({"windowfocus", "--sync", window});
        const Operator person(window);
        person.typeInto(160, 200, QDate::currentDate().toString(Qt::ISODate));
        person.key("Return");
    }

    static void kill(QProcess& skiascan)
    {
        ::kill(static_cast<pid_t>(skiascan.processId()), SIGKILL);
        skiascan.waitForFinished(10000);
    }

    QStringList files(const QString& subfolder, const QString& pattern) const
    {
        return QDir(folder.filePath(subfolder)).entryList({pattern}, QDir::Files);
    }

    bool logSays(const QString& text) const
    {
        QFile log(folder.filePath("Logs/skiascan.log"));
        return log.open(QIODevice::ReadOnly) && QString::fromUtf8(log.readAll()).contains(text);
    }

    // The start after the crash delivers the film under its patient, with one
    // SOP Instance UID however often it was sent, and leaves nothing behind. A
    // film that was in the scanner is told of; one in the outbox just goes.
    void restartDelivers(const StoreScp& pacs, bool recovered = true)
    {
        QProcess again;
        startProgram(again, folder.path(), {});
        EXPECT_TRUE(waitUntil([&] { return !pacs.received().isEmpty() && files("Journal", "*.json").isEmpty(); }, 30000))
            << "the film did not arrive after the restart";
        QSet<QString> instances;
        for (const QString& file : pacs.received()) {
            DicomFile image(file);
            EXPECT_EQ(image.text(DCM_PatientName), "Crash^Carl");
            EXPECT_EQ(image.text(DCM_PatientID), "RP1");
            instances.insert(image.text(DCM_SOPInstanceUID));
        }
        EXPECT_EQ(instances.size(), 1);
        if (recovered) {
            EXPECT_TRUE(waitUntil([&] { return !windowNamed("Skiascan").isEmpty(); }, 10000))
                << "the operator was not told of the recovered film";
        }
        EXPECT_TRUE(waitUntil([&] { return files("Outbox", "*.entry").isEmpty(); }, 10000));
        EXPECT_TRUE(files("images", "*").isEmpty());
        again.kill();
        again.waitForFinished(10000);
    }

    ProgramFolder folder;
};

} // namespace

TEST_F(CrashTest, AKillWhileTheScannerRunsLosesNoFilm)
{
    StoreScp pacs("PACS");
    configure(pacs.setting());
    QProcess first;
    startScan(first, {"SCANFILE_DELAY_MS=3000", "SCANFILE_SIZE=256x320"});
    ASSERT_TRUE(waitUntil([&] { return !files("Journal", "*.json").isEmpty(); }, 20000))
        << "no journal entry while the scanner runs";
    kill(first);
    // The scanner, on its own now, still delivers its film to the image folder.
    ASSERT_TRUE(waitUntil([&] { return !files("images", "*.tif").isEmpty(); }, 20000));
    EXPECT_TRUE(pacs.received().isEmpty());
    restartDelivers(pacs);
}

TEST_F(CrashTest, AKillWhileTheFilmIsSentLosesNoFilm)
{
    // A node that takes its time with every PDU (a small film is one or two).
    StoreScp pacs("PACS", {"--sleep-during", "2"});
    configure(pacs.setting());
    QProcess first;
    startScan(first, {"SCANFILE_DELAY_MS=200", "SCANFILE_SIZE=64x96"});
    ASSERT_TRUE(waitUntil([&] { return logSays(" kept for PACS"); }, 20000)) << "the film was not kept";
    kill(first);
    EXPECT_EQ(files("Outbox", "*.entry").size(), 1) << "the outbox holds the film";
    EXPECT_TRUE(files("Journal", "*.json").isEmpty());
    restartDelivers(pacs, false);
}

// With compression, the copy made for the node survives the kill beside its
// image and is what the node gets after the restart: made once, pixel-exact.
TEST_F(CrashTest, AKillBetweenTheCompressedCopyAndItsSendKeepsTheCopy)
{
    StoreScp pacs("PACS", {"+xt", "--sleep-during", "2"});
    configure(pacs.setting());
    QFile options(folder.filePath("Skiascan.options.ini"));
    ASSERT_TRUE(options.open(QIODevice::WriteOnly));
    options.write("[Node0]\nCompression=jpeg-ls-lossless\n");
    options.close();
    QProcess first;
    startScan(first, {"SCANFILE_DELAY_MS=200", "SCANFILE_SIZE=64x96"});
    ASSERT_TRUE(waitUntil([&] { return logSays("compression: JPEG-LS lossless copy of image"); }, 20000))
        << "no copy was made";
    kill(first);
    const QStringList copies = files("Outbox", "*.jls");
    ASSERT_EQ(copies.size(), 1) << "the copy did not survive the kill";
    const QStringList images = files("Outbox", "*.dcm");
    ASSERT_EQ(images.size(), 1);
    const std::vector<Uint16> built = completeImagePixels(folder.filePath("Outbox/" + images[0]));

    restartDelivers(pacs, false);
    ASSERT_EQ(pacs.received().size(), 1);
    DicomFile received(pacs.received()[0]);
    EXPECT_EQ(received.transferSyntax(), "1.2.840.10008.1.2.4.80");
    EXPECT_EQ(completeImagePixels(pacs.received()[0]), built);
    QFile log(folder.filePath("Logs/skiascan.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(log.readAll()).count("compression: JPEG-LS lossless copy of image"), 1)
        << "the copy was made again";
    EXPECT_TRUE(files("Outbox", "*.jls").isEmpty()) << "the copy outlived its image";
}

TEST_F(CrashTest, ASecondStartInTheSameProgramFolderSaysSoAndEnds)
{
    configure("||");
    QProcess first;
    startProgram(first, folder.path(), {});
    ASSERT_TRUE(waitUntil([&] { return !windowNamed("X-Ray Skiascan").isEmpty(); }, 20000));
    QProcess second;
    startProgram(second, folder.path(), {});
    QString message;
    ASSERT_TRUE(waitUntil([&] { return !(message = windowNamed("Skiascan")).isEmpty(); }, 20000))
        << "the second start said nothing";
    xdotool({"windowfocus", "--sync", message});
    xdotool({"key", "Return"});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_NE(second.exitCode(), 0);
    EXPECT_TRUE(logSays("not started: Skiascan already runs in " + folder.path()));
    EXPECT_EQ(first.state(), QProcess::Running);
    first.kill();
    first.waitForFinished(10000);
}
