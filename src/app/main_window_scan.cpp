// fSkiascan: the record taken at the click, the single scan, the stack from
// the feeder, and the scanner test.

#include "app/main_window.h"

#include "app/window_helpers.h"
#include "common/failure.h"
#include "common/program_log.h"
#include "common/text.h"
#include "dicom/image_attributes.h"
#include "dicom/uid_generator.h"
#include "scan/program_runner.h"
#include "scan/scan_commands.h"
#include "scan/scan_journal.h"

#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollBar>
#include <QTimer>

namespace skiascan {

dicom::ImageRecord fSkiascan::studyRecord() const
{
    return {PATNachname->text(),     PATVorname->text(),       PAT2Vorname->text(),   PATID1->text(),
            PATGebDatum->text(),     Sex->currentText(),       StudyDate->text(),     StudyDescritpion->text(),
            SeriesDescription->text(), AccessionNumber->text(), Bodypart->text(),      settings.WindowCenter,
            settings.WindowWidth};
}

StudyNumbering fSkiascan::studyNumbering() const
{
    return {StudyUID, StudyTime, ImageCounter, WorklistUsed};
}

void fSkiascan::showStatus(const QString& text)
{
    lblOutbox->setText(text);
    lblOutbox->setToolTip(QString());
}

// A value the image cannot carry (a backslash in the patient ID, a control
// character, "^" in a name, ...) is refused at the click, naming the field,
// before the scanner runs. Dates have rules of their own.
bool fSkiascan::recordFitsTheImage()
{
    using dicom::ValueKind;
    const struct {
        QLineEdit* field;
        int label;
        ValueKind kind;
    } fields[] = {
        {PATNachname, 0, ValueKind::NamePart},     {PATVorname, 1, ValueKind::NamePart},
        {PAT2Vorname, 2, ValueKind::NamePart},     {PATID1, 4, ValueKind::Text},
        {AccessionNumber, 12, ValueKind::Text},    {Bodypart, 6, ValueKind::Text},
        {StudyDescritpion, 8, ValueKind::Text},    {SeriesDescription, 9, ValueKind::Text},
    };
    for (const auto& f : fields) {
        const QString why = dicom::whyNotCarried(f.field->text(), f.kind);
        if (why.isEmpty())
            continue;
        const QString caption = Label1[static_cast<std::size_t>(f.label)]->text().remove(QLatin1Char(':'));
        programlog::event(QStringLiteral("scan refused: %1 %2").arg(caption, why));
        setTopMost(this, false);
        showMessage(this, QMessageBox::Warning, QStringLiteral("Skiascan"),
                    failureText(QStringLiteral("The %1 \"%2\" cannot go into the image: %3.").arg(caption, f.field->text(), why),
                                QStringLiteral("Please correct it. Nothing was scanned.")));
        setTopMost(this, true);
        f.field->setFocus();
        return false;
    }
    return true;
}

// A scan begins: the record is taken now, and until the scan ends nothing can
// start another one or change what will be sent.
void fSkiascan::beginScan()
{
    setCursor(Qt::WaitCursor);
    ScanAborted = false;
    m_scanning = true;
    m_quitAfterFilm = false;
    m_scanStudy = studyRecord();
    for (QPushButton* button : {cmdScan, cmdMultiScan, cmdWorklist, cmdNew, cmdPrefs, cmdTest})
        button->setEnabled(false);
    lockRecord(true);
}

// The fields of the record are read-only while a scan runs.
void fSkiascan::lockRecord(bool locked)
{
    for (QLineEdit* field : {PATNachname, PATVorname, PAT2Vorname, PATGebDatum, PATID1, AccessionNumber, Bodypart,
                             StudyDate, StudyDescritpion, SeriesDescription})
        field->setReadOnly(locked);
    Sex->setEnabled(!locked);
}

void fSkiascan::endScan()
{
    programlog::event(QStringLiteral("scan ended"));
    m_scanning = false;
    m_film.reset();
    unsetCursor();
    lockRecord(false);
    cmdScan->setEnabled(true);
    cmdMultiScan->setEnabled(true);
    cmdNew->setEnabled(true);
    cmdPrefs->setEnabled(true);
    cmdTest->setEnabled(settings.TestApp.size() > 3);
    cmdWorklist->setEnabled(settings.WorklistIP.size() > 3);
    showOutboxCount();
    if (m_quitAfterFilm)
        finishQuit();
}

// Quit came during a scan and nothing is left to wait for: the program ends.
void fSkiascan::finishQuit()
{
    programlog::event(QStringLiteral("Skiascan ends after the scan"));
    m_scanning = false;
    m_quitAfterFilm = false;
    close();
}

// A film whose scanner has ended without leaving its file: nothing to finish
// for it now. Its journal entry stays, so that a file that still comes is
// imported at the next start.
bool fSkiascan::filmWillNeverCome() const
{
    return !m_scannerRunning && !m_importing && m_film && !QFileInfo::exists(m_film->scanFile);
}

// The next film: its file name and its identity, recorded in the scan journal
// before the scanner starts, so that a crash cannot orphan it.
void fSkiascan::startFilm(int film, int films)
{
    if (!UIDGenerator)
        UIDGenerator = std::make_unique<dicom::UidGenerator>();
    FilmRecord record;
    record.scanFile = m_scanFileNames.next(settings.ImageFolder);
    record.study = m_scanStudy;
    record.numbering = numberFilm(studyNumbering(), *UIDGenerator, QTime::currentTime());
    record.film = film;
    record.films = films;
    record.started = QDateTime::currentDateTime();
    ScanJournal(m_programFolder).write(record);
    m_film = record;
    ScanFile = record.scanFile;
    showStatus(films > 1 ? QStringLiteral("Scanning film %1 of %2").arg(film).arg(films)
                         : QStringLiteral("Scanning film"));
    programlog::event(QStringLiteral("film %1 of %2 for %3 (%4): %5")
                          .arg(film)
                          .arg(films)
                          .arg(dicom::patientNameOf(record.study.lastName, record.study.firstName,
                                                    record.study.middleName),
                               record.study.patientId, record.scanFile));
}

// Runs the scanner for the film, or copies the test image in test mode.
void fSkiascan::runScanner(FilmPlace place)
{
    if (!isScannerProgram(settings.ScanApp)) {
        copyTestImage(m_programFolder, ScanFile);
        return;
    }
    const QStringList arguments = scanArguments(place, ScanFile, settings.Parameters);
    programlog::event(QStringLiteral("scanner started: %1").arg(commandLineText(settings.ScanApp, arguments)));
    m_scannerRunning = true;
    const auto done = qScopeGuard([this] { m_scannerRunning = false; });
    RunAndWait(settings.ScanApp, arguments, [this](qint64 process) {
        m_film->scannerProcess = process;
        try {
            ScanJournal(m_programFolder).write(*m_film);
        } catch (const Failure& e) {
            programlog::event(e.description()); // the entry without the process id stays
        }
    });
    programlog::event(QStringLiteral("scanner ended: %1").arg(ScanFile));
}

void fSkiascan::scanFailed(const std::exception& failure)
{
    programlog::event(QStringLiteral("scan failed: %1").arg(describe(failure)));
    if (m_film)
        ScanJournal(m_programFolder).remove(*m_film);
    m_quitAfterFilm = false;
    setTopMost(this, false);
    showMessage(this, QMessageBox::Critical, QStringLiteral("Skiascan"),
                failureText(describe(failure), QStringLiteral("Please check Preferences")));
    endScan();
    setTopMost(this, true);
}

void fSkiascan::cmdScan_Click()
{
    if (m_scanning || !recordFitsTheImage())
        return;
    try {
        beginScan();
        checkImageFolder(settings.ImageFolder);
        startFilm(1, 1);
        runScanner(FilmPlace::Single);
        if (m_closing)
            return;
        if (m_quitAfterFilm && filmWillNeverCome()) {
            endScan();
            return;
        }
        m_scanWatch.watch(ScanFile);
        TimerScan->start();
    } catch (const std::exception& e) {
        scanFailed(e);
    }
}

void fSkiascan::TimerScan_Timer()
{
    if (!m_scanWatch.ready())
        return;
    // Stopped before the import, so that no tick can start a second one while
    // the first still runs (its message boxes pump events).
    TimerScan->stop();
    ImageImport();
    endScan();
}

void fSkiascan::cmdMultiScan_Click()
{
    if (m_scanning || !recordFitsTheImage())
        return;
    try {
        beginScan();
        bool numeric = false;
        const int films = Films->text().toShort(&numeric);
        if (!numeric)
            throw Failure(QStringLiteral("The number of films \"%1\" is not a number.").arg(Films->text()),
                          Failure::Kind::Argument);
        if (films > 0)
            checkImageFolder(settings.ImageFolder);
        FilmStack stack(films, isScannerProgram(settings.ScanApp));
        m_stack = &stack;
        const auto done = qScopeGuard([this] { m_stack = nullptr; });
        programlog::event(QStringLiteral("stack of %1 films started").arg(films));
        while (stack.next()) {
            startFilm(stack.film(), stack.count());
            runScanner(stack.place(Films->text().toShort()));
            if (m_closing)
                return;
            if (m_quitAfterFilm && filmWillNeverCome())
                break;
            m_scanWatch.watch(ScanFile);
            TimerMultiScan->start();
            QEventLoop wait;
            m_filmWait = &wait;
            wait.exec();
            m_filmWait = nullptr;
            if (m_closing)
                return;
            if (ScanAborted)
                stack.filmFailed();
        }
        endScan();
    } catch (const std::exception& e) {
        m_filmWait = nullptr;
        TimerMultiScan->stop();
        scanFailed(e);
    }
}

void fSkiascan::TimerMultiScan_Timer()
{
    if (!m_scanWatch.ready())
        return;
    TimerMultiScan->stop();
    ImageImport();
    if (m_filmWait)
        m_filmWait->quit();
}

void fSkiascan::cmdTest_Click()
{
    try {
        const QString folder = testApplicationFolder(settings.TestApp);
        if (folder.isEmpty())
            throw Failure(QStringLiteral("Invalid argument: the test application \"%1\" names no folder.")
                              .arg(settings.TestApp),
                          Failure::Kind::Argument);
        // Started on its own, in its own folder, so that it outlives this
        // program. Whether it could be started is not examined: the workstation
        // is handed over to it either way.
        if (QFileInfo(settings.TestApp).isExecutable())
            QProcess::startDetached(settings.TestApp, {}, folder);
        else
            QProcess::startDetached(QStringLiteral("xdg-open"), {settings.TestApp}, folder);
    } catch (const std::exception& e) {
        showMessage(this, QMessageBox::Critical, windowTitle(),
                    failureText(describe(e), QStringLiteral("Please check preferences")));
        return;
    }
    programlog::event(QStringLiteral("scanner test handed over to %1").arg(settings.TestApp));
    endProgram(EXIT_SUCCESS);
}

} // namespace skiascan
