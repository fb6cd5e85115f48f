// The scan session's hand-over of a film to delivery, the rounds through the
// outbox, and what the operator is told of them.

#include "session/scan_session.h"

#include "common/failure.h"
#include "common/program_log.h"
#include "common/text.h"
#include "dicom/image.h"
#include "scan/scan_journal.h"

#include <QDir>
#include <QFile>

namespace skiascan {

std::vector<Node> ScanSession::nodes() const
{
    return configuredNodes(m_settings.remoteNodes());
}

void ScanSession::tell(SessionOperator::Severity severity, const QString& text, bool underWindowCaption)
{
    // From the event loop, so that no session step runs inside the operator's
    // answer.
    ++m_pendingNotices;
    QTimer::singleShot(0, this, [this, notice = SessionOperator::Notice{severity, text, underWindowCaption}] {
        m_operator.tell(notice);
        if (--m_pendingNotices == 0 && m_endWhenTold) {
            m_endWhenTold = false;
            endNow();
        }
    });
}

QString ScanSession::outboxLine() const
{
    const Outbox outbox(m_programFolder);
    const int waiting = outbox.count();
    const int damaged = outbox.damagedCount();
    QString text;
    if (waiting > 0 || damaged > 0)
        text = QStringLiteral("Outbox: %1").arg(countOf(waiting, QStringLiteral("image"), QStringLiteral("images")));
    if (damaged > 0)
        text += QStringLiteral(", %1 damaged").arg(damaged);
    return text;
}

void ScanSession::beginNetworkWork()
{
    m_progress = std::make_shared<DeliveryProgress>();
    emit networkWorkChanged(true);
}

void ScanSession::endNetworkWork()
{
    m_progress.reset();
    emit networkWorkChanged(false);
}

void ScanSession::cancelNetwork()
{
    if (m_progress)
        m_progress->cancel();
}

// ------------------------------------------------------------------ hand-over

// The built film goes to delivery in the background: written ahead into the
// outbox and sent to every node at the same time.
void ScanSession::handOver(std::shared_ptr<dicom::Image> image)
{
    setState(SessionState::HandingOver);
    const FilmRecord& film = *m_film;
    OutboxEntry described;
    described.instanceUid = film.numbering.instanceUid;
    described.patientName = dicom::patientNameOf(film.study.lastName, film.study.firstName, film.study.middleName);
    described.patientId = film.study.patientId;
    described.number = film.numbering.number;
    described.scanned = film.started.isValid() ? film.started : QDateTime::currentDateTime();
    beginNetworkWork();
    auto delivery = std::make_shared<FilmDelivery>();
    m_task.start(
        [image, described, nodes = nodes(), localAET = m_settings.LocalAET, timeouts = m_timeouts,
         folder = m_programFolder, progress = m_progress, delivery](const CancelFlag&) {
            Outbox outbox(folder);
            *delivery = deliverFilm(*image, described, nodes, localAET, timeouts, outbox, progress.get());
        },
        [this, delivery](std::exception_ptr failure) {
            // deliverFilm reports its failures in its result; anything else
            // leaves the film in the scanner's folder and the journal.
            if (failure)
                delivery->keepFailure = describe(failure);
            handedOver(*delivery);
        },
        [this] { cancelNetwork(); });
    // Quit asked for again meanwhile: the sends are cut short at once.
    if (m_end == EndRequest::Asked)
        cancelNetwork();
}

// Once the film is safe (written ahead into the outbox, or confirmed by every
// node) its scan file and its journal entry go.
void ScanSession::handedOver(const FilmDelivery& delivery)
{
    endNetworkWork();
    const FilmRecord film = *m_film;
    if (delivery.safe()) {
        if (QFile::remove(film.scanFile))
            programlog::event(QStringLiteral("scan file removed, the image is safe: %1").arg(film.scanFile));
        ScanJournal(m_programFolder).remove(film);
    }
    emit outboxChanged();
    if (m_flow == SessionFlow::Recovery) {
        recoveryFilmDone(delivery.safe(), delivery.safe() ? QString() : delivery.keepFailure);
        return;
    }
    reportDelivery(delivery, film.scanFile);
    // The round after the scan leaves out the nodes that failed this film a
    // moment ago: the operator has just been told of them.
    for (const NodeResult& failure : delivery.failures())
        m_skipInRound.insert(failure.node.aeTitle);
    filmDone(delivery.safe());
}

void ScanSession::reportDelivery(const FilmDelivery& delivery, const QString& scanFile)
{
    using Severity = SessionOperator::Severity;
    QStringList failures;
    for (const NodeResult& failure : delivery.failures())
        failures << failure.failure;
    if (!delivery.safe()) {
        const QString text = delivery.keepFailure.isEmpty()
            ? failures.join(QStringLiteral("\r\n"))
            : (QStringList(delivery.keepFailure) + failures).join(QStringLiteral("\r\n"));
        tell(Severity::Critical,
             failureText(text, QStringLiteral("The scanned file stays at %1 and is imported again at the next "
                                              "start; nothing is lost.")
                                   .arg(QDir::toNativeSeparators(scanFile))));
        return;
    }
    // Quit came during the scan: the operator may have walked away, and the
    // next start tells of the outbox, so a film kept there ends the program
    // without a message that would hold it open.
    if (m_end != EndRequest::None) {
        for (const QString& failure : failures)
            programlog::event(QStringLiteral("film kept in the outbox at the end: %1").arg(failure));
        return;
    }
    if (delivery.cancelled && !failures.isEmpty()) {
        tell(Severity::Information, failureText(QStringLiteral("Sending was cancelled."),
                                                QStringLiteral("The image is kept in the outbox and will be sent again.")));
        return;
    }
    if (delivery.noNodeConfigured) {
        tell(Severity::Warning,
             failureText(QStringLiteral("No destination is set in the Preferences (\"Image send to:\")."),
                         QStringLiteral("The image is kept in the outbox and will be sent once a destination is set.")));
        return;
    }
    if (failures.isEmpty())
        return;
    tell(Severity::Warning, failureText(failures.join(QStringLiteral("\r\n")),
                                        QStringLiteral("The image is kept in the outbox and will be sent again.")));
}

// ------------------------------------------------------------------ rounds

// One round at a time, and none while a film is under way: a round asked for
// meanwhile runs once the session is idle (a running round then goes through
// the outbox once more).
void ScanSession::sendOutbox(RoundCause cause)
{
    if (!m_roundWanted || cause != RoundCause::AfterImport)
        m_roundCause = cause;
    m_roundWanted = true;
    m_roundOnly.reset();
    if (m_state == SessionState::Idle)
        startRound();
}

void ScanSession::sendImagesNow(const QSet<QString>& images)
{
    if (!m_roundWanted)
        m_roundOnly = images;
    else if (m_roundOnly)
        *m_roundOnly += images;
    m_roundCause = RoundCause::Operator;
    m_roundWanted = true;
    if (m_state == SessionState::Idle)
        startRound();
}

void ScanSession::startRound()
{
    const RoundCause cause = m_roundCause;
    const std::optional<QSet<QString>> only = m_roundOnly;
    const QSet<QString> skip = cause == RoundCause::AfterImport ? m_skipInRound : QSet<QString>();
    m_roundWanted = false;
    m_roundOnly.reset();
    m_skipInRound.clear();
    if (Outbox(m_programFolder).count() == 0) {
        roundDone({}, cause);
        return;
    }
    setState(SessionState::SendingOutbox);
    beginNetworkWork();
    auto report = std::make_shared<RoundReport>();
    m_task.start(
        [report, nodes = nodes(), localAET = m_settings.LocalAET, timeouts = m_timeouts, folder = m_programFolder,
         progress = m_progress, skip, only](const CancelFlag&) {
            Outbox outbox(folder);
            *report = runRound(outbox, nodes, localAET, timeouts, progress.get(), skip, only.value_or(QSet<QString>()));
        },
        [this, report, cause](std::exception_ptr failure) {
            if (failure)
                report->unreadable << describe(failure);
            endNetworkWork();
            roundDone(*report, cause);
        },
        [this] { cancelNetwork(); });
}

void ScanSession::roundDone(const RoundReport& report, RoundCause cause)
{
    if (m_state == SessionState::SendingOutbox)
        reportRound(report, cause);
    setState(SessionState::Idle);
    emit outboxChanged();
    if (m_roundWanted) {
        startRound();
        return;
    }
    if (!m_recoveredText.isEmpty()) {
        tell(m_recoveredText.contains(QLatin1String("could not be imported")) ? SessionOperator::Severity::Warning
                                                                               : SessionOperator::Severity::Information,
             m_recoveredText);
        m_recoveredText.clear();
    }
}

// What a round did, in the log always; to the operator once per round when
// something went wrong. Images waiting for nodes that are gone are mentioned at
// start-up and after the preferences, when the operator can do something of it.
void ScanSession::reportRound(const RoundReport& report, RoundCause cause)
{
    const int waiting = Outbox(m_programFolder).count();
    programlog::event(QStringLiteral("outbox round: %1 confirmed, %2 failed, %3 waiting%4")
                          .arg(report.confirmed)
                          .arg(countOf(static_cast<int>(report.failures.size()), QStringLiteral("node"),
                                       QStringLiteral("nodes")),
                               countOf(waiting, QStringLiteral("image"), QStringLiteral("images")))
                          .arg(report.cancelled ? QStringLiteral(", cancelled") : QString()));
    QStringList lines;
    for (const NodeResult& failure : report.failures) {
        programlog::event(QStringLiteral("outbox round: %1").arg(failure.failure));
        lines << failure.failure;
    }
    for (const QString& unreadable : report.unreadable) {
        programlog::event(QStringLiteral("outbox round: %1").arg(unreadable));
        lines << unreadable;
    }
    for (const auto& [aeTitle, count] : report.waitingForGone) {
        const QString line = QStringLiteral("%1 wait for %2, which is no longer in the Preferences.")
                                 .arg(countOf(count, QStringLiteral("image"), QStringLiteral("images")), aeTitle);
        programlog::event(QStringLiteral("outbox round: %1").arg(line));
        if (cause != RoundCause::AfterImport)
            lines << line;
    }
    if (lines.isEmpty() || report.cancelled)
        return;
    // From the outbox window the images are in sight already.
    QString consequence = waiting == 1 ? QStringLiteral("The image stays in the outbox.")
                                       : QStringLiteral("The images stay in the outbox.");
    if (cause != RoundCause::Operator)
        consequence += waiting == 1 ? QStringLiteral(" Click the outbox count below the buttons to see it.")
                                    : QStringLiteral(" Click the outbox count below the buttons to see them.");
    tell(SessionOperator::Severity::Warning, failureText(lines.join(QStringLiteral("\r\n")), consequence));
}

} // namespace skiascan
