// The scan session at Quit: during a scan it ends after the film; a scanner
// that does not finish makes it ask whether to end without the film.

#include "session/scan_session.h"

#include "common/program_log.h"
#include "common/text.h"
#include "scan/scan_journal.h"

namespace skiascan {

bool ScanSession::requestEnd()
{
    switch (m_state) {
    case SessionState::Ended:
        return true;
    case SessionState::Idle:
        endNow();
        return true;
    default:
        break;
    }
    if (m_flow == SessionFlow::Recovery) {
        // The journal keeps every film not yet safe, for the next start.
        programlog::event(QStringLiteral("Quit during the recovery: the journal keeps what is not finished"));
        m_task.stop();
        endNow();
        return true;
    }
    if (m_end == EndRequest::None) {
        m_end = EndRequest::AfterFilm;
        programlog::event(QStringLiteral("Quit during a scan: Skiascan ends after the film"));
        m_askTimer.start(m_timing.askToEnd);
        emit stateChanged();
        return false;
    }
    // Asked again: a scanner that has not finished is asked about; a film on
    // its way to the outbox is there in a moment.
    askToEnd();
    return false;
}

void ScanSession::askToEnd()
{
    if (m_state != SessionState::Scanning && m_state != SessionState::WaitingForFile) {
        // The film is on its way to the outbox: the end comes by itself.
        if (m_state != SessionState::Ended)
            m_end = EndRequest::Asked;
        return;
    }
    m_end = EndRequest::Asked;
    const QString patient = m_film ? patientOf(*m_film) : QString();
    QTimer::singleShot(0, this, [this, patient] {
        if (m_state == SessionState::Scanning || m_state == SessionState::WaitingForFile)
            m_operator.askToEndNow(patient);
    });
}

void ScanSession::answerEndNow(bool endNow)
{
    if (m_state == SessionState::Ended || m_end == EndRequest::None)
        return;
    if (!endNow) {
        programlog::event(QStringLiteral("Quit: the operator waits for the scanner"));
        m_end = EndRequest::AfterFilm; // the film still goes to the nodes
        return;
    }
    if (m_state != SessionState::Scanning && m_state != SessionState::WaitingForFile)
        return; // the film came meanwhile: the end comes after it by itself
    programlog::event(m_film ? QStringLiteral("Quit without the film %1: the journal keeps it for the next start")
                                   .arg(m_film->scanFile)
                             : QStringLiteral("Quit without the film"));
    if (m_flow == SessionFlow::Stack && m_stack && m_film && m_film->film < m_stack->count())
        programlog::event(QStringLiteral("Quit during the stack: films %1 to %2 of the stack were not scanned")
                              .arg(m_film->film + 1)
                              .arg(m_stack->count()));
    m_task.stop();
    this->endNow();
}

// The program ends now. A scanner program still at work is left alone: killed
// in the middle of a film it may jam the feeder, and the journal keeps its film.
void ScanSession::endNow()
{
    m_askTimer.stop();
    m_scanner.release();
    // The study ends here; a film of it still in the scanner keeps its step
    // open for the next start.
    m_steps.programEnds(ScanJournal(m_programFolder).films(), m_film);
    // Transfers under way are cut; what is owed stays in the outbox.
    m_delivery.stop();
    setState(SessionState::Ended);
    const int owed = outbox().count();
    programlog::event(owed > 0 ? QStringLiteral("Skiascan ends; %1 wait in the outbox")
                                     .arg(countOf(owed, QStringLiteral("image"), QStringLiteral("images")))
                               : QStringLiteral("Skiascan ends"));
    emit readyToEnd();
}

} // namespace skiascan
