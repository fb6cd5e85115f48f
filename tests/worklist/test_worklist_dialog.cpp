#include "common/failure.h"
#include "app/main_window.h"
#include "app/window_helpers.h"
#include "dicom/dicom_toolkit.h"
#include "support/certificates.h"
#include "support/conditions.h"
#include "support/dicom_file.h"
#include "support/modal.h"
#include "support/peers.h"
#include "support/program_folder.h"
#include "support/qt_printers.h"
#include "support/tiff_writer.h"
#include "support/worklist_server.h"
#include "settings/options_file.h"
#include "worklist/worklist_dialog.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QLabel>
#include <QProgressBar>
#include <QStyle>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace skiascan;
using namespace skiascan::test;

namespace {

// The dialog has listed what its query returned.
bool listed(QWidget* w)
{
    auto* dialog = qobject_cast<fWorklist*>(w);
    return dialog && dialog->windowTitle() == fWorklist::kCaption && dialog->cursor().shape() != Qt::WaitCursor;
}

// What the operator saw in the dialog.
struct SeenList {
    QList<QStringList> rows;
    QString caption;
    bool okEnabled = false;
    int selectedRow = -1;
};

SeenList look(QWidget* w)
{
    auto* dialog = static_cast<fWorklist*>(w);
    SeenList seen;
    for (int i = 0; i < dialog->lvWorklist->topLevelItemCount(); ++i) {
        QStringList cells;
        for (int c = 0; c < 9; ++c)
            cells << dialog->lvWorklist->topLevelItem(i)->text(c);
        seen.rows << cells;
        if (dialog->lvWorklist->topLevelItem(i)->isSelected())
            seen.selectedRow = i;
    }
    seen.caption = dialog->windowTitle();
    seen.okEnabled = dialog->cmdOK->isEnabled();
    return seen;
}

class WorklistDialogTest : public ::testing::Test {
protected:
    TestConditions conditions;
    std::unique_ptr<fSkiascan> start(int port, const QString& aet = "WLSRV", const QString& remote0 = "||")
    {
        SettingsLines lines = ProgramFolder::worklistLines(port, aet);
        lines[Setting::Remote0] = remote0;
        lines[Setting::ImageFolder] = folder.path() + "/";
        folder.writeSettings(lines);
        auto w = std::make_unique<fSkiascan>(folder.path());
        w->networkTimeouts = conditions.timeouts;
        EXPECT_TRUE(w->startUp(QString()));
        EXPECT_TRUE(w->cmdWorklist->isEnabled());
        return w;
    }

    // Opens the worklist, records what it lists, then runs `close` on it.
    SeenList open(fSkiascan& w, const std::function<void(fWorklist*)>& close)
    {
        SeenList seen;
        modals.then(
            [&](QWidget* dialog) {
                seen = look(dialog);
                close(static_cast<fWorklist*>(dialog));
            },
            listed);
        w.cmdWorklist->click();
        return seen;
    }

    ProgramFolder folder;
    ModalDriver modals;
};

} // namespace

TEST_F(WorklistDialogTest, ListsTodaysEntriesForThisStationSortedByTime)
{
    WlmScp server;
    WorklistEntry early;
    early.name = "Early^Eve";
    early.time = "081500";
    WorklistEntry late;
    late.name = "Late^Larry";
    late.time = "161000";
    WorklistEntry tomorrow;
    tomorrow.name = "Tomorrow^Tom";
    tomorrow.date = QDate::currentDate().addDays(1);
    WorklistEntry otherModality;
    otherModality.name = "Other^Olga";
    otherModality.modality = "MR";
    WorklistEntry otherStation;
    otherStation.name = "Station^Stan";
    otherStation.stationAet = "OTHER";
    for (const auto& e : {late, early, tomorrow, otherModality, otherStation})
        server.add(e);

    auto w = start(server.port());
    const SeenList seen = open(*w, [](fWorklist* d) { d->cmdCancel->click(); });
    ASSERT_EQ(seen.rows.size(), 2);
    EXPECT_EQ(seen.rows[0][0], "08:15:00");
    EXPECT_EQ(seen.rows[0][1], "Early");
    EXPECT_EQ(seen.rows[1][1], "Late");
    EXPECT_EQ(seen.selectedRow, 0);
    EXPECT_TRUE(seen.okEnabled);
    EXPECT_EQ(seen.caption, "X-Ray Skiascan Dicom Modality Worklist");
    EXPECT_FALSE(w->session().WorklistUsed()) << "a cancelled dialog changes nothing";
    EXPECT_TRUE(w->PATNachname->text().isEmpty());
}

TEST_F(WorklistDialogTest, TheServerReceivesTheWholeIdentifier)
{
    WlmScp server;
    auto w = start(server.port());
    open(*w, [](fWorklist* d) { d->reject(); });
    const QStringList requests = server.requests();
    ASSERT_EQ(requests.size(), 1);
    const QString& r = requests[0];
    const QString today = QDate::currentDate().toString("yyyyMMdd");
    // (Values arrive padded to an even length.)
    for (const QString& expected :
         {QString("(0040,0002) DA [%1-%1").arg(today), QString("(0040,0003) TM [000000-235959"),
          QString("(0040,0001) AE [SKIA1"), QString("(0008,0060) CS [CR]"), QString("(0040,0010) SH [ROOM1"),
          QString("(0010,21c0) US (no value available)"), QString("(0008,1110) SQ"), QString("(0032,1064) SQ"), QString("(0040,0008) SQ"),
          QString("(0040,3001) LO"), QString("(0038,0500) LO"), QString("(0010,2110) LO"), QString("(0008,0005) CS")})
        EXPECT_TRUE(r.contains(expected)) << expected.toStdString() << "\n" << r.toStdString();
}

TEST_F(WorklistDialogTest, NamesArriveAsTheOperatorShouldReadThem)
{
    WlmScp server;
    WorklistEntry latin;
    latin.name = QString::fromUtf8("Müller^Jürgen^Ä");
    latin.charset = "ISO_IR 100";
    latin.latin1 = true;
    latin.time = "080000";
    WorklistEntry utf8;
    utf8.name = QString::fromUtf8("Ødegård^Åse");
    utf8.charset = "ISO_IR 192";
    utf8.time = "090000";
    WorklistEntry undeclared;
    undeclared.name = QString::fromUtf8("Gómez^Inés");
    undeclared.time = "100000";
    WorklistEntry apostrophe;
    apostrophe.name = "O'Neil^Mary";
    apostrophe.time = "110000";
    WorklistEntry lastOnly;
    lastOnly.name = "Smith";
    lastOnly.time = "120000";
    lastOnly.bodyPart = "";
    for (const auto& e : {latin, utf8, undeclared, apostrophe, lastOnly})
        server.add(e);
    auto w = start(server.port());
    const SeenList seen = open(*w, [](fWorklist* d) { d->reject(); });
    ASSERT_EQ(seen.rows.size(), 5);
    EXPECT_EQ(seen.rows[0].mid(1, 3), (QStringList{QString::fromUtf8("Müller"), QString::fromUtf8("Jürgen"), QString::fromUtf8("Ä")}));
    EXPECT_EQ(seen.rows[1].mid(1, 2), (QStringList{QString::fromUtf8("Ødegård"), QString::fromUtf8("Åse")}));
    EXPECT_EQ(seen.rows[2].mid(1, 2), (QStringList{QString::fromUtf8("Gómez"), QString::fromUtf8("Inés")}));
    EXPECT_EQ(seen.rows[3][1], "O'Neil") << "as the worklist gave it";
    EXPECT_EQ(seen.rows[4].mid(1, 3), (QStringList{"Smith", "", ""}));
    EXPECT_EQ(seen.rows[4][7], "") << "no requested procedure code";
    EXPECT_EQ(seen.rows[0][4], "01.02.1960");
}

TEST_F(WorklistDialogTest, AnEntryThatCannotBeReadIsMarkedAndOkSaysWhichField)
{
    WlmScp server;
    WorklistEntry broken; // Latin-1 bytes under a declared UTF-8
    broken.name = QString::fromUtf8("Müller^Jürgen");
    broken.charset = "ISO_IR 192";
    broken.latin1 = true;
    server.add(broken);
    auto w = start(server.port());
    QString tooltip;
    bool marked = false;
    modals.then(
        [&](QWidget* d) {
            auto* dialog = static_cast<fWorklist*>(d);
            QTreeWidgetItem* row = dialog->lvWorklist->topLevelItem(0);
            marked = !row->icon(1).isNull();
            tooltip = row->toolTip(1);
            dialog->cmdOK->click();
        },
        listed);
    SeenMessage seen;
    modals.then(recordMessage(seen), isMessageBox);
    w->cmdWorklist->click();
    EXPECT_TRUE(marked);
    EXPECT_EQ(tooltip, "Cannot be read in its character set: patient name");
    EXPECT_EQ(seen.icon, QMessageBox::Warning);
    EXPECT_TRUE(seen.text.startsWith("The worklist entry's patient name could not be read in its character set and "
                                     "was left empty."))
        << seen.text.toStdString();
    EXPECT_EQ(w->PATNachname->text(), "");
    EXPECT_EQ(w->PATID1->text(), "4711") << "what could be read is taken";
}

TEST_F(WorklistDialogTest, OkCopiesTheEntryAndTheNextImageIsNumberedOne)
{
    WlmScp server;
    WorklistEntry entry;
    entry.name = "O'Neil^Mary^K";
    entry.patientId = "P-77";
    entry.sex = "F";
    entry.accession = "A-1";
    entry.bodyPart = "";
    server.add(entry);
    StoreScp pacs;
    auto w = start(server.port(), "WLSRV", pacs.setting());
    w->PATNachname->setText("Before");
    w->StudyDate->setText("07.12.2026");
    w->StudyDescritpion->setText("kept");
    open(*w, [](fWorklist* d) { QTest::keyClick(d->lvWorklist, Qt::Key_Return); });
    EXPECT_EQ(w->PATNachname->text(), "O'Neil");
    EXPECT_EQ(w->PATVorname->text(), "Mary");
    EXPECT_EQ(w->PAT2Vorname->text(), "K");
    EXPECT_EQ(w->PATGebDatum->text(), "01.02.1960");
    EXPECT_EQ(w->PATID1->text(), "P-77");
    EXPECT_EQ(w->Sex->currentText(), "F");
    EXPECT_EQ(w->AccessionNumber->text(), "A-1");
    EXPECT_EQ(w->Bodypart->text(), "Unknown");
    EXPECT_EQ(w->StudyDescritpion->text(), "kept");
    EXPECT_TRUE(w->session().StudyUID().isEmpty()) << "the writes close the study NewStudy made";
    EXPECT_TRUE(w->cmdScan->isEnabled());

    // The next image starts a study of its own, numbered 1, with the new patient.
    writeFilmTiff(folder.filePath("Test.tif"));
    w->cmdScan->click();
    ASSERT_TRUE(sessionIdle(*w));
    ASSERT_EQ(pacs.received().size(), 1);
    DicomFile image(pacs.received().first());
    EXPECT_EQ(image.text(DCM_InstanceNumber), "1");
    EXPECT_EQ(image.utf8(DCM_PatientName), "O'Neil^Mary^K") << "the name the RIS knows";
}

TEST_F(WorklistDialogTest, HeaderClicksSortByTextTurningTheOrderOnASecondClick)
{
    WlmScp server;
    const char* names[][2] = {{"Bravo", "100000"}, {"alpha", "120000"}, {"Charlie", "080000"}};
    for (const auto& [name, time] : names) {
        WorklistEntry e;
        e.name = QString(name) + "^X";
        e.time = time;
        server.add(e);
    }
    auto w = start(server.port());
    QList<QStringList> orders;
    open(*w, [&](fWorklist* d) {
        auto column = [&](int c) {
            QStringList cells;
            for (int i = 0; i < d->lvWorklist->topLevelItemCount(); ++i)
                cells << d->lvWorklist->topLevelItem(i)->text(c);
            return cells;
        };
        auto click = [&](int section) {
            const QRect r(d->lvWorklist->header()->sectionViewportPosition(section), 0,
                          d->lvWorklist->header()->sectionSize(section), d->lvWorklist->header()->height());
            QTest::mouseClick(d->lvWorklist->header()->viewport(), Qt::LeftButton, {}, r.center());
        };
        orders << column(1);
        click(0); // Time again: descending
        orders << column(1);
        click(1); // Last Name: ascending, letter case aside
        orders << column(1);
        click(1); // and descending
        orders << column(1);
        click(0); // back to Time, ascending
        orders << column(1);
        EXPECT_EQ(d->SortColumn, 0);
        EXPECT_TRUE(d->SortAscending);
        QTest::keyClick(d, Qt::Key_Escape);
    });
    ASSERT_EQ(orders.size(), 5);
    EXPECT_EQ(orders[0], (QStringList{"Charlie", "Bravo", "alpha"}));
    EXPECT_EQ(orders[1], (QStringList{"alpha", "Bravo", "Charlie"}));
    EXPECT_EQ(orders[2], (QStringList{"alpha", "Bravo", "Charlie"}));
    EXPECT_EQ(orders[3], (QStringList{"Charlie", "Bravo", "alpha"}));
    EXPECT_EQ(orders[4], (QStringList{"Charlie", "Bravo", "alpha"}));
    EXPECT_TRUE(w->PATNachname->text().isEmpty());
}

TEST_F(WorklistDialogTest, AnEmptyWorklistDisablesOk)
{
    WlmScp server;
    auto w = start(server.port());
    const SeenList seen = open(*w, [](fWorklist* d) {
        QTest::keyClick(d->lvWorklist, Qt::Key_Return); // does nothing: OK is disabled
        EXPECT_TRUE(d->isVisible());
        d->reject();
    });
    EXPECT_TRUE(seen.rows.isEmpty());
    EXPECT_FALSE(seen.okEnabled);
    EXPECT_EQ(seen.caption, "X-Ray Skiascan Dicom Modality Worklist");
}

TEST_F(WorklistDialogTest, AServerThatIsDownEndsInTheFailureMessage)
{
    auto w = start(freePort(), "WLSRV");
    w->PATNachname->setText("Unchanged");
    SeenMessage seen;
    bool topMostMeanwhile = true;
    modals.then(
        [&](QWidget* box) {
            topMostMeanwhile = isTopMost(w.get());
            recordMessage(seen)(box);
        },
        isMessageBox);
    w->cmdWorklist->click();
    ASSERT_TRUE(seen.seen);
    EXPECT_EQ(seen.title, "X-Ray Skiascan");
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
    // Plain words for the operator; the network's own account in the logs.
    EXPECT_TRUE(seen.text.startsWith("The worklist server WLSRV (127.0.0.1:")) << seen.text.toStdString();
    EXPECT_TRUE(seen.text.contains("does not answer. Check that it runs")) << seen.text.toStdString();
    EXPECT_FALSE(seen.text.contains("C-FIND")) << seen.text.toStdString();
    EXPECT_TRUE(seen.text.endsWith("\r\n\r\nWorklist-Query failed."));
    for (const char* log : {"Logs/skiascan.log", "Logs/wlscu.log"}) {
        QFile file(folder.filePath(log));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << log;
        const QByteArray text = file.readAll();
        EXPECT_TRUE(text.contains("WLSRV (127.0.0.1:") && text.contains("cannot be reached: nothing listens on port")
                    && text.contains("[connect: Connection refused]"))
            << log;
    }
    EXPECT_FALSE(topMostMeanwhile);
    EXPECT_TRUE(isTopMost(w.get()));
    EXPECT_EQ(w->PATNachname->text(), "Unchanged");
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(WorklistDialogTest, ASilentServerEndsInTheFailureMessageNotAFrozenWindow)
{
    conditions.timeouts = {.acseSeconds = 1, .dimseSeconds = 1};
    SilentPeer silent;
    auto w = start(silent.port(), "WLSRV");
    SeenMessage seen;
    modals.then(recordMessage(seen), isMessageBox);
    w->cmdWorklist->click();
    EXPECT_TRUE(seen.text.endsWith("Worklist-Query failed.")) << seen.text.toStdString();
}

// What the operator checks against the patient reads whole, in the main
// window's font; every value reads whole on hover, and every column widens.
TEST_F(WorklistDialogTest, EveryValueCanBeReadInTheMainWindowsFont)
{
    WlmScp server;
    WorklistEntry entry;
    entry.name = QString::fromUtf8("Wolfeschlegelsteinhausen-Nguyễn^Bartholomäa Thị^B");
    entry.charset = "ISO_IR 192";
    entry.patientId = "PID-2026-0004711";
    entry.accession = "ACC-2026-1234567";
    entry.birthDate = "19600314";
    entry.bodyPart = "CHESTABDPELVIS";
    server.add(entry);
    auto w = start(server.port());
    open(*w, [&](fWorklist* d) {
        EXPECT_EQ(d->lvWorklist->font().family(), w->font().family());
        EXPECT_EQ(QFontInfo(d->lvWorklist->font()).pixelSize(), QFontInfo(w->font()).pixelSize());
        QTreeWidgetItem* row = d->lvWorklist->topLevelItem(0);
        ASSERT_NE(row, nullptr);
        const QFontMetrics metrics(d->lvWorklist->font());
        const int margins = 2 * (d->lvWorklist->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, d->lvWorklist) + 1);
        int whole = 0;
        for (int c : {kTime, kBirthdate, kId, kSex, kAccessionNumber}) {
            EXPECT_GE(d->lvWorklist->columnWidth(c), metrics.horizontalAdvance(row->text(c)) + margins)
                << d->lvWorklist->headerItem()->text(c).toStdString() << ": " << row->text(c).toStdString();
            whole += d->lvWorklist->columnWidth(c);
        }
        EXPECT_LE(whole, d->lvWorklist->viewport()->width()) << "within the dialog";
        for (int c = 0; c < 9; ++c) {
            EXPECT_EQ(row->toolTip(c), row->text(c)) << c;
            EXPECT_EQ(d->lvWorklist->header()->sectionResizeMode(c), QHeaderView::Interactive) << c;
        }
        d->lvWorklist->header()->resizeSection(kLastName, 400);
        EXPECT_EQ(d->lvWorklist->columnWidth(kLastName), 400);
        d->reject();
    });
}

// A query under way shows what it asks with a busy bar; Cancel leaves a server
// that says nothing at once, and nothing changes.
TEST_F(WorklistDialogTest, AQueryUnderWayShowsItsProgressAndCancelLeavesAtOnce)
{
    conditions.timeouts = {.acseSeconds = 30, .dimseSeconds = 30};
    SilentPeer silent;
    auto w = start(silent.port());
    bool shown = false;
    bool busy = false;
    QString progress;
    qint64 cancelMs = -1;
    modals.then(
        [&](QWidget* d) {
            auto* dialog = static_cast<fWorklist*>(d);
            shown = dialog->queryProgress->isVisible();
            busy = dialog->barProgress->maximum() == 0;
            progress = dialog->lblProgress->text();
            QElapsedTimer clock;
            clock.start();
            dialog->cmdCancel->click();
            cancelMs = clock.elapsed();
        },
        [&](QWidget* d) { return qobject_cast<fWorklist*>(d) && silent.connections() > 0; });
    QElapsedTimer whole;
    whole.start();
    w->cmdWorklist->click();
    EXPECT_LT(whole.elapsed(), 15000);
    EXPECT_TRUE(shown);
    EXPECT_TRUE(busy);
    EXPECT_EQ(progress, QString("Asking the worklist server WLSRV (127.0.0.1:%1) for today's entries ...").arg(silent.port()));
    EXPECT_LT(cancelMs, 1000);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "no failure message after Cancel";
    EXPECT_FALSE(w->session().WorklistUsed());
    QFile log(folder.filePath("Logs/wlscu.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_TRUE(log.readAll().contains("C-FIND cancelled"));
}

TEST_F(WorklistDialogTest, TheDialogCoversTheMainWindow)
{
    WlmScp server;
    auto w = start(server.port());
    QSize size;
    QRect ok;
    QRect list;
    QStringList headers;
    open(*w, [&](fWorklist* d) {
        size = d->size();
        ok = d->cmdOK->geometry();
        list = d->lvWorklist->geometry();
        for (int c = 0; c < 9; ++c)
            headers << d->lvWorklist->headerItem()->text(c);
        d->reject();
    });
    EXPECT_EQ(size, w->size());
    EXPECT_EQ(ok.right() + 1, size.width() - 8);
    EXPECT_EQ(list.left(), 4);
    EXPECT_EQ(list.right() + 1, ok.left() - 4); // left 60 twips, width = OK's left - 120
    EXPECT_EQ(headers, (QStringList{"Time", "Last Name", "First Name", "Middle Initial", "Birthdate", "ID", "Sex",
                                    "Bodypart", "Accession Number"}));
}

TEST_F(WorklistDialogTest, OrthancWithItsWorklistPluginServesTheSameWay)
{
    OrthancServer orthanc;
    WorklistEntry entry;
    entry.name = QString::fromUtf8("Müller^Hans");
    entry.charset = "ISO_IR 192";
    orthanc.addWorklist(entry);
    WorklistEntry yesterday;
    yesterday.name = "Yesterday^Yves";
    yesterday.date = QDate::currentDate().addDays(-1);
    orthanc.addWorklist(yesterday);
    auto w = start(orthanc.dicomPort(), orthanc.aeTitle());
    const SeenList seen = open(*w, [](fWorklist* d) {
        d->cmdOK->click();
        if (d->isVisible())
            d->reject();
    });
    EXPECT_EQ(seen.rows.size(), 1);
    EXPECT_EQ(w->PATNachname->text(), QString::fromUtf8("Müller"));
    EXPECT_EQ(w->PATVorname->text(), "Hans");
    EXPECT_EQ(w->Bodypart->text(), "CHEST");
}

TEST_F(WorklistDialogTest, FillingStopsAtAnEntryItCannotListAndWhenTheDialogCloses)
{
    auto w = start(freePort());
    auto entry = [](const QString& name, bool withStep) {
        dicom::DataSet a;
        a.addAttribute(0x0010, 0x0010, name);
        if (withStep) {
            dicom::DataSetCollection steps;
            steps.addNewItem().addAttribute(0x0040, 0x0003, "101500");
            a.addAttribute(0x0040, 0x0100, steps);
        }
        return a;
    };
    dicom::DataSetCollection answers;
    answers.addNewItem() = entry("First^A", true);
    answers.addNewItem() = entry("Broken^B", false);
    answers.addNewItem() = entry("Third^C", true);
    {
        fWorklist dialog(WorklistStation{}, folder.path(), w.get());
        dialog.SaveData(answers);
        ASSERT_EQ(dialog.lvWorklist->topLevelItemCount(), 2);
        const auto first = dialog.lvWorklist->findItems("First", Qt::MatchExactly, kLastName);
        const auto broken = dialog.lvWorklist->findItems("Broken", Qt::MatchExactly, kLastName);
        ASSERT_EQ(first.size(), 1);
        ASSERT_EQ(broken.size(), 1);
        EXPECT_EQ(first.front()->text(0), "10:15:00");
        EXPECT_EQ(broken.front()->text(0), "") << "the time could not be read";
    }
    // A long list fills in steps from the event loop; closing the dialog ends it.
    dicom::DataSetCollection many;
    for (int i = 0; i < 2000; ++i)
        many.addNewItem() = entry(QString("P%1^X").arg(i), true);
    fWorklist dialog(WorklistStation{}, folder.path(), w.get());
    QTimer::singleShot(0, &dialog, [&] { dialog.cmdCancel->click(); });
    dialog.SaveData(many);
    EXPECT_GT(dialog.lvWorklist->topLevelItemCount(), 0) << "the first rows come at once";
    QTest::qWait(50);
    EXPECT_LT(dialog.lvWorklist->topLevelItemCount(), 2000) << "Cancel ends the filling";
}

TEST_F(WorklistDialogTest, OrthancOverTlsAnswersTheStationThatShowsItsCertificate)
{
    TestAuthority authority;
    const TestAuthority::Issued server = authority.issue("orthanc");
    const TestAuthority::Issued station = authority.issue("skiascan");
    OrthancServer orthanc("SKIASCAN", 0, OrthancTls{server.certificate, server.privateKey, authority.certificate()});
    orthanc.addWorklist(WorklistEntry{});
    // The options file names the PEM files relative to the program folder.
    ASSERT_TRUE(QDir(folder.path()).mkpath("tls"));
    ASSERT_TRUE(QFile::copy(authority.certificate(), folder.filePath("tls/authority.pem")));
    ASSERT_TRUE(QFile::copy(station.certificate, folder.filePath("tls/station.pem")));
    ASSERT_TRUE(QFile::copy(station.privateKey, folder.filePath("tls/station.key")));
    Options options;
    options.worklistTls = {true, "tls/authority.pem", "tls/station.pem", "tls/station.key"};
    saveOptions(optionsFilePath(folder.path()), options);

    auto w = start(orthanc.dicomPort(), orthanc.aeTitle());
    const SeenList seen = open(*w, [](fWorklist* d) { d->reject(); });
    ASSERT_EQ(seen.rows.size(), 1);
    EXPECT_TRUE(seen.rows[0].contains("4711")) << seen.rows[0].join('|').toStdString();

    // Without the station's certificate Orthanc answers nothing.
    try {
        dicom::verify("127.0.0.1", orthanc.dicomPort(), "ORTHANC", "SKIASCAN", conditions.timeouts, nullptr,
                      {true, authority.certificate(), {}, {}});
        ADD_FAILURE() << "Orthanc answered a station without its certificate";
    } catch (const Failure& e) {
        EXPECT_TRUE(e.description().contains("accept this station's certificate"))
            << e.description().toStdString();
    }
}
