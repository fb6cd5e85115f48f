// The scan session's hand-over of a film to delivery: the film is written ahead
// into the outbox and the delivery service takes it from there, in the
// background. The scan goes on at once, whatever the nodes do.

#include "session/scan_session.h"

#include "common/dates.h"
#include "common/failure.h"
#include "common/program_log.h"
#include "common/text.h"
#include "dicom/image.h"
#include "scan/scan_journal.h"

#include <QDir>
#include <QFile>
#include <QLocale>

namespace skiascan {

std::vector<Node> ScanSession::nodes() const
{
    return configuredNodes(m_settings.remoteNodes(), m_options.nodes);
}

void ScanSession::configureDelivery()
{
    m_delivery.configure(nodes(), m_settings.LocalAET, m_timeouts, m_options.localPort,
                         m_steps.configure(m_settings, m_options));
}

void ScanSession::tell(SessionOperator::Severity severity, const QString& text, bool underWindowCaption)
{
    // The operator opens the message and returns: the session goes on.
    m_operator.tell({severity, text, underWindowCaption});
}

QString ScanSession::outboxLine() const
{
    const int waiting = m_delivery.outbox().count();
    const int damaged = m_delivery.outbox().damagedCount();
    QString text;
    if (waiting > 0 || damaged > 0)
        text = QStringLiteral("Outbox: %1").arg(countOf(waiting, QStringLiteral("image"), QStringLiteral("images")));
    if (damaged > 0)
        text += QStringLiteral(", %1 damaged").arg(damaged);
    return text;
}

// The built film is written ahead into the outbox in the background, owing
// every configured node, while the delivery service sends it.
void ScanSession::handOver(std::shared_ptr<dicom::Image> image)
{
    setState(SessionState::HandingOver);
    const FilmRecord& film = *m_film;
    auto entry = std::make_shared<OutboxEntry>();
    entry->instanceUid = film.numbering.instanceUid;
    entry->patientName = dicom::patientNameOf(film.study.lastName, film.study.firstName, film.study.middleName);
    entry->patientId = film.study.patientId;
    entry->studyUid = film.numbering.studyUid;
    entry->study = film.numbering.scheduled ? film.numbering.scheduled->label() : film.study.studyDescription;
    entry->number = film.numbering.number;
    entry->scanned = film.started.isValid() ? film.started : QDateTime::currentDateTime();
    entry->kept = QDateTime::currentDateTime();
    for (const Node& node : nodes())
        entry->owed.push_back({node.aeTitle, node.host, node.port, {}, {}});
    entry->anyNode = entry->owed.empty();
    entry->film = film.film;
    entry->films = film.films;
    // Held for review: written ahead and owed as any film, sent once accepted.
    entry->looksBlank = m_looksBlank;
    entry->held = m_options.view.holdForReview || m_looksBlank;
    if (entry->held)
        programlog::event(QStringLiteral("review: image %1 of %2 is held for review%3")
                              .arg(entry->instanceUid, entry->patientName,
                                   m_looksBlank ? QStringLiteral("; it looks blank") : QString()));
    // The writer's copy is made here, on the thread that owns the image. The
    // sends start beside the write; a node's confirmation counts once the
    // film is kept.
    auto copy = std::make_shared<dicom::Image>(image->sharedCopy());
    // The window may show the film at once, from memory, through a light copy
    // of its own; the entry as it will be in the outbox.
    ArrivedFilm arrived{*entry, film.study.bodyPart, parseDate(film.study.birthDate, QLocale()).value_or(QDate()),
                        std::make_shared<const dicom::Image>(image->sharedCopy())};
    m_delivery.outbox().place(arrived.entry);
    m_delivery.filmComing(*entry, *image);
    m_task.start([copy, entry, &outbox = m_delivery.outbox()](const CancelFlag&) { outbox.keep(*copy, *entry); },
                 [this, entry](std::exception_ptr failure) { handedOver(*entry, failure); });
    emit filmArrived(arrived);
}

// Once the film is in the outbox its scan file and its journal entry go.
void ScanSession::handedOver(const OutboxEntry& entry, std::exception_ptr failure)
{
    const FilmRecord film = *m_film;
    const bool kept = !failure;
    if (kept) {
        m_delivery.filmKept(entry);
        m_steps.filmKept(film); // before the journal lets the film go: a crash meanwhile recovers it into its step
        if (entry.held)
            m_review.refresh();
        if (QFile::remove(film.scanFile))
            programlog::event(QStringLiteral("scan file removed, the image is in the outbox: %1").arg(film.scanFile));
        ScanJournal(m_programFolder).remove(film);
    } else {
        m_delivery.filmNotKept(entry.instanceUid);
    }
    emit filmKept(entry.instanceUid, kept);
    emit outboxChanged();
    const QString why = kept ? QString() : describe(failure);
    if (m_flow == SessionFlow::Recovery) {
        recoveryFilmDone(kept, why);
        return;
    }
    if (!kept)
        tell(SessionOperator::Severity::Critical,
             failureText(why, QStringLiteral("The scanned file stays at %1 and is imported again at the next start; "
                                             "nothing is lost.")
                                  .arg(QDir::toNativeSeparators(film.scanFile))));
    filmDone(kept);
}

} // namespace skiascan
