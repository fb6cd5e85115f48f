// What the operator sees when a node or the disk misbehaves during an import,
// and that no film is ever lost: after each fault the scanned film is either
// still in the image folder or kept in the outbox, and the window goes on. A
// node's failure stops no one: no message box, the line below the buttons
// turns red and names the node, the reason on hover.

#include "common/failure.h"
#include "app/main_window.h"
#include "dicom/dicom_toolkit.h"
#include "settings/prefs_dialog.h"
#include "support/conditions.h"
#include "support/modal.h"
#include "support/mounts.h"
#include "support/peers.h"
#include "support/program_folder.h"
#include "support/qt_printers.h"
#include "support/tiff_writer.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <optional>

using namespace skiascan;
using namespace skiascan::test;

namespace {

// The outcome of one import with a good node first and the node under test second.
struct Outcome {
    bool filmInImageFolder = false;
    int outboxEntries = 0;
    QString outboxLabel;
    QString outboxTip;
    QString lastFailure; // "NODE (host:port): why", as the outbox window shows it
    bool red = false;
    int goodNodeImages = 0;
    bool windowUsable = false;
};

class SendingFaultTest : public ::testing::Test {
protected:
    TestConditions conditions{{.acseSeconds = 2, .dimseSeconds = 2}};
    void SetUp() override
    {
        QDir(images.path()).mkdir("scans");
        qputenv("SCANFILE_SIZE", "256x320");
    }
    void TearDown() override { qunsetenv("SCANFILE_SIZE"); }

    static SettingsLines linesFor(const QString& imageFolder)
    {
        SettingsLines lines = ProgramFolder::defaultLines();
        lines[Setting::ScanApp] = QString(SKIASCAN_PROGRAM_DIR) + "/SCANFILE.EXE";
        lines[Setting::ImageFolder] = imageFolder;
        return lines;
    }

    // Scans one film with the scanner simulator and returns its file.
    static QString scanOne(fSkiascan& w)
    {
        w.cmdScan->click();
        EXPECT_TRUE(sessionIdle(w));
        return w.session().ScanFile();
    }

    std::unique_ptr<fSkiascan> start(const QString& secondNode)
    {
        SettingsLines lines = linesFor(images.filePath("scans") + "/");
        lines[Setting::Remote0] = good.setting();
        lines[Setting::Remote1] = secondNode;
        return startWindow(folder, lines, conditions.timeouts);
    }

    Outcome importWith(const QString& secondNode)
    {
        auto w = start(secondNode);
        Outcome outcome;
        const QString film = scanOne(*w);
        outcome.filmInImageFolder = QFile::exists(film);
        outcome.outboxEntries = QDir(folder.filePath("Outbox")).entryList({"*.dcm"}, QDir::Files).size();
        outcome.outboxLabel = w->lblOutbox->text();
        outcome.outboxTip = w->lblOutbox->toolTip();
        for (const NodeStatus& status : w->session().delivery().status())
            if (status.failing)
                outcome.lastFailure = status.node.name() + ": " + status.lastFailure;
        outcome.red = w->lblOutbox->styleSheet().contains("#c00000");
        outcome.goodNodeImages = good.received().size();
        // Still usable: no dialog left open, and the entry rule still answers.
        w->PATNachname->clear();
        const bool disabled = !w->cmdScan->isEnabled();
        w->PATNachname->setText("Smith");
        outcome.windowUsable = QApplication::activeModalWidget() == nullptr && disabled && w->cmdScan->isEnabled();
        return outcome;
    }

    // A film is never lost: it stays as a TIFF or waits in the outbox.
    static void expectKeptForTheSecondNode(const Outcome& o, const QString& node, const QString& why)
    {
        EXPECT_TRUE(o.outboxTip.contains(node + " has taken no image since")) << o.outboxTip.toStdString();
        EXPECT_TRUE(o.lastFailure.startsWith(node + ": ")) << o.lastFailure.toStdString();
        EXPECT_TRUE(o.lastFailure.contains(why, Qt::CaseInsensitive)) << o.lastFailure.toStdString();
        EXPECT_FALSE(o.filmInImageFolder);
        EXPECT_EQ(o.outboxEntries, 1);
        EXPECT_EQ(o.outboxLabel, "Outbox: 1 image\n" + node.section(' ', 0, 0) + " fails");
        EXPECT_TRUE(o.red);
        EXPECT_EQ(o.goodNodeImages, 1);
        EXPECT_TRUE(o.windowUsable);
    }

    ProgramFolder folder;
    QTemporaryDir images;
    StoreScp good{"GOOD"};
    ModalDriver modals;
};

QString node(const QString& aet, int port)
{
    return QString("%1 (127.0.0.1:%2)").arg(aet).arg(port);
}

} // namespace

TEST_F(SendingFaultTest, NodeDown)
{
    const int port = freePort();
    expectKeptForTheSecondNode(importWith(QString("DOWN|127.0.0.1|%1").arg(port)), node("DOWN", port),
                               "cannot be reached: nothing listens on port");
}

TEST_F(SendingFaultTest, NodeRefusingTheAssociation)
{
    StoreScp refusing("REFUSE", {"--refuse"});
    expectKeptForTheSecondNode(importWith(refusing.setting()), node("REFUSE", refusing.port()), "refuses the association");
}

TEST_F(SendingFaultTest, NodeAbortingDuringTheTransfer)
{
    StoreScp aborting("ABORT", {"--abort-during"});
    expectKeptForTheSecondNode(importWith(aborting.setting()), node("ABORT", aborting.port()), "Sending an image to");
}

TEST_F(SendingFaultTest, NodeAbortingBeforeItConfirms)
{
    StoreScp aborting("ABORT", {"--abort-after"});
    expectKeptForTheSecondNode(importWith(aborting.setting()), node("ABORT", aborting.port()), "Sending an image to");
}

TEST_F(SendingFaultTest, NodeSilentAfterConnecting)
{
    SilentPeer silent;
    expectKeptForTheSecondNode(importWith(silent.setting("SILENT")), node("SILENT", silent.port()),
                               "no answer to the association request within 2 s");
}

TEST_F(SendingFaultTest, NodeSilentDuringTheStore)
{
    StoreScp sleepy("SLEEPY", {"--sleep-during", "5"});
    expectKeptForTheSecondNode(importWith(sleepy.setting()), node("SLEEPY", sleepy.port()), "no byte moved for 2 s");
}

TEST_F(SendingFaultTest, NodeAnsweringAFailureStatus)
{
    const struct {
        unsigned short status;
        const char* meaning;
    } classes[] = {{0xA700, "out of resources"},
                   {0xA900, "data set does not match the SOP class"},
                   {0xC123, "cannot understand or process the request"}};
    for (const auto& c : classes) {
        QDir(folder.filePath("Outbox")).removeRecursively();
        StatusScp failing(c.status, "FAILING");
        const Outcome o = importWith(failing.setting());
        expectKeptForTheSecondNode(o, node("FAILING", failing.port()),
                                   QString("status 0x%1 (%2)").arg(c.status, 4, 16, QChar('0')).arg(c.meaning));
        QDir(good.folder()).removeRecursively();
        QDir().mkpath(good.folder());
    }
}

TEST_F(SendingFaultTest, NodeAnsweringAWarningHasTheImage)
{
    for (unsigned short warning : {0xB000, 0xB007}) {
        StatusScp warned(warning, "WARNED");
        const Outcome o = importWith(warned.setting());
        EXPECT_FALSE(o.red) << warning;
        EXPECT_FALSE(o.filmInImageFolder);
        EXPECT_EQ(o.outboxEntries, 0);
        EXPECT_EQ(warned.storeRequests(), 1);
        EXPECT_TRUE(o.windowUsable);
    }
}

TEST_F(SendingFaultTest, AnOutboxThatCannotBeWrittenKeepsTheFilmWhereItIs)
{
    const int port = freePort();
    SettingsLines lines = linesFor(images.filePath("scans") + "/");
    lines[Setting::Remote0] = QString("DOWN|127.0.0.1|%1").arg(port);
    auto w = startWindow(folder, lines, conditions.timeouts);
    QDir(folder.path()).mkdir("Outbox");
    std::optional<ReadOnlyFolder> readOnly(folder.filePath("Outbox"));
    SeenMessage seen;
    modals.then(recordMessage(seen));
    const QString film = scanOne(*w);
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
    EXPECT_TRUE(seen.text.contains("could not be kept in the outbox")) << seen.text.toStdString();
    EXPECT_TRUE(seen.text.contains("The scanned file stays at " + film)) << seen.text.toStdString();
    EXPECT_TRUE(QFile::exists(film)) << "the film is not lost";
    EXPECT_EQ(QDir(folder.filePath("Journal")).entryList({"*.json"}, QDir::Files).size(), 1)
        << "the journal keeps it for the next start";
    readOnly.reset();

    // With the whole program folder read-only no scan starts: the journal could
    // not tell of its film after a crash.
    const ReadOnlyFolder programReadOnly(folder.path());
    QFile::remove(film);
    SeenMessage refused;
    modals.then(recordMessage(refused));
    scanOne(*w);
    EXPECT_TRUE(refused.text.endsWith("Please check Preferences")) << refused.text.toStdString();
    EXPECT_TRUE(QDir(images.filePath("scans")).entryList(QDir::Files).isEmpty()) << "the scanner did not run";

    // The preferences cannot be saved there either: the operator is told, and
    // the dialog stays open with what was typed.
    SeenMessage save;
    bool stillOpen = false;
    modals.then([](QWidget* d) { static_cast<fPrefs*>(d)->cmdOK->click(); })
        .then(recordMessage(save))
        .then([&](QWidget* d) {
            stillOpen = qobject_cast<fPrefs*>(d) != nullptr;
            static_cast<QDialog*>(d)->reject();
        });
    w->cmdPrefs->click();
    EXPECT_TRUE(save.text.endsWith("The settings were not saved.")) << save.text.toStdString();
    EXPECT_TRUE(stillOpen);
    EXPECT_FALSE(w->programEnded());
}

TEST_F(SendingFaultTest, DiskFullDuringTheOutboxWriteKeepsTheFilm)
{
    // The program folder on a disk too small for the image.
    QDir(folder.path()).mkdir("small");
    const QString program = folder.filePath("small");
    const SmallDisk disk(program, 128);
    if (!disk.mounted())
        GTEST_SKIP() << "mounting a small file system needs root";
    const int port = freePort();
    SettingsLines lines = linesFor(images.filePath("scans") + "/");
    lines[Setting::Remote0] = QString("DOWN|127.0.0.1|%1").arg(port);
    saveSettingsFile(settingsFilePath(program), lines);
    fSkiascan w(program);
    ASSERT_TRUE(w.startUp("Smith^John|4711|01.02.1960"));
    w.StudyDate->setText("07.12.2026");
    ASSERT_TRUE(sessionIdle(w));
    qputenv("SCANFILE_SIZE", "512x640");
    SeenMessage seen;
    modals.then(recordMessage(seen));
    const QString film = scanOne(w);
    EXPECT_TRUE(seen.text.contains("could not be kept in the outbox")) << seen.text.toStdString();
    EXPECT_TRUE(QFile::exists(film));
    EXPECT_TRUE(QDir(program + "/Outbox").entryList(QDir::Files | QDir::Hidden).isEmpty()) << "nothing half-written";
}
