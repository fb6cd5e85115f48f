// The scan session at start-up: the films a crash or a power cut left in the
// scanner. Each one whose file is there is imported with the record and the
// identity it was scanned with; a scanner still at work on one is waited for;
// one whose file never came is forgotten (and logged).

#include "session/scan_session.h"

#include "common/private_files.h"
#include "common/program_log.h"
#include "common/text.h"
#include "scan/scan_journal.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace skiascan {

namespace {

QString whichFilm(const FilmRecord& film, const QString& patient)
{
    return film.films > 1 ? QStringLiteral("film %1 of %2 of %3").arg(film.film).arg(film.films).arg(patient)
                          : QStringLiteral("the film of %1").arg(patient);
}

} // namespace

void ScanSession::startUp()
{
    Outbox& outbox = m_delivery.outbox();
    // Folders an older version made are readable by others: no longer.
    tightenFolder(outbox.folder());
    tightenFolder(ScanJournal(m_programFolder).folder());
    outbox.tidy(m_settings.remoteNodes());
    m_delivery.steps().tidy();
    m_review.refresh(); // films held for review when Skiascan last ended stay held
    if (const int owed = outbox.count(); owed > 0)
        programlog::event(QStringLiteral("start: %1 wait in the outbox")
                              .arg(countOf(owed, QStringLiteral("image"), QStringLiteral("images"))));
    for (const auto& [node, count] : m_delivery.waitingForGone())
        programlog::event(QStringLiteral("start: %1 wait for %2, which is no longer in the Preferences")
                              .arg(countOf(count, QStringLiteral("image"), QStringLiteral("images")), node));
    m_delivery.resume();
    m_recovery = ScanJournal(m_programFolder).films();
    m_recovered.clear();
    m_lost.clear();
    if (m_recovery.empty()) {
        m_steps.endLeftOver();
        return;
    }
    m_flow = SessionFlow::Recovery;
    std::reverse(m_recovery.begin(), m_recovery.end()); // taken from the back, oldest first
    recoverNext();
}

void ScanSession::recoverNext()
{
    if (m_recovery.empty()) {
        recoveryEnded();
        return;
    }
    m_film = m_recovery.back();
    m_recovery.pop_back();
    m_waitingForScanner = false;
    setState(SessionState::WaitingForFile);
    // A scanner still at work on the film (a process of that id whose
    // arguments name its file) is waited for; then its file must stand still.
    m_scanner.watchRecovered(m_film->scanFile, [film = *m_film] { return scannerStillWorksOn(film); });
}

// The recovered film's file stands still and no scanner works on it: a film
// written ahead before the crash only loses its scan file and journal entry;
// the others are imported.
void ScanSession::recoveredFileReady()
{
    const FilmRecord& film = *m_film;
    m_waitingForScanner = false;
    if (outbox().holds(film.numbering.instanceUid)) {
        m_steps.filmKept(film);
        QFile::remove(film.scanFile);
        ScanJournal(m_programFolder).remove(film);
        recoveryFilmDone(true, {});
        return;
    }
    importFilm();
}

// The recovered film's file is not there, and no scanner works on it: it is
// forgotten (and logged).
void ScanSession::recoveredFileGone()
{
    const FilmRecord& film = *m_film;
    m_waitingForScanner = false;
    programlog::event(QStringLiteral("journal: %1 never came (%2); its entry is removed")
                          .arg(film.scanFile, whichFilm(film, patientOf(film))));
    ScanJournal(m_programFolder).remove(film);
    recoveryFilmDone(false, {});
}

// `failure` is empty for a film that was imported or never came.
void ScanSession::recoveryFilmDone(bool imported, const QString& failure)
{
    if (!m_film || m_state == SessionState::Ended)
        return;
    const FilmRecord film = *m_film;
    const QString which = whichFilm(film, patientOf(film));
    if (imported) {
        m_recovered << QStringLiteral("%1, scanned %2")
                           .arg(which, film.started.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    } else if (!failure.isEmpty()) {
        programlog::event(QStringLiteral("journal: %1 cannot be recovered (%2): %3").arg(film.scanFile, which, failure));
        ScanJournal(m_programFolder).remove(film);
        m_lost << QStringLiteral("%1: %2 (the file stays at %3)").arg(which, failure, film.scanFile);
    }
    m_film.reset();
    recoverNext();
}

void ScanSession::recoveryEnded()
{
    m_flow = SessionFlow::None;
    // The steps a crash left in progress end with every image they have, the
    // films recovered just now included.
    m_steps.endLeftOver();
    QString text;
    if (!m_recovered.isEmpty())
        text += QStringLiteral("These films were in the scanner when Skiascan last ended and have been imported now:\r\n")
            + m_recovered.join(QStringLiteral("\r\n"));
    if (!m_lost.isEmpty())
        text += QStringLiteral("%1These films were in the scanner when Skiascan last ended but could not be imported:\r\n")
                    .arg(text.isEmpty() ? QString() : QStringLiteral("\r\n\r\n"))
            + m_lost.join(QStringLiteral("\r\n"));
    setState(SessionState::Idle);
    emit outboxChanged();
    if (!text.isEmpty())
        tell(m_lost.isEmpty() ? SessionOperator::Severity::Information : SessionOperator::Severity::Warning, text);
}

} // namespace skiascan
