#include "settings/options_dialog.h"
#include "settings/prefs_dialog.h"
#include "dicom/dicom_toolkit.h"
#include "support/certificates.h"
#include "support/modal.h"
#include "support/mpps_node.h"
#include "support/peers.h"
#include "support/program_folder.h"
#include "support/worklist_server.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>

#include "support/qt_printers.h"

#include <gtest/gtest.h>

using namespace skiascan;
using namespace skiascan::test;

namespace {

Settings sample()
{
    Settings s;
    s.ScanApp = "/opt/scanner/SCANFILE.EXE";
    s.Parameters = "/R:150";
    s.ImageFolder = "/scans/";
    s.TestApp = "/opt/scanner/acr";
    s.LocalAET = "SKIASCAN";
    s.Remote0 = "";
    s.Remote1 = "AE|";
    s.Remote2 = "PACS|10.0.0.5|104|extra";
    s.WorklistIP = "10.0.0.7";
    s.WorklistPort = 0;
    s.WorklistAET = "WLSRV";
    s.ScheduledAET = "SKIA1";
    s.ScheduledStation = "Room 2";
    s.ScheduledModality = "CR";
    return s;
}

} // namespace

TEST(PrefsDialog, FillsTheFieldsAndSavesDestinationsWithBothSeparators)
{
    ProgramFolder folder;
    fPrefs dialog(sample(), folder.settingsPath());
    EXPECT_EQ(dialog.windowTitle(), "Preferences");
    EXPECT_EQ(dialog.RemoteAET[0]->text(), "");
    EXPECT_EQ(dialog.RemoteAET[1]->text(), "AE");
    EXPECT_EQ(dialog.IPAddress[1]->text(), "");
    EXPECT_EQ(dialog.IPPort[2]->text(), "104");
    EXPECT_EQ(dialog.WorklistPort->text(), "0");
    EXPECT_EQ(dialog.ScheduledModality->text(), "CR");
    EXPECT_EQ(dialog.Frame1->title(), "Image send to:");
    EXPECT_EQ(dialog.Frame2->title(), "Worklist Informations");

    dialog.txtParameters->setText("  /R:150 /X  ");
    dialog.ScheduledStation->setText(" Room 2 ");
    dialog.cmdOK->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(folder.settingsBytes(), QByteArray("/opt/scanner/SCANFILE.EXE\r\n/R:150 /X\r\n/scans/\r\n"
                                                 "/opt/scanner/acr\r\nSKIASCAN\r\n1500\r\n3000\r\n"
                                                 "||\r\nAE||\r\nPACS|10.0.0.5|104\r\n10.0.0.7\r\n0\r\n"
                                                 "WLSRV\r\nCR\r\nSKIA1\r\n Room 2 \r\n"));
}

TEST(PrefsDialog, EnterAndEscapeCancelWithoutSaving)
{
    ProgramFolder folder;
    for (int key : {Qt::Key_Return, Qt::Key_Escape}) {
        fPrefs dialog(sample(), folder.settingsPath());
        ModalDriver modals;
        modals.then([key](QWidget* w) {
            auto* prefs = static_cast<fPrefs*>(w);
            prefs->ScanApp->setFocus();
            QTest::keyClick(prefs->ScanApp, static_cast<Qt::Key>(key));
        });
        EXPECT_EQ(dialog.exec(), QDialog::Rejected);
        EXPECT_FALSE(QFile::exists(folder.settingsPath()));
    }
}

TEST(PrefsDialog, AFailedSaveIsReportedAndTheDialogStaysOpen)
{
    ProgramFolder folder;
    fPrefs dialog(sample(), folder.filePath("missing/Skiascan.ini"));
    SeenMessage seen;
    bool openAfterMessage = false;
    ModalDriver modals;
    modals.then(clickButton("cmdOK")).then(recordMessage(seen)).then([&](QWidget* w) {
        openAfterMessage = w == &dialog;
        dialog.reject();
    });
    dialog.exec();
    ASSERT_TRUE(seen.seen);
    EXPECT_TRUE(openAfterMessage);
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
    EXPECT_TRUE(seen.text.contains("missing/Skiascan.ini")) << seen.text.toStdString();
    EXPECT_TRUE(seen.text.endsWith("\r\n\r\nThe settings were not saved.")) << seen.text.toStdString();
}

TEST(PrefsDialog, BrowsingForTheScannerFillsItsPathAndCancelKeepsIt)
{
    ProgramFolder folder;
    QFile(folder.filePath("SCANFILE.EXE")).open(QIODevice::WriteOnly);
    fPrefs dialog(sample(), folder.settingsPath());
    QString title;
    QStringList filters;
    bool caseSensitive = true;
    ModalDriver modals;
    modals.then([&](QWidget* w) {
        auto* chooser = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(chooser, nullptr);
        title = chooser->windowTitle();
        filters = chooser->nameFilters();
        caseSensitive = chooser->filter().testFlag(QDir::CaseSensitive);
        // As an operator types the name (selectFile() leaves a focused name box alone).
        auto* name = chooser->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(name, nullptr);
        name->setText(folder.filePath("SCANFILE.EXE"));
        static_cast<QDialog*>(chooser)->accept(); // QFileDialog hides accept()
    });
    dialog.BrowseApp->click();
    EXPECT_EQ(title, "Select Scanning-Application");
    EXPECT_EQ(filters.value(0), "Application (*.exe)");
    EXPECT_FALSE(caseSensitive);
    EXPECT_EQ(dialog.ScanApp->text(), folder.filePath("SCANFILE.EXE"));

    modals.then(rejectDialog());
    dialog.BrowseTest->click();
    EXPECT_EQ(dialog.TestApp->text(), "/opt/scanner/acr");
}

TEST(PrefsDialog, ChosenImageFolderEndsWithOneSeparator)
{
    ProgramFolder folder;
    QDir(folder.path()).mkdir("scans");
    fPrefs dialog(sample(), folder.settingsPath());
    QString title;
    ModalDriver modals;
    auto choose = [&](const QString& path) {
        return [&title, path](QWidget* w) {
            auto* chooser = qobject_cast<QFileDialog*>(w);
            ASSERT_NE(chooser, nullptr);
            title = chooser->windowTitle();
            chooser->setDirectory(path);
            static_cast<QDialog*>(chooser)->accept(); // QFileDialog hides accept()
        };
    };
    modals.then(choose(folder.filePath("scans")));
    dialog.BrowseFolder->click();
    EXPECT_EQ(title, "Select Image-Folder");
    EXPECT_EQ(dialog.ImageFolder->text(), folder.filePath("scans") + "/");

    modals.then(choose("/"));
    dialog.BrowseFolder->click();
    EXPECT_EQ(dialog.ImageFolder->text(), "/");

    modals.then(rejectDialog());
    dialog.BrowseFolder->click();
    EXPECT_EQ(dialog.ImageFolder->text(), "/");
}

// Verify echoes with the values as typed, and over TLS for a node that the
// More page sets to TLS (its PEM files found from the program folder). It does
// not wait in a loop of its own: the answer comes in a message box, in plain
// words; the worklist server is not told of storage commitment.
TEST(PrefsDialog, VerifySendsAnEchoWithTheTypedValues)
{
    ProgramFolder folder;
    StoreScp pacs("PACS1");
    TestAuthority authority;
    const TestAuthority::Issued node = authority.issue("node");
    ASSERT_TRUE(QFile::copy(authority.certificate(), folder.filePath("authority.pem")));
    StoreScp secure("SECURE", {"+tls", node.privateKey, node.certificate, "-ic"});
    Options options;
    options.nodes[2].tls = {true, "authority.pem", {}, {}};
    fPrefs dialog(sample(), folder.settingsPath(), options);
    ModalDriver modals;
    const auto verify = [&](QPushButton* button) {
        SeenMessage seen;
        modals.then(recordMessage(seen));
        button->click();
        EXPECT_TRUE(QTest::qWaitFor([&] { return seen.seen; }, 40000));
        return seen;
    };

    const SeenMessage empty = verify(dialog.VerifyRemote[0]);
    EXPECT_EQ(empty.icon, QMessageBox::Information);
    EXPECT_EQ(empty.text, "This row is empty: there is no node to verify.");
    const SeenMessage noPort = verify(dialog.VerifyRemote[1]); // "AE|": a title, nothing else
    EXPECT_EQ(noPort.icon, QMessageBox::Warning);
    EXPECT_EQ(noPort.text, "This row has no IP-Address and IP-Port. Fill it in to verify the node.");

    dialog.RemoteAET[1]->setText("PACS1");
    dialog.IPAddress[1]->setText("127.0.0.1");
    dialog.IPPort[1]->setText(QString::number(pacs.port()));
    const SeenMessage good = verify(dialog.VerifyRemote[1]);
    EXPECT_EQ(good.icon, QMessageBox::Information);
    // storescp offers storage only: the answer says it takes no commitment.
    EXPECT_EQ(good.text, QString("PACS1 (127.0.0.1:%1) answered.\nIt does not accept storage commitment.").arg(pacs.port()));

    dialog.RemoteAET[2]->setText("SECURE");
    dialog.IPAddress[2]->setText("127.0.0.1");
    dialog.IPPort[2]->setText(QString::number(secure.port()));
    const SeenMessage overTls = verify(dialog.VerifyRemote[2]);
    EXPECT_EQ(overTls.icon, QMessageBox::Information);
    EXPECT_TRUE(overTls.text.startsWith(QString("SECURE (127.0.0.1:%1) answered over TLS 1.").arg(secure.port())))
        << overTls.text.toStdString();

    WlmScp worklist;
    dialog.WorklistIP->setText("127.0.0.1");
    dialog.WorklistPort->setText(QString::number(worklist.port()));
    dialog.WorklistAET->setText("WLSRV");
    const SeenMessage server = verify(dialog.VerifyWorklist);
    EXPECT_EQ(server.text, QString("The worklist server WLSRV (127.0.0.1:%1) answered.").arg(worklist.port()));

    const int down = freePort();
    dialog.WorklistPort->setText(QString::number(down));
    const SeenMessage bad = verify(dialog.VerifyWorklist);
    EXPECT_EQ(bad.icon, QMessageBox::Critical);
    EXPECT_TRUE(bad.text.startsWith(QString("The worklist server WLSRV (127.0.0.1:%1) does not answer. Check that it runs")
                                        .arg(down)))
        << bad.text.toStdString();
    EXPECT_FALSE(bad.text.contains("C-ECHO")) << bad.text.toStdString();
    EXPECT_TRUE(bad.text.endsWith("\r\n\r\nThe verification failed."));

    // A node that takes the connection and says nothing shows "Verifying ...";
    // its Cancel ends the echo at once, with nothing more to tell.
    SilentPeer silent;
    dialog.WorklistPort->setText(QString::number(silent.port()));
    QString waitingText;
    modals.then([&](QWidget* w) {
        auto* waiting = qobject_cast<QProgressDialog*>(w);
        ASSERT_NE(waiting, nullptr);
        waitingText = waiting->labelText();
        auto* cancel = waiting->findChild<QPushButton*>();
        ASSERT_NE(cancel, nullptr);
        cancel->click();
    });
    QSignalSpy told(dialog.findChild<NodeVerifier*>(), &NodeVerifier::told);
    QElapsedTimer clock;
    clock.start();
    dialog.VerifyWorklist->click();
    ASSERT_TRUE(told.wait(10000));
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_EQ(waitingText, QString("Verifying WLSRV (127.0.0.1:%1) ...").arg(silent.port()));
    EXPECT_EQ(modals.pending(), 0u);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_FALSE(QFile::exists(folder.settingsPath())) << "verifying saves nothing";
}

// The page behind "More..." edits the second file; the sixteen lines stay as
// they are, and a station that never changes an option gets no second file.
TEST(PrefsDialog, MoreWritesTheOptionsFileBesideTheSixteenLines)
{
    ProgramFolder folder;
    const QString optionsPath = optionsFilePath(folder.path());
    {
        fPrefs dialog(sample(), folder.settingsPath());
        dialog.cmdOK->click();
        EXPECT_FALSE(QFile::exists(optionsPath));
    }
    const QByteArray sixteenLines = folder.settingsBytes();

    fPrefs dialog(sample(), folder.settingsPath());
    SeenMessage noPort;
    SeenMessage refused;
    ModalDriver modals;
    modals.then([](QWidget* w) {
        auto* page = qobject_cast<fOptions*>(w);
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(page->findChild<QLabel*>("lblNode_2")->text(), "PACS at 10.0.0.5:104");
        page->chkUseScheduledStudy->setChecked(true);
        page->nodeTls[2].enabled->setChecked(true);
        page->nodeTls[2].trustedCertificates->setText("/etc/skiascan/ca.pem");
        page->chkStorageCommitment[1]->setChecked(true);
        EXPECT_EQ(page->cboCompression[0]->currentText(), "None");
        page->cboCompression[0]->setCurrentText("JPEG-LS lossless");
        EXPECT_FALSE(page->chkShowEachFilm->isChecked() || page->chkHoldForReview->isChecked());
        page->chkHoldForReview->setChecked(true);
        page->cmdOK->click(); // refused: commitment without a port for the reports
    }).then(recordMessage(noPort)).then([](QWidget* w) {
        auto* page = qobject_cast<fOptions*>(w);
        page->txtLocalPort->setText("70000");
        page->cmdOK->click(); // refused: no port number
    }).then(recordMessage(refused)).then([](QWidget* w) {
        auto* page = qobject_cast<fOptions*>(w);
        page->txtLocalPort->setText("11114");
        page->cmdOK->click();
    });
    dialog.cmdMore->click();
    EXPECT_TRUE(noPort.text.contains("local port")) << noPort.text.toStdString();
    EXPECT_TRUE(refused.text.contains("70000")) << refused.text.toStdString();
    dialog.cmdOK->click();
    EXPECT_EQ(folder.settingsBytes(), sixteenLines);

    const Options options = loadOptions(optionsPath);
    EXPECT_TRUE(options.useScheduledStudy);
    EXPECT_TRUE(options.nodes[2].tls.enabled);
    EXPECT_EQ(options.nodes[2].tls.trustedCertificates, "/etc/skiascan/ca.pem");
    EXPECT_TRUE(options.nodes[1].storageCommitment);
    EXPECT_FALSE(options.nodes[0].storageCommitment || options.worklistTls.enabled);
    EXPECT_EQ(options.localPort, 11114);
    EXPECT_EQ(options.nodes[0].compression, Compression::JpegLsLossless);
    EXPECT_EQ(options.nodes[1].compression, Compression::None);
    EXPECT_TRUE(options.view.holdForReview);
    EXPECT_FALSE(options.view.showEachFilm);
    QFile file(optionsPath);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    EXPECT_TRUE(text.contains("[Worklist]") && text.contains("UseScheduledStudy=true")) << text.constData();
    EXPECT_TRUE(text.contains("Compression=jpeg-ls-lossless")) << text.constData();
    EXPECT_TRUE(text.contains("[View]") && text.contains("HoldForReview=true") && text.contains("ShowEachFilm=false"))
        << text.constData();

    // A value the file cannot hold keeps its default and is named.
    file.close();
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[Worklist]\nUseScheduledStudy=maybe\n[Local]\nPort=104\n"
               "[Node1]\nCompression=jpeg-2000\n[Node2]\nCompression=JPEG-Lossless\n");
    file.close();
    QStringList problems;
    const Options read = loadOptions(optionsPath, &problems);
    EXPECT_FALSE(read.useScheduledStudy);
    EXPECT_EQ(read.localPort, 104);
    EXPECT_EQ(read.nodes[1].compression, Compression::None);
    EXPECT_EQ(read.nodes[2].compression, Compression::JpegLossless);
    ASSERT_EQ(problems.size(), 2) << problems.join('\n').toStdString();
    EXPECT_TRUE(problems.last().contains("Node1/Compression \"jpeg-2000\"")) << problems.last().toStdString();
}

// The MPPS tab: Verify, with the station's AE title as the preferences have it
// typed, says whether the node takes performed procedure steps, in the tab
// and without holding the dialog; a node that does not answer can be
// cancelled. OK refuses an enabled node it could not reach, and the file
// keeps the node under the Mpps keys.
TEST(PrefsDialog, TheMppsTabVerifiesTheNodeAndKeepsItInTheOptionsFile)
{
    ProgramFolder folder;
    MppsNode ris;
    StoreScp pacs;
    SilentPeer silent;
    fPrefs dialog(sample(), folder.settingsPath());
    const auto verify = [](fOptions* page, const QString& aeTitle, int port) {
        page->txtMppsAETitle->setText(aeTitle);
        page->txtMppsHost->setText("127.0.0.1");
        page->txtMppsPort->setText(QString::number(port));
        page->cmdVerifyMpps->click();
        EXPECT_EQ(page->cmdVerifyMpps->text(), "Cancel");
        EXPECT_EQ(page->lblMppsVerify->text(), QString("Verifying %1 (127.0.0.1:%2) ...").arg(aeTitle).arg(port));
    };
    const auto verdict = [](fOptions* page) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return page->cmdVerifyMpps->text() == "Verify"; }, 20000));
        return page->lblMppsVerify->text();
    };
    QString takesSteps;
    QString storageOnly;
    QString cancelled;
    qint64 cancelMs = 0;
    SeenMessage noAddress;
    ModalDriver modals;
    modals.then([&](QWidget* w) {
        auto* page = qobject_cast<fOptions*>(w);
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(page->tabs->tabText(page->tabs->indexOf(page->chkMppsEnabled->parentWidget())), "MPPS");
        verify(page, ris.aeTitle(), ris.port());
        takesSteps = verdict(page);
        verify(page, pacs.aeTitle(), pacs.port());
        storageOnly = verdict(page);
        verify(page, "SILENT", silent.port());
        QElapsedTimer clock;
        clock.start();
        page->cmdVerifyMpps->click();
        cancelled = verdict(page);
        cancelMs = clock.elapsed();

        page->chkMppsEnabled->setChecked(true);
        page->txtMppsAETitle->setText(ris.aeTitle());
        page->txtMppsHost->clear();
        page->txtMppsPort->setText(QString::number(ris.port()));
        page->mppsTls.enabled->setChecked(true);
        page->mppsTls.trustedCertificates->setText("tls/authority.pem");
        page->tabs->setCurrentIndex(0);
        page->cmdOK->click(); // refused: no address
    }).then(recordMessage(noAddress)).then([&](QWidget* w) {
        auto* page = qobject_cast<fOptions*>(w);
        EXPECT_EQ(page->tabs->currentWidget(), page->chkMppsEnabled->parentWidget());
        page->txtMppsHost->setText("ris.example.org");
        page->cmdOK->click();
    });
    dialog.cmdMore->click();
    EXPECT_EQ(takesSteps, QString("RIS (127.0.0.1:%1) answered the verification (C-ECHO).\nIt accepts performed "
                                  "procedure steps (MPPS).")
                              .arg(ris.port()));
    EXPECT_EQ(storageOnly, QString("STORE (127.0.0.1:%1) answered the verification (C-ECHO).\nIt does not accept "
                                   "performed procedure steps (MPPS).")
                               .arg(pacs.port()));
    EXPECT_EQ(cancelled, "The verification was cancelled.");
    EXPECT_LT(cancelMs, 5000);
    EXPECT_EQ(noAddress.text, "The MPPS node has no address.");
    dialog.cmdOK->click();

    const QString path = optionsFilePath(folder.path());
    const Options options = loadOptions(path);
    EXPECT_TRUE(options.mpps.enabled);
    EXPECT_EQ(options.mpps.aeTitle, "RIS");
    EXPECT_EQ(options.mpps.host, "ris.example.org");
    EXPECT_EQ(options.mpps.port, ris.port());
    EXPECT_EQ(options.mpps.tls, (TlsSettings{true, "tls/authority.pem", {}, {}}));
    EXPECT_EQ(withPathsResolved(options, folder.path()).mpps.tls.trustedCertificates,
              QDir(folder.path()).filePath("tls/authority.pem"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    for (const char* line : {"[Mpps]", "Enabled=true", "AETitle=RIS", "Host=ris.example.org", "Tls=true"})
        EXPECT_TRUE(text.contains(line)) << line << " in " << text.constData();

    // Off unless the file says otherwise; a port that is none keeps the default.
    file.close();
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[Mpps]\nAETitle=RIS\nPort=104x\n");
    file.close();
    QStringList problems;
    const Options read = loadOptions(path, &problems);
    EXPECT_FALSE(read.mpps.enabled);
    EXPECT_EQ(read.mpps.port, 0);
    EXPECT_EQ(problems.size(), 1) << problems.join('\n').toStdString();
}
