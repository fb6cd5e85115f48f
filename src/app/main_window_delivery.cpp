// fSkiascan: network work with its progress window, rounds through the outbox,
// what the operator is told of them, and the outbox window.

#include "app/main_window.h"

#include "app/window_helpers.h"
#include "common/background.h"
#include "common/failure.h"
#include "common/program_log.h"
#include "common/text.h"
#include "delivery/delivery.h"
#include "delivery/outbox_dialog.h"
#include "delivery/progress_dialog.h"

#include <QDir>
#include <QLabel>
#include <QTimer>

namespace skiascan {

RemoteSettings fSkiascan::remotes() const
{
    return {settings.Remote0, settings.Remote1, settings.Remote2};
}

// Network work runs beside the window: the window repaints and drops the
// operator's clicks and keys meanwhile; when it lasts more than about a second,
// a small window shows each send with Cancel, the one thing that can be clicked.
void fSkiascan::runNetworkWork(const std::function<void(DeliveryProgress&)>& work)
{
    DeliveryProgress progress;
    DeliveryProgressDialog dialog(progress, this);
    QTimer showLater;
    showLater.setSingleShot(true);
    connect(&showLater, &QTimer::timeout, &dialog, &QWidget::show);
    showLater.start(1000);
    runWhileRepainting([&] { work(progress); }, &dialog);
}

void fSkiascan::reportDelivery(const FilmDelivery& delivery, const QString& scanFile)
{
    QStringList failures;
    for (const NodeResult& failure : delivery.failures())
        failures << failure.failure;
    if (!delivery.safe()) {
        const QString text = delivery.keepFailure.isEmpty() ? failures.join(QStringLiteral("\r\n"))
                                                            : (QStringList(delivery.keepFailure) + failures).join(QStringLiteral("\r\n"));
        showMessage(this, QMessageBox::Critical, QStringLiteral("Skiascan"),
                    failureText(text, QStringLiteral("The scanned file stays at %1 and is imported again at the next "
                                                     "start; nothing is lost.")
                                          .arg(QDir::toNativeSeparators(scanFile))));
        return;
    }
    // Quit came during the scan: the operator may have walked away, and the
    // next start tells of the outbox, so a film kept there ends the program
    // without a message that would hold it open.
    if (m_quitAfterFilm) {
        for (const QString& failure : failures)
            programlog::event(QStringLiteral("film kept in the outbox at the end: %1").arg(failure));
        return;
    }
    if (delivery.cancelled && !failures.isEmpty()) {
        showMessage(this, QMessageBox::Information, QStringLiteral("Skiascan"),
                    failureText(QStringLiteral("Sending was cancelled."),
                                QStringLiteral("The image is kept in the outbox and will be sent again.")));
        return;
    }
    if (delivery.noNodeConfigured) {
        showMessage(this, QMessageBox::Warning, QStringLiteral("Skiascan"),
                    failureText(QStringLiteral("No destination is set in the Preferences (\"Image send to:\")."),
                                QStringLiteral("The image is kept in the outbox and will be sent once a "
                                               "destination is set.")));
        return;
    }
    if (failures.isEmpty())
        return;
    showMessage(this, QMessageBox::Warning, QStringLiteral("Skiascan"),
                failureText(failures.join(QStringLiteral("\r\n")),
                            QStringLiteral("The image is kept in the outbox and will be sent again.")));
}

// One round through the outbox at a time: a round asked for while one runs is
// merged into it (the running round goes through the outbox once more).
void fSkiascan::sendOutbox(RoundCause cause, const QSet<QString>& skip)
{
    if (m_roundRunning) {
        m_roundAgain = true;
        return;
    }
    m_roundRunning = true;
    QSet<QString> leaveOut = skip;
    do {
        m_roundAgain = false;
        Outbox outbox(m_programFolder);
        if (outbox.count() == 0)
            break;
        const std::vector<Node> nodes = configuredNodes(remotes());
        const QString localAET = settings.LocalAET;
        const dicom::NetworkTimeouts timeouts = networkTimeouts;
        RoundReport report;
        runNetworkWork(
            [&](DeliveryProgress& progress) { report = runRound(outbox, nodes, localAET, timeouts, &progress, leaveOut); });
        leaveOut.clear();
        reportRound(report, cause);
    } while (m_roundAgain);
    m_roundRunning = false;
    showOutboxCount();
}

// What a round did, in the log always; to the operator once per round when
// something went wrong. Images waiting for nodes that are gone are mentioned at
// start-up and after the preferences, when the operator can do something of it.
void fSkiascan::reportRound(const RoundReport& report, RoundCause cause)
{
    const int waiting = Outbox(m_programFolder).count();
    programlog::event(QStringLiteral("outbox round: %1 confirmed, %2 failed, %3 waiting%4")
                          .arg(report.confirmed)
                          .arg(countOf(static_cast<int>(report.failures.size()), QStringLiteral("node"), QStringLiteral("nodes")),
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
    if (lines.isEmpty() || report.cancelled || m_closing)
        return;
    // From the outbox window the images are in sight already.
    QString consequence = waiting == 1 ? QStringLiteral("The image stays in the outbox.")
                                       : QStringLiteral("The images stay in the outbox.");
    if (cause != RoundCause::Operator)
        consequence += waiting == 1 ? QStringLiteral(" Click the outbox count below the buttons to see it.")
                                    : QStringLiteral(" Click the outbox count below the buttons to see them.");
    showMessage(this, QMessageBox::Warning, QStringLiteral("Skiascan"),
                failureText(lines.join(QStringLiteral("\r\n")), consequence));
}

void fSkiascan::showOutboxCount()
{
    const Outbox outbox(m_programFolder);
    const int waiting = outbox.count();
    const int damaged = outbox.damagedCount();
    QString text;
    if (waiting > 0 || damaged > 0)
        text = QStringLiteral("Outbox: %1").arg(countOf(waiting, QStringLiteral("image"), QStringLiteral("images")));
    if (damaged > 0)
        text += QStringLiteral(", %1 damaged").arg(damaged);
    lblOutbox->setText(text);
    lblOutbox->setToolTip(text.isEmpty() ? QString()
                                         : QStringLiteral("Images that a destination has not confirmed yet. They are "
                                                          "sent again at start-up, after each scan and after the "
                                                          "Preferences. Click to see them."));
}

void fSkiascan::lblOutbox_Click()
{
    if (m_scanning || lblOutbox->text().isEmpty() || !lblOutbox->text().startsWith(QLatin1String("Outbox")))
        return;
    setTopMost(this, false);
    {
        Outbox outbox(m_programFolder);
        OutboxDialog dialog(outbox, configuredNodes(remotes()),
                            [this](const QSet<QString>& images) { sendImagesNow(images); }, this);
        dialog.exec();
    }
    setTopMost(this, true);
    showOutboxCount();
}

// "Send now" of the outbox window: a round of its own for these images.
void fSkiascan::sendImagesNow(const QSet<QString>& images)
{
    Outbox outbox(m_programFolder);
    const std::vector<Node> nodes = configuredNodes(remotes());
    const QString localAET = settings.LocalAET;
    const dicom::NetworkTimeouts timeouts = networkTimeouts;
    RoundReport report;
    runNetworkWork(
        [&](DeliveryProgress& progress) { report = runRound(outbox, nodes, localAET, timeouts, &progress, {}, images); });
    showOutboxCount();
    reportRound(report, RoundCause::Operator);
}

} // namespace skiascan
