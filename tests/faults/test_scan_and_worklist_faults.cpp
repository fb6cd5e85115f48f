// Faults of the image folder and of the worklist server, as the operator meets them.

#include "common/failure.h"
#include "app/main_window.h"
#include "dicom/dicom_toolkit.h"
#include "support/conditions.h"
#include "support/modal.h"
#include "support/mounts.h"
#include "support/peers.h"
#include "support/program_folder.h"
#include "support/qt_printers.h"
#include "support/worklist_server.h"
#include "support/volume.h"
#include "worklist/worklist_dialog.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace skiascan;
using namespace skiascan::test;

namespace {

class FaultTest : public ::testing::Test {
protected:
    TestConditions conditions{{.acseSeconds = 2, .dimseSeconds = 2}};
    std::unique_ptr<fSkiascan> start(const QString& imageFolder, int worklistPort = 104)
    {
        SettingsLines lines = ProgramFolder::defaultLines();
        lines[Setting::ScanApp] = QString(SKIASCAN_PROGRAM_DIR) + "/SCANFILE.EXE";
        lines[Setting::ImageFolder] = imageFolder;
        lines[Setting::WorklistIP] = "127.0.0.1";
        lines[Setting::WorklistPort] = QString::number(worklistPort);
        lines[Setting::WorklistAET] = "WLSRV";
        return startWindow(folder, lines, conditions.timeouts, conditions.limits);
    }

    // The worklist failure message, after which nothing in the window changed.
    // It names the server in plain words; the network's own account of what
    // happened is in the worklist log.
    SeenMessage worklistFailure(fSkiascan& w)
    {
        SeenMessage seen;
        modals.then(recordMessage(seen), isMessageBox);
        w.cmdWorklist->click();
        EXPECT_TRUE(seen.seen);
        EXPECT_EQ(seen.title, "X-Ray Skiascan");
        EXPECT_TRUE(seen.text.startsWith("The worklist server WLSRV (127.0.0.1:")) << seen.text.toStdString();
        EXPECT_FALSE(seen.text.contains("C-FIND")) << seen.text.toStdString();
        EXPECT_TRUE(seen.text.endsWith("\r\n\r\nWorklist-Query failed.")) << seen.text.toStdString();
        EXPECT_EQ(w.PATNachname->text(), "Smith");
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        return seen;
    }

    // What the worklist log says of the queries.
    QString worklistLog() const
    {
        QFile log(folder.filePath("Logs/wlscu.log"));
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }

    ProgramFolder folder;
    ModalDriver modals;
};

} // namespace

TEST_F(FaultTest, MissingImageFolderIsReportedBeforeTheScannerRuns)
{
    auto w = start(folder.filePath("nowhere") + "/");
    for (QPushButton* button : {w->cmdScan, w->cmdMultiScan}) {
        SeenMessage seen;
        modals.then(recordMessage(seen));
        button->click();
        ASSERT_TRUE(sessionIdle(*w));
        EXPECT_TRUE(seen.text.startsWith("The scanned image folder " + folder.filePath("nowhere") + "/ does not exist."))
            << seen.text.toStdString();
        EXPECT_TRUE(seen.text.endsWith("Please check Preferences"));
        EXPECT_TRUE(w->cmdScan->isEnabled());
        EXPECT_EQ(w->cursor().shape(), Qt::ArrowCursor);
    }
}

TEST_F(FaultTest, ReadOnlyImageFolderIsReportedBeforeTheScannerRuns)
{
    QDir(folder.path()).mkdir("scans");
    const ReadOnlyFolder readOnly(folder.filePath("scans"));
    auto w = start(folder.filePath("scans") + "/");
    SeenMessage seen;
    modals.then(recordMessage(seen));
    w->cmdScan->click();
    ASSERT_TRUE(sessionIdle(*w));
    EXPECT_TRUE(seen.text.contains("is not writable")) << seen.text.toStdString();
    EXPECT_TRUE(w->cmdScan->isEnabled());
}

TEST_F(FaultTest, WorklistServerRefusing)
{
    StoreScp refusing("WLSRV", {"--refuse"});
    auto w = start(folder.path() + "/", refusing.port());
    EXPECT_TRUE(worklistFailure(*w).text.contains("does not accept this station"));
    EXPECT_TRUE(worklistLog().contains("refuses the association")) << worklistLog().toStdString();
    EXPECT_TRUE(worklistLog().contains("C-FIND association request")) << worklistLog().toStdString();
}

TEST_F(FaultTest, WorklistServerAnsweringGarbage)
{
    SilentPeer garbage(QByteArray("HTTP/1.1 400 Bad Request\r\n\r\n") + QByteArray(4000, '\x07'));
    auto w = start(folder.path() + "/", garbage.port());
    // Connected, so not "cannot be reached": the peer does not speak DICOM.
    worklistFailure(*w);
    const QString log = worklistLog();
    EXPECT_TRUE(log.contains("C-FIND association request")) << log.toStdString();
    EXPECT_TRUE(log.contains("does not answer in DICOM")) << log.toStdString();
}

TEST_F(FaultTest, WorklistServerEndingWithAFailureStatus)
{
    for (unsigned short status : {0xA700, 0xC001}) {
        FindStatusScp failing(status, 2);
        auto w = start(folder.path() + "/", failing.port());
        const SeenMessage seen = worklistFailure(*w);
        EXPECT_TRUE(seen.text.contains("answered with an error")) << seen.text.toStdString();
        EXPECT_TRUE(worklistLog().contains(QString("answered the query with status 0x%1").arg(status, 4, 16, QChar('0'))))
            << worklistLog().toStdString();
    }
}

namespace {

// A worklist server of bad faith, and what the failure message says it did.
struct Hostility {
    const char* name;
    QStringList mode;
    const char* says;
};

void PrintTo(const Hostility& hostility, std::ostream* out)
{
    *out << hostility.name;
}

class HostileWorklistTest : public FaultTest, public ::testing::WithParamInterface<Hostility> {};

} // namespace

// Whatever the server does, the query ends within its bounds in the failure
// message, the memory stays bounded and the window is usable afterwards.
TEST_P(HostileWorklistTest, EndsWithinItsBoundsAndLeavesTheWindowUsable)
{
    dicom::QueryLimits& limits = conditions.limits;
    limits.deadlineSeconds = 4;
    limits.answers = volume(20000);
    QStringList mode = GetParam().mode;
    if (mode == QStringList{"count"})
        mode << QString::number(limits.answers + 1);
    HostileWorklist server(mode);
    auto w = start(folder.path() + "/", server.port());
    const long memoryBefore = peakResidentKilobytes();
    QElapsedTimer clock;
    clock.start();
    const SeenMessage seen = worklistFailure(*w);
    EXPECT_LT(clock.elapsed(), (limits.deadlineSeconds + 3) * 1000);
    const QString log = worklistLog();
    EXPECT_TRUE(log.contains("The worklist query to WLSRV (127.0.0.1:")) << log.toStdString();
    EXPECT_TRUE(log.contains(QString(GetParam().says).replace("%1", QString::number(limits.answers))))
        << log.toStdString();
    EXPECT_LT(peakResidentKilobytes() - memoryBefore, 100 * 1024) << "kilobytes more at the peak";
    EXPECT_EQ(server.queries(), 1);

    QTest::keyClicks(w->PATVorname, "Anna");
    EXPECT_EQ(w->PATVorname->text(), "JohnAnna");
    EXPECT_TRUE(w->cmdScan->isEnabled() && w->cmdWorklist->isEnabled());
}

INSTANTIATE_TEST_SUITE_P(
    Servers, HostileWorklistTest,
    ::testing::Values(Hostility{"Dripping", {"drip", "1000"}, "stopped: no end within 4 seconds"},
                      Hostility{"Endless", {"endless"}, "more than %1 answers"},
                      Hostility{"OneAnswerTooMany", {"count"}, "more than %1 answers"},
                      Hostility{"OneHugeAnswer", {"huge", "600"}, "an answer of more than 64 KB"},
                      Hostility{"ClaimingMoreThanItSends", {"claim"}, "it claims more bytes than it holds"},
                      Hostility{"SendingGarbage", {"garbage"}, "failed: "},
                      Hostility{"ClosingMidAnswer", {"close"}, "failed: "}),
    [](const ::testing::TestParamInfo<Hostility>& info) { return std::string(info.param.name); });

// Cancel ends a query that is still waiting for its answers at once, and
// without a message.
TEST_F(FaultTest, CancelEndsARunningQueryAtOnce)
{
    HostileWorklist server({"drip", "1000"});
    auto w = start(folder.path() + "/", server.port());
    qint64 cancelToEnd = -1;
    QElapsedTimer clock;
    modals.then(
        [&](QWidget* d) {
            auto* dialog = static_cast<fWorklist*>(d);
            ASSERT_TRUE(QTest::qWaitFor([&] { return server.queries() == 1; }, 10000));
            EXPECT_TRUE(dialog->windowTitle().endsWith("(querying, please wait ...)"));
            clock.start();
            dialog->cmdCancel->click();
        },
        [](QWidget* d) { return d->windowTitle().startsWith(fWorklist::kCaption); });
    w->cmdWorklist->click();
    cancelToEnd = clock.elapsed();
    EXPECT_GE(cancelToEnd, 0);
    EXPECT_LT(cancelToEnd, 1000);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(w->PATNachname->text(), "Smith");
    EXPECT_TRUE(w->cmdWorklist->isEnabled());
}

TEST_F(FaultTest, AVeryLongWorklistListsEveryEntry)
{
    // wlmscpfs with 10,000 entries for today (fewer under the sanitizers),
    // written with DCMTK directly.
    const int entries = volume(10000);
    QTemporaryDir db;
    QDir(db.path()).mkdir("WLSRV");
    QFile(db.filePath("WLSRV/lockfile")).open(QIODevice::WriteOnly);
    const QByteArray today = QDate::currentDate().toString("yyyyMMdd").toLatin1();
    for (int i = 0; i < entries; ++i) {
        DcmFileFormat file;
        DcmDataset* ds = file.getDataset();
        // An instance UID of its own, so that saving makes none up (which asks
        // the host's name, slow where the name does not resolve).
        ds->putAndInsertString(DCM_SOPClassUID, UID_FINDModalityWorklistInformationModel);
        ds->putAndInsertString(DCM_SOPInstanceUID, ("1.2.3." + QByteArray::number(i)).constData());
        ds->putAndInsertString(DCM_PatientName, ("Patient" + QByteArray::number(i) + "^Many").constData());
        ds->putAndInsertString(DCM_PatientID, ("ID" + QByteArray::number(i)).constData());
        DcmItem* step = nullptr;
        ds->findOrCreateSequenceItem(DCM_ScheduledProcedureStepSequence, step, -2);
        step->putAndInsertString(DCM_Modality, "CR");
        step->putAndInsertString(DCM_ScheduledProcedureStepStartDate, today.constData());
        step->putAndInsertString(DCM_ScheduledProcedureStepStartTime,
                                 QTime(0, 0).addSecs(i * 7 % 86400).toString("HHmmss").toLatin1().constData());
        ASSERT_TRUE(file.saveFile(db.filePath(QString("WLSRV/e%1.wl").arg(i)).toLocal8Bit().constData(),
                                  EXS_LittleEndianExplicit)
                        .good());
    }
    const int port = freePort();
    ChildProcess server("wlmscpfs", {"-dfr", "-dfp", db.path(), QString::number(port)});
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(waitForPort(port));
    conditions.timeouts = {.acseSeconds = 30, .dimseSeconds = 60};
    auto w = start(folder.path() + "/", port);
    int rows = 0;
    QString firstTime;
    modals.then(
        [&](QWidget* d) {
            auto* dialog = static_cast<fWorklist*>(d);
            rows = dialog->lvWorklist->topLevelItemCount();
            firstTime = dialog->lvWorklist->topLevelItem(0)->text(0);
            dialog->reject();
        },
        [](QWidget* d) { return d->windowTitle() == fWorklist::kCaption && d->cursor().shape() != Qt::WaitCursor; });
    w->cmdWorklist->click();
    server.kill();
    EXPECT_EQ(rows, entries);
    EXPECT_EQ(firstTime, "00:00:00");
}
