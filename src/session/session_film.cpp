// The scan session: one film from the scanner to its image, and what comes
// after it (the next film of a stack, or the end of the scan).

#include "session/scan_session.h"

#include "common/failure.h"
#include "common/program_log.h"
#include "common/text.h"
#include "dicom/image.h"
#include "scan/film_image.h"
#include "scan/scan_commands.h"
#include "scan/scan_journal.h"

#include <QDate>
#include <QFileInfo>

namespace skiascan {

namespace {

bool isTooSmall(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const FilmTooSmall&) {
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

// Runs the scanner for the film, or copies the test image in test mode.
void ScanSession::startScanner()
{
    if (!isScannerProgram(m_settings.ScanApp)) {
        try {
            copyTestImage(m_programFolder, m_film->scanFile);
        } catch (const std::exception& e) {
            scanFailed(e);
            return;
        }
        setState(SessionState::WaitingForFile);
        m_scanner.watchFile(m_film->scanFile);
        return;
    }
    if (m_settings.ScanApp.isEmpty()) {
        scanFailed(Failure(QStringLiteral("No program to start: the scanning application is empty."), Failure::Kind::Scanner));
        return;
    }
    const FilmPlace place = m_stack ? m_stack->place(m_filmsInFeeder) : FilmPlace::Single;
    const QStringList arguments = scanArguments(place, m_film->scanFile, m_settings.Parameters);
    programlog::event(QStringLiteral("scanner started: %1").arg(commandLineText(m_settings.ScanApp, arguments)));
    m_scanner.runScanner(m_settings.ScanApp, arguments, m_film->scanFile);
}

void ScanSession::scannerStarted(qint64 processId)
{
    if (!m_film)
        return;
    m_film->scannerProcess = processId;
    try {
        ScanJournal(m_programFolder).write(*m_film);
    } catch (const std::exception& e) {
        programlog::event(describe(e)); // the entry without the process id stays
    }
}

void ScanSession::scannerEnded(int exitCode)
{
    programlog::event(QStringLiteral("scanner ended with exit code %1: %2").arg(exitCode).arg(m_film->scanFile));
    setState(SessionState::WaitingForFile);
}

// The scanner has ended and its file has not come. Its journal entry stays:
// a file that still comes is imported at the next start.
void ScanSession::noFilmCame(int exitCode)
{
    const FilmRecord film = *m_film;
    programlog::event(QStringLiteral("the scanner ended with exit code %1 without writing %2; it is looked for "
                                     "at the next start")
                          .arg(exitCode)
                          .arg(film.scanFile));
    // Its number stays given: should the file still come, it is imported
    // with it, and no later film of the study may have it too.
    m_study.importBegins();
    m_study.imported(film.numbering);
    m_film.reset();
    m_aborted = true;
    if (m_flow == SessionFlow::Stack && m_filmsImported > 0) {
        tell(SessionOperator::Severity::Information,
             QStringLiteral("The scanner delivered no film %1; the stack ended after film %2.")
                 .arg(film.film)
                 .arg(film.film - 1));
    } else {
        tell(SessionOperator::Severity::Critical,
             failureText(QStringLiteral("The scanner ended without a film (exit code %1).").arg(exitCode),
                         QStringLiteral("Please check Preferences")));
    }
    endScan();
}

// The import of the film: its image is built in the background with the record
// and identity of its journal entry.
void ScanSession::importFilm()
{
    setState(SessionState::Importing);
    const bool recovered = m_flow == SessionFlow::Recovery;
    if (!recovered) {
        m_study.importBegins();
        if (!m_study.studyUid.isEmpty() && m_study.full()) {
            imageBuilt(nullptr, std::make_exception_ptr(
                                    Failure(QStringLiteral("The study already holds %1 images; start a new study.")
                                                .arg(m_study.imageCounter),
                                            Failure::Kind::Argument)));
            return;
        }
    }
    auto image = std::make_shared<dicom::Image>();
    auto blank = std::make_shared<bool>(false);
    const FilmRecord film = *m_film;
    m_task.start(
        [image, blank, film](const CancelFlag& cancel) {
            *image = buildFilmImage(film, QDate::currentDate());
            // Here, not on the window's thread: it reads the whole film.
            *blank = filmLooksBlank(*image, cancel);
        },
        [this, image, blank](std::exception_ptr failure) {
            m_looksBlank = *blank;
            imageBuilt(image, failure);
        });
}

void ScanSession::imageBuilt(std::shared_ptr<dicom::Image> image, std::exception_ptr failure)
{
    if (!failure) {
        if (m_flow != SessionFlow::Recovery)
            m_study.imported(m_film->numbering);
        const FilmRecord& film = *m_film;
        const QString scheduled = film.numbering.scheduled ? QStringLiteral(" (scheduled: %1)").arg(film.numbering.scheduled->label())
                                                           : QString();
        programlog::event(QStringLiteral("film imported: %1 as image %2 of %3 in study %4%5")
                              .arg(film.scanFile, film.numbering.instanceUid, patientOf(film), film.numbering.studyUid,
                                   scheduled));
        handOver(image);
        return;
    }
    const QString why = describe(failure);
    const bool tooSmall = isTooSmall(failure);
    if (m_flow == SessionFlow::Recovery) {
        recoveryFilmDone(false, why);
        return;
    }
    const FilmRecord film = *m_film;
    ScanJournal(m_programFolder).remove(film);
    m_aborted = true;
    if (tooSmall) {
        programlog::event(QStringLiteral("scan file too small (%1 bytes), left where it is: %2")
                              .arg(QFileInfo(film.scanFile).size())
                              .arg(film.scanFile));
        tell(SessionOperator::Severity::Information, why);
    } else {
        m_study.buildFailed();
        programlog::event(QStringLiteral("import of %1 failed, the file is left where it is: %2").arg(film.scanFile, why));
        tell(SessionOperator::Severity::Critical, failureText(why, QStringLiteral("Maybe scan apported.")), true);
    }
    filmDone(false);
}

// A film has gone as far as it goes: the flow moves on.
void ScanSession::filmDone(bool imported)
{
    const int film = m_film ? m_film->film : 0;
    m_film.reset();
    if (imported)
        ++m_filmsImported;
    if (m_flow == SessionFlow::Recovery)
        return;
    if (m_flow == SessionFlow::Stack) {
        if (!imported)
            m_stack->filmFailed();
        if (m_end != EndRequest::None) {
            // Quit: the stack ends after this film, and the operator and the
            // log hear which films of it were not scanned.
            if (film < m_stack->count()) {
                const QString which = film + 1 == m_stack->count()
                    ? QStringLiteral("Film %1 of the stack was not scanned.").arg(film + 1)
                    : QStringLiteral("Films %1 to %2 of the stack were not scanned.").arg(film + 1).arg(m_stack->count());
                programlog::event(QStringLiteral("Quit during the stack: %1").arg(which));
                tell(SessionOperator::Severity::Information, which);
            }
        } else if (m_stack->next()) {
            startFilm(m_stack->film(), m_stack->count());
            return;
        }
    }
    endScan();
}

void ScanSession::scanFailed(const std::exception& failure)
{
    programlog::event(QStringLiteral("scan failed: %1").arg(logText(failure)));
    if (m_film)
        ScanJournal(m_programFolder).remove(*m_film);
    m_film.reset();
    tell(SessionOperator::Severity::Critical, failureText(describe(failure), QStringLiteral("Please check Preferences")));
    endScan();
}

void ScanSession::endScan()
{
    programlog::event(QStringLiteral("scan ended"));
    m_scanner.release();
    m_askTimer.stop();
    m_stack.reset();
    m_film.reset();
    m_flow = SessionFlow::None;
    if (m_end != EndRequest::None) {
        endNow();
        return;
    }
    setState(SessionState::Idle);
    emit outboxChanged();
}

} // namespace skiascan
