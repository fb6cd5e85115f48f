#include "common/failure.h"
#include "app/main_window.h"
#include "app/window_helpers.h"
#include "settings/prefs_dialog.h"
#include "support/conditions.h"
#include "support/modal.h"
#include "support/dicom_file.h"
#include "support/peers.h"
#include "support/program_folder.h"
#include "support/tiff_writer.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <QTimer>
#include <QToolTip>

#include "support/qt_printers.h"

#include <gtest/gtest.h>

using namespace skiascan;
using namespace skiascan::test;

namespace {

class MainWindowTest : public ::testing::Test {
protected:
    TestConditions conditions;
    // A started window over the given settings lines.
    std::unique_ptr<fSkiascan> started(const SettingsLines& lines = ProgramFolder::defaultLines(),
                                       const QString& arguments = QString())
    {
        folder.writeSettings(lines);
        auto w = std::make_unique<fSkiascan>(folder.path());
        EXPECT_TRUE(w->startUp(arguments));
        return w;
    }

    void fillCompleteRecord(fSkiascan& w)
    {
        w.PATNachname->setText("Smith");
        w.PATVorname->setText("John");
        w.PATID1->setText("4711");
        w.PATGebDatum->setText("01.02.1960");
        w.StudyDate->setText("07.12.2026");
    }

    ProgramFolder folder;
    ModalDriver modals;
};

// The colour of a field's frame as drawn, at the middle of its left edge.
QColor frameColour(QWidget* field)
{
    return field->grab().toImage().pixelColor(0, field->height() / 2);
}

QRect geometryOf(QWidget* w)
{
    return w->geometry();
}

} // namespace

TEST_F(MainWindowTest, ControlsSitWhereTheLayoutPutsThem)
{
    auto w = started();
    EXPECT_EQ(w->windowTitle(), "X-Ray Skiascan");
    EXPECT_EQ(w->centralWidget()->size(), QSize(520, 325));
    EXPECT_EQ(w->centralWidget()->geometry().top(), w->menuBar()->geometry().bottom() + 1);

    const struct {
        QWidget* widget;
        QRect rect;
    } expected[] = {
        {w->PATNachname, {160, 8, 193, 19}},     {w->PATVorname, {160, 32, 193, 19}},
        {w->PAT2Vorname, {160, 56, 193, 19}},    {w->PATGebDatum, {160, 80, 89, 19}},
        {w->PATID1, {160, 104, 193, 19}},        {w->AccessionNumber, {160, 128, 89, 19}},
        {w->Sex, {160, 152, 41, 21}},            {w->Bodypart, {160, 176, 193, 19}},
        {w->StudyDate, {160, 200, 89, 19}},      {w->StudyDescritpion, {160, 224, 193, 19}},
        {w->SeriesDescription, {160, 248, 193, 19}}, {w->Films, {160, 272, 25, 19}},
        {w->ScrollFilms, {184, 272, 17, 17}},    {w->Images, {160, 296, 25, 19}},
        {w->ScrollImages, {184, 296, 17, 17}},   {w->cmdWorklist, {376, 8, 137, 41}},
        {w->cmdScan, {376, 56, 137, 41}},        {w->cmdMultiScan, {376, 104, 137, 41}},
        {w->cmdPrefs, {376, 152, 137, 41}},      {w->cmdNew, {376, 200, 137, 41}},
        {w->cmdTest, {376, 248, 65, 41}},        {w->cmdCancel, {448, 248, 65, 41}},
    };
    for (const auto& e : expected)
        EXPECT_EQ(geometryOf(e.widget), e.rect) << e.widget->objectName().toStdString();

    const QStringList buttons = {w->cmdWorklist->text(), w->cmdScan->text(), w->cmdMultiScan->text(),
                                 w->cmdPrefs->text(),    w->cmdNew->text(),  w->cmdTest->text(),
                                 w->cmdCancel->text()};
    EXPECT_EQ(buttons, (QStringList{"Worklist", "Single Scan", "Multiple Scan", "Preferences", "New Study",
                                    "Scanner Test", "Quit"}));
    const int labelY[] = {8, 32, 56, 80, 104, 152, 176, 200, 224, 248, 274, 296, 128};
    for (int i = 0; i < 13; ++i) {
        EXPECT_EQ(w->Label1[i]->x(), 8);
        EXPECT_EQ(w->Label1[i]->y(), labelY[i]) << "Label1(" << i << ")";
    }
    EXPECT_EQ(w->Label1[12]->text(), "Accession Number:");
    EXPECT_EQ(w->Label1[10]->text(), "Films in Feeder (Multiple Scan):");
    EXPECT_FALSE(w->Label1[11]->isEnabled());

    // Every caption fits inside its button's frame ("Scanner Test" too).
    for (QPushButton* button : {w->cmdWorklist, w->cmdScan, w->cmdMultiScan, w->cmdPrefs, w->cmdNew, w->cmdTest,
                                w->cmdCancel}) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        const int room = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).width();
        EXPECT_LE(QFontMetrics(button->font()).horizontalAdvance(button->text()) + 4, room)
            << button->text().toStdString();
    }
    EXPECT_EQ(w->cmdTest->text(), "Scanner Test");

    ASSERT_EQ(w->menuBar()->actions().size(), 1);
    EXPECT_EQ(w->menuBar()->actions()[0]->text(), "?");

    // Tab order follows the table, from the last name to Quit.
    QWidget* order[] = {w->PATNachname, w->PATVorname, w->PAT2Vorname, w->PATGebDatum, w->PATID1,
                        w->AccessionNumber, w->Sex, w->Bodypart, w->StudyDate, w->StudyDescritpion,
                        w->SeriesDescription, w->Films, w->ScrollFilms};
    for (std::size_t i = 1; i < std::size(order); ++i) {
        QWidget* next = order[i - 1]->nextInFocusChain();
        while (next->focusProxy() == order[i - 1] || !next->isEnabled() || next->focusPolicy() == Qt::NoFocus)
            next = next->nextInFocusChain();
        EXPECT_EQ(next, order[i]) << "after " << order[i - 1]->objectName().toStdString();
    }
}

TEST_F(MainWindowTest, StartUpShowsTheDefaultsWithScanningDisabled)
{
    auto w = started();
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(isTopMost(w.get()));
    EXPECT_EQ(w->Sex->currentText(), "O");
    EXPECT_EQ(w->Bodypart->text(), "Unknown");
    EXPECT_EQ(w->Images->text(), "1");
    EXPECT_EQ(w->Films->text(), "6");
    EXPECT_FALSE(w->Images->isEnabled());
    EXPECT_FALSE(w->ScrollImages->isEnabled());
    EXPECT_FALSE(w->cmdScan->isEnabled());
    EXPECT_FALSE(w->cmdMultiScan->isEnabled());
    EXPECT_TRUE(w->session().StudyUID().isEmpty());
    EXPECT_EQ(w->session().ImageCounter(), 0);
    EXPECT_FALSE(w->session().WorklistUsed());
}

TEST_F(MainWindowTest, SettingsAreLoadedInFileOrder)
{
    SettingsLines lines = {"/opt/SCANFILE.EXE", "/R:150", "/scans/", "/opt/acr", "SKIA", "2048", "4096",
                           "PACS|10.0.0.5|104", "AE|", "||", "10.0.0.7", "104", "WLSRV", "CR", "SKIA1", "Room 2"};
    // Lines after the sixteenth are left in the file and never read.
    folder.writeSettingsBytes(encodeSettingsFile(lines) + "Room 3\r\nextra\r\n");
    fSkiascan window(folder.path());
    ASSERT_TRUE(window.startUp(QString()));
    auto* w = &window;
    const Settings& s = w->settings;
    EXPECT_EQ(s.ScanApp, "/opt/SCANFILE.EXE");
    EXPECT_EQ(s.Parameters, "/R:150");
    EXPECT_EQ(s.ImageFolder, "/scans/");
    EXPECT_EQ(s.WindowCenter, "2048");
    EXPECT_EQ(s.WindowWidth, "4096");
    EXPECT_EQ(s.Remote1, "AE|");
    EXPECT_EQ(s.WorklistPort, 104);
    EXPECT_EQ(s.WorklistAET, "WLSRV");
    EXPECT_EQ(s.ScheduledModality, "CR");
    EXPECT_EQ(s.ScheduledAET, "SKIA1");
    EXPECT_EQ(s.ScheduledStation, "Room 2");
    EXPECT_TRUE(w->cmdTest->isEnabled());
    EXPECT_TRUE(w->cmdWorklist->isEnabled());
}

TEST_F(MainWindowTest, ScannerTestAndWorklistNeedMoreThanThreeCharacters)
{
    SettingsLines lines = ProgramFolder::defaultLines();
    lines[Setting::TestApp] = "abc";
    lines[Setting::WorklistIP] = "abc";
    auto three = started(lines);
    EXPECT_FALSE(three->cmdTest->isEnabled());
    EXPECT_FALSE(three->cmdWorklist->isEnabled());
    lines[Setting::TestApp] = "abcd";
    lines[Setting::WorklistIP] = "abcd";
    auto four = started(lines);
    EXPECT_TRUE(four->cmdTest->isEnabled());
    EXPECT_TRUE(four->cmdWorklist->isEnabled());
}

TEST_F(MainWindowTest, CommandLineFillsNameIdAndBirthDate)
{
    auto w = started(ProgramFolder::defaultLines(), "Smith^John^Q|4711|01.02.1960");
    EXPECT_EQ(w->PATNachname->text(), "Smith");
    EXPECT_EQ(w->PATVorname->text(), "John");
    EXPECT_EQ(w->PAT2Vorname->text(), "Q");
    EXPECT_EQ(w->PATID1->text(), "4711");
    EXPECT_EQ(w->PATGebDatum->text(), "01.02.1960");
    EXPECT_FALSE(w->cmdScan->isEnabled()) << "the study date is still empty";
    w->StudyDate->setText("07.12.2026");
    EXPECT_TRUE(w->cmdScan->isEnabled());
    EXPECT_TRUE(w->cmdMultiScan->isEnabled());

    auto invalid = started(ProgramFolder::defaultLines(), "|4711|not a date");
    EXPECT_EQ(invalid->PATNachname->text(), "");
    EXPECT_EQ(invalid->PATGebDatum->text(), "not a date");
}

TEST_F(MainWindowTest, MissingSettingsFileShowsPreferencesUntilOneIsSaved)
{
    int dialogs = 0;
    auto cancel = [&](QWidget* dialog) {
        ++dialogs;
        EXPECT_NE(qobject_cast<fPrefs*>(dialog), nullptr);
        EXPECT_EQ(static_cast<fPrefs*>(dialog)->WindowCenter->text(), "1500");
        static_cast<fPrefs*>(dialog)->reject();
    };
    modals.then(cancel).then(cancel).then([&](QWidget* dialog) {
        ++dialogs;
        auto* prefs = static_cast<fPrefs*>(dialog);
        prefs->TestApp->setText("/opt/acrtest");
        prefs->cmdOK->click();
    });
    fSkiascan w(folder.path());
    ASSERT_TRUE(w.startUp(QString()));
    EXPECT_EQ(dialogs, 3);
    EXPECT_EQ(w.settings.TestApp, "/opt/acrtest");
    EXPECT_TRUE(w.cmdTest->isEnabled());
    EXPECT_TRUE(folder.settingsBytes().startsWith("\r\n\r\n\r\n/opt/acrtest\r\n"));
}

TEST_F(MainWindowTest, ShortSettingsFileShowsPreferencesOnceThenEndsTheProgram)
{
    QByteArray fifteen;
    for (int i = 0; i < 15; ++i)
        fifteen += "x\r\n";
    folder.writeSettingsBytes(fifteen);
    fSkiascan w(folder.path());
    bool shownMeanwhile = false;
    bool topMostMeanwhile = true;
    modals.then([&](QWidget* dialog) {
        shownMeanwhile = w.isVisible();
        topMostMeanwhile = isTopMost(&w);
        static_cast<QDialog*>(dialog)->reject();
    });
    EXPECT_FALSE(w.startUp(QString()));
    EXPECT_EQ(modals.pending(), 0u);
    EXPECT_TRUE(shownMeanwhile);
    EXPECT_FALSE(topMostMeanwhile);
}

TEST_F(MainWindowTest, RetryAfterAFailureReadsOnFromTheSamePlace)
{
    // A port that is not a number fails; the dialog fixes the file, but the
    // retried conversion still sees the text read before, so the program ends.
    SettingsLines lines = ProgramFolder::defaultLines();
    lines[Setting::WorklistPort] = "eleven";
    folder.writeSettings(lines);
    fSkiascan w(folder.path());
    modals.then([&](QWidget* dialog) {
        auto* prefs = static_cast<fPrefs*>(dialog);
        prefs->WorklistPort->setText("104");
        prefs->cmdOK->click();
    });
    EXPECT_FALSE(w.startUp(QString()));
    EXPECT_TRUE(folder.settingsBytes().contains("\r\n104\r\n"));

    // A file whose sixteenth line is added while the dialog is open is not read
    // again either: the retry reads on at the end of the old contents.
    QByteArray fifteen;
    for (int i = 0; i < 15; ++i)
        fifteen += "1\r\n";
    folder.writeSettingsBytes(fifteen);
    fSkiascan again(folder.path());
    modals.then([&](QWidget* dialog) {
        folder.writeSettingsBytes(fifteen + "16\r\n");
        static_cast<QDialog*>(dialog)->reject();
    });
    EXPECT_FALSE(again.startUp(QString()));
}

TEST_F(MainWindowTest, EmptyPortLineGivesZero)
{
    SettingsLines lines = ProgramFolder::defaultLines();
    lines[Setting::WorklistPort] = "";
    lines[Setting::WorklistAET] = "WLSRV";
    auto w = started(lines);
    EXPECT_EQ(w->settings.WorklistPort, 0);
    EXPECT_EQ(w->settings.WorklistAET, "WLSRV");
}

TEST_F(MainWindowTest, EntryRuleFollowsEveryFieldAsTheTableSays)
{
    auto w = started();
    fillCompleteRecord(*w);
    ASSERT_TRUE(w->cmdScan->isEnabled());
    ASSERT_TRUE(w->cmdMultiScan->isEnabled());

    struct Case {
        QLineEdit* field;
        bool runsRule;
        bool bothButtons;
        bool closesStudy;
    };
    const Case cases[] = {
        {w->PATNachname, true, true, true},     {w->PATVorname, true, true, true},
        {w->PATGebDatum, true, true, true},     {w->PATID1, true, true, true},
        {w->StudyDate, true, true, true},       {w->Bodypart, true, false, true},
        {w->PAT2Vorname, true, true, true},     {w->StudyDescritpion, true, true, true},
        {w->SeriesDescription, false, false, true}, {w->AccessionNumber, false, false, false},
    };
    for (const Case& c : cases) {
        const std::string name = c.field->objectName().toStdString();
        const QString before = c.field->text();
        const bool required = c.field != w->PAT2Vorname && c.field != w->StudyDescritpion
            && c.field != w->SeriesDescription && c.field != w->AccessionNumber;
        w->session().restoreStudy("1.2.3");
        c.field->setText(required ? QString() : "changed");
        EXPECT_EQ(w->session().StudyUID().isEmpty(), c.closesStudy) << name;
        EXPECT_EQ(w->cmdScan->isEnabled(), !(c.runsRule && required)) << name;
        EXPECT_EQ(w->cmdMultiScan->isEnabled(), !(c.runsRule && c.bothButtons && required)) << name;
        c.field->setText(before);
        w->cmdScan->setEnabled(true);
        w->cmdMultiScan->setEnabled(true);
    }

    // The rule does not run for these two: buttons disabled by hand stay so,
    // although the record is complete.
    for (QLineEdit* field : {w->SeriesDescription, w->AccessionNumber}) {
        w->cmdScan->setEnabled(false);
        w->cmdMultiScan->setEnabled(false);
        field->setText("changed");
        EXPECT_FALSE(w->cmdScan->isEnabled()) << field->objectName().toStdString();
        EXPECT_FALSE(w->cmdMultiScan->isEnabled()) << field->objectName().toStdString();
    }
}

TEST_F(MainWindowTest, EditingFieldsOnlyEnablesWhenTheRecordIsComplete)
{
    auto w = started();
    fillCompleteRecord(*w);
    w->StudyDate->clear();
    EXPECT_FALSE(w->cmdScan->isEnabled());
    EXPECT_FALSE(w->cmdMultiScan->isEnabled());
    // Non-required fields never disable, but they do enable again once complete.
    w->StudyDate->setText("07.12.26");
    EXPECT_FALSE(w->cmdScan->isEnabled()) << "two-digit years are not dates";
    w->StudyDate->setText("2026-12-07");
    EXPECT_TRUE(w->cmdScan->isEnabled());
    // Emptying the body part disables Single Scan only.
    w->Bodypart->clear();
    EXPECT_FALSE(w->cmdScan->isEnabled());
    EXPECT_TRUE(w->cmdMultiScan->isEnabled());
    w->PATNachname->setText(" ");
    EXPECT_FALSE(w->cmdMultiScan->isEnabled()) << "the rule ran with the empty body part";
    w->Bodypart->setText("CHEST");
    EXPECT_TRUE(w->cmdScan->isEnabled()) << "a blank last name counts as filled";
}

TEST_F(MainWindowTest, SexChosenFromTheListKeepsTheStudyButTypedSexClosesIt)
{
    auto w = started();
    fillCompleteRecord(*w);

    // Keyboard selection in the list (from "O" up to "M").
    w->session().restoreStudy("1.2.3");
    w->Sex->setFocus();
    QTest::keyClick(w->Sex, Qt::Key_Up);
    EXPECT_EQ(w->Sex->currentText(), "M");
    EXPECT_EQ(w->session().StudyUID(), "1.2.3");
    EXPECT_TRUE(w->cmdScan->isEnabled());

    // Mouse selection in the drop-down list.
    w->Sex->showPopup();
    QAbstractItemView* view = w->Sex->view();
    const QRect item = view->visualRect(w->Sex->model()->index(0, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, item.center());
    EXPECT_EQ(w->Sex->currentText(), "F");
    EXPECT_EQ(w->session().StudyUID(), "1.2.3");

    // Typing, and a text set by another part of the program, close the study.
    QTest::qWait(0); // let the pending selection marker lapse, as between two key presses
    w->Sex->lineEdit()->selectAll();
    QTest::keyClicks(w->Sex->lineEdit(), "M");
    EXPECT_EQ(w->Sex->currentText(), "M");
    EXPECT_TRUE(w->session().StudyUID().isEmpty());

    QTest::qWait(0);
    w->session().restoreStudy("1.2.3");
    w->Sex->setEditText("");
    EXPECT_TRUE(w->session().StudyUID().isEmpty());
    EXPECT_FALSE(w->cmdScan->isEnabled());
    EXPECT_FALSE(w->cmdMultiScan->isEnabled());
}

TEST_F(MainWindowTest, EnterScansAndEscapeQuits)
{
    auto w = started();
    fillCompleteRecord(*w);
    QSignalSpy scans(w->cmdScan, &QPushButton::clicked);
    // No image folder is set: each scan ends in its failure message.
    SeenMessage first;
    SeenMessage second;
    modals.then(recordMessage(first)).then(recordMessage(second));
    w->activateWindow();
    w->PATID1->setFocus();
    QTest::keyClick(w->PATID1, Qt::Key_Return);
    EXPECT_EQ(scans.count(), 1);
    ASSERT_TRUE(sessionIdle(*w));
    QTest::keyClick(w->Sex->lineEdit(), Qt::Key_Enter);
    EXPECT_EQ(scans.count(), 2);
    ASSERT_TRUE(sessionIdle(*w));
    EXPECT_TRUE(second.text.endsWith("\r\n\r\nPlease check Preferences"));

    w->PATID1->clear();
    QTest::keyClick(w->PATNachname, Qt::Key_Return);
    EXPECT_EQ(scans.count(), 2) << "Enter does nothing while Single Scan is disabled";

    QTest::keyClick(w->StudyDescritpion, Qt::Key_Escape);
    EXPECT_FALSE(w->isVisible());
}

TEST_F(MainWindowTest, FilmsCountMovesBetweenOneAndSix)
{
    auto w = started();
    w->ScrollFilms->triggerAction(QAbstractSlider::SliderSingleStepSub); // upper arrow
    EXPECT_EQ(w->Films->text(), "6");
    for (int i = 0; i < 5; ++i)
        w->ScrollFilms->triggerAction(QAbstractSlider::SliderSingleStepAdd); // lower arrow
    EXPECT_EQ(w->Films->text(), "1");
    w->ScrollFilms->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(w->Films->text(), "1");
    w->ScrollFilms->triggerAction(QAbstractSlider::SliderSingleStepSub);
    EXPECT_EQ(w->Films->text(), "2");
    EXPECT_TRUE(w->Films->isReadOnly());
}

TEST_F(MainWindowTest, NewStudyButtonOnlyClosesTheStudy)
{
    auto w = started();
    fillCompleteRecord(*w);
    w->session().restoreStudy("1.2.3");
    w->cmdNew->click();
    EXPECT_TRUE(w->session().StudyUID().isEmpty());
    EXPECT_EQ(w->PATNachname->text(), "Smith");
    EXPECT_TRUE(w->cmdScan->isEnabled());
    EXPECT_TRUE(w->cmdMultiScan->isEnabled());
}

TEST_F(MainWindowTest, NewStudyGivesAFreshUidAndRegionalTime)
{
    auto w = started();
    w->session().openStudy();
    const QString first = w->session().StudyUID();
    EXPECT_TRUE(first.startsWith("2.25.")) << first.toStdString();
    EXPECT_LE(first.size(), 64);
    EXPECT_TRUE(QTime::fromString(w->session().StudyTime(), "HH:mm:ss").isValid()) << w->session().StudyTime().toStdString();
    w->session().openStudy();
    EXPECT_NE(w->session().StudyUID(), first);
    EXPECT_FALSE(w->cmdScan->isEnabled()) << "NewStudy touches no button";
}

TEST_F(MainWindowTest, PreferencesCancelReloadsTheFileAndDropsUnsavedEdits)
{
    auto w = started();
    SettingsLines changed = ProgramFolder::defaultLines();
    changed[Setting::WorklistIP] = "10.1.1.1";
    folder.writeSettings(changed);
    bool topMostMeanwhile = true;
    modals.then([&](QWidget* dialog) {
        topMostMeanwhile = isTopMost(w.get());
        auto* prefs = static_cast<fPrefs*>(dialog);
        prefs->ScanApp->setText("/not/saved/SCANFILE.EXE");
        prefs->cmdCancel->click();
    });
    w->cmdPrefs->click();
    EXPECT_FALSE(topMostMeanwhile);
    EXPECT_TRUE(isTopMost(w.get()));
    EXPECT_EQ(w->settings.WorklistIP, "10.1.1.1");
    EXPECT_TRUE(w->cmdWorklist->isEnabled());
    EXPECT_EQ(w->settings.ScanApp, "");
}

TEST_F(MainWindowTest, PreferencesOkSavesAndTheWindowUsesTheNewValues)
{
    auto w = started();
    modals.then([&](QWidget* dialog) {
        auto* prefs = static_cast<fPrefs*>(dialog);
        prefs->WindowCenter->setText("2000");
        prefs->cmdOK->click();
    });
    w->cmdPrefs->click();
    EXPECT_EQ(w->settings.WindowCenter, "2000");
}

TEST_F(MainWindowTest, ABrokenFileAfterPreferencesEndsTheProgram)
{
    auto w = started();
    folder.writeSettingsBytes("too\r\nshort\r\n");
    modals.then(rejectDialog()).then(rejectDialog());
    w->cmdPrefs->click();
    EXPECT_TRUE(w->programEnded());
    EXPECT_FALSE(w->isVisible());
}

TEST_F(MainWindowTest, AboutBoxShowsTheVersion)
{
    auto w = started();
    SeenMessage seen;
    modals.then(recordMessage(seen));
    w->mnuHelp->trigger();
    ASSERT_TRUE(seen.seen);
    EXPECT_EQ(seen.title, "Skiascan");
    EXPECT_EQ(seen.icon, QMessageBox::Information);
    EXPECT_TRUE(QRegularExpression("^Skiascan Version \\d+\\.\\d+\\.\\d+$").match(seen.text).hasMatch())
        << seen.text.toStdString();
}

// A record the rule refuses says why: the field with the refused text is
// framed in red and tells the reason on hover, the line below the buttons
// names it, and Enter takes the operator there with the reason beside it.
TEST_F(MainWindowTest, ARefusedRecordSaysWhyOnTheFieldTheLineAndEnter)
{
    auto w = started();
    fillCompleteRecord(*w);
    ASSERT_TRUE(w->cmdScan->isEnabled());
    EXPECT_EQ(w->lblOutbox->text(), "Outbox: empty");
    const struct {
        QLineEdit* field;
        const char* text;
        const char* reason;
    } cases[] = {
        {w->StudyDate, "31.02.2026", "Study Date: 31.02.2026 is not a date"},
        {w->StudyDate, "2026-13-01", "Study Date: 2026-13-01 is not a date"},
        {w->PATGebDatum, "12/7/26", "Patient Birthdate: 12/7/26 has a two-digit year; a four-digit year is needed"},
    };
    w->activateWindow();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const QString good = c.field->text();
        c.field->setText(c.text);
        EXPECT_FALSE(w->cmdScan->isEnabled());
        EXPECT_FALSE(w->cmdMultiScan->isEnabled());
        EXPECT_TRUE(c.field->property("refused").toBool());
        EXPECT_EQ(frameColour(c.field), QColor(0xc0, 0, 0)) << "framed in red";
        EXPECT_EQ(c.field->toolTip(), c.reason);
        EXPECT_TRUE(w->cmdScan->toolTip().contains(c.reason)) << w->cmdScan->toolTip().toStdString();
        EXPECT_TRUE(w->lblOutbox->toolTip().contains(c.reason));
        const QString line = w->lblOutbox->text();
        EXPECT_TRUE(line == c.reason || line == QString(c.reason).section(':', 0, 0) + " is not a date"
                    || line == QString(c.reason).section(':', 0, 0) + " needs a four-digit year")
            << line.toStdString();
        EXPECT_EQ(w->PATGebDatum->geometry(), QRect(160, 80, 89, 19)) << "the mark moves nothing";

        w->PATID1->setFocus();
        QTest::keyClick(w->PATID1, Qt::Key_Return);
        EXPECT_EQ(w->focusWidget(), c.field);
        EXPECT_EQ(QToolTip::text(), c.reason);
        QFile log(folder.filePath("Logs/skiascan.log"));
        ASSERT_TRUE(log.open(QIODevice::ReadOnly));
        EXPECT_TRUE(QString::fromUtf8(log.readAll()).contains(QString("scan refused: ") + c.reason));

        c.field->setText(good);
        EXPECT_FALSE(c.field->property("refused").toBool());
        EXPECT_NE(frameColour(c.field), QColor(0xc0, 0, 0));
        EXPECT_EQ(QFontInfo(c.field->font()).pixelSize(), QFontInfo(w->font()).pixelSize()) << "the window's font stays";
        EXPECT_EQ(c.field->toolTip(), "");
        EXPECT_TRUE(w->cmdScan->isEnabled());
        EXPECT_EQ(w->lblOutbox->text(), "Outbox: empty");
    }
    // An empty field is named, not framed.
    w->PATID1->clear();
    EXPECT_EQ(w->lblOutbox->text(), "Patient ID is empty");
    EXPECT_FALSE(w->PATID1->property("refused").toBool());
    EXPECT_EQ(w->PATID1->toolTip(), "Patient ID is empty; a scan needs it");
}

// Dates that can be but are unlikely are asked about before the scan, No
// being the answer Enter and Escape give; No scans nothing, Yes scans the
// dates as typed.
TEST_F(MainWindowTest, UnlikelyDatesAreAskedAboutFirstAndOnlyYesScans)
{
    StoreScp pacs;
    SettingsLines lines = ProgramFolder::defaultLines();
    lines[Setting::ImageFolder] = folder.path() + "/";
    lines[Setting::Remote0] = pacs.setting();
    auto w = started(lines);
    fillCompleteRecord(*w);
    writeFilmTiff(folder.filePath("Test.tif"));
    const struct {
        const char* studyDate;
        const char* birthDate;
        const char* doubt;
        Qt::Key answer;
    } cases[] = {
        {"07.12.2030", "01.02.1960", "The Study Date 07.12.2030 is in the future.", Qt::Key_Return},
        {"07.12.2026", "01.02.1890", "The patient would be 136 years old on the Study Date.", Qt::Key_Escape},
        {"07.12.2026", "01.02.2026", "", Qt::Key_unknown}, // a baby: nothing to ask
        {"07.12.2025", "01.02.2026", "The Patient Birthdate 01.02.2026 is after the Study Date 07.12.2025.",
         Qt::Key_Return},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.doubt);
        w->StudyDate->setText(c.studyDate);
        w->PATGebDatum->setText(c.birthDate);
        if (c.answer == Qt::Key_unknown)
            continue;
        QString text;
        bool noIsDefault = false;
        modals.then([&](QWidget* box) {
            auto* question = static_cast<QMessageBox*>(box);
            text = question->text();
            noIsDefault = question->defaultButton() == question->button(QMessageBox::No);
            QTest::keyClick(question, c.answer);
        });
        w->cmdScan->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return modals.pending() == 0 && !QApplication::activeModalWidget(); }));
        EXPECT_EQ(text, QString(c.doubt) + "\n\nScan anyway?");
        EXPECT_TRUE(noIsDefault);
        EXPECT_FALSE(w->session().scanning());
        EXPECT_EQ(w->StudyDate->text(), c.studyDate) << "never changed";
    }
    // Multiple Scan asks the same; Yes scans the dates as typed.
    w->StudyDate->setText("07.12.2030");
    w->PATGebDatum->setText("01.02.1960");
    modals.then([](QWidget* box) { static_cast<QMessageBox*>(box)->button(QMessageBox::No)->click(); });
    w->cmdMultiScan->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return modals.pending() == 0 && !QApplication::activeModalWidget(); }));
    EXPECT_FALSE(w->session().scanning());
    modals.then([](QWidget* box) { static_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click(); });
    w->cmdScan->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->session().scanning(); }));
    ASSERT_TRUE(sessionIdle(*w));
    ASSERT_EQ(pacs.received().size(), 1) << "one film: the one Yes was given for";
    EXPECT_EQ(DicomFile(pacs.received().first()).text(DCM_StudyDate), "20301207");
}
