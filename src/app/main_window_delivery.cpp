// fSkiascan: the session's state on the window (buttons, fields, the line below
// the buttons), its messages and questions, the progress window of network
// work, and the outbox window.

#include "app/main_window.h"

#include "app/window_helpers.h"
#include "common/program_log.h"
#include "delivery/outbox_dialog.h"
#include "delivery/progress_dialog.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

namespace skiascan {

void fSkiascan::showSessionState()
{
    showButtons();
    // The line below the buttons says why a click is not taken, else what
    // waits in the outbox.
    const QString activity = m_session->activity();
    if (!activity.isEmpty()) {
        lblOutbox->setText(activity);
        lblOutbox->setToolTip(QString());
        return;
    }
    const QString text = m_session->outboxLine();
    lblOutbox->setText(text);
    lblOutbox->setToolTip(text.isEmpty() ? QString()
                                         : QStringLiteral("Images that a destination has not confirmed yet. They are "
                                                          "sent again at start-up, after each scan and after the "
                                                          "Preferences. Click to see them."));
}

// The buttons and fields as the session's state and the entry rule allow.
void fSkiascan::showButtons()
{
    const bool idle = m_session->idle();
    const bool scanning = m_session->scanning();
    // A scan of a complete record gives both scan buttons back when it ends.
    const bool scan = m_session->flow() == SessionFlow::Single || m_session->flow() == SessionFlow::Stack;
    if (m_inScan && !scan)
        m_scanAllowed = m_multiScanAllowed = true;
    m_inScan = scan;
    lockRecord(scanning);
    if (scanning)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
    cmdScan->setEnabled(idle && m_scanAllowed);
    cmdMultiScan->setEnabled(idle && m_multiScanAllowed);
    cmdPrefs->setEnabled(idle);
    cmdTest->setEnabled(idle && settings.TestApp.size() > 3);
    cmdWorklist->setEnabled(idle && settings.WorklistIP.size() > 3);
    cmdNew->setEnabled(!scanning);
}

// Network work that lasts more than about a second shows a small window with
// each send and Cancel, above whatever window is in front.
void fSkiascan::showNetworkWork(bool running)
{
    // The window goes with the work it showed; it keeps that work's progress
    // alive until then.
    delete m_progressDialog;
    m_shownProgress = m_session->networkProgress();
    // The outbox window's actions wait while its images are being sent.
    if (m_outboxDialog) {
        m_outboxDialog->setSending(running);
        if (!running)
            m_outboxDialog->fill();
    }
    if (!running || !m_shownProgress)
        return;
    m_progressDialog = new DeliveryProgressDialog(
        *m_shownProgress, m_outboxDialog ? static_cast<QWidget*>(m_outboxDialog.data()) : this);
    QTimer::singleShot(1000, m_progressDialog, [dialog = m_progressDialog] {
        if (dialog)
            dialog->show();
    });
}

void fSkiascan::tell(const Notice& notice)
{
    if (m_session->state() == SessionState::Ended) {
        // The window has closed; a message now would bring it back.
        programlog::event(QStringLiteral("at the end, not shown: %1").arg(notice.text));
        return;
    }
    const QMessageBox::Icon icon = notice.severity == Severity::Critical  ? QMessageBox::Critical
                                   : notice.severity == Severity::Warning ? QMessageBox::Warning
                                                                          : QMessageBox::Information;
    setTopMost(this, false);
    showMessage(this, icon, notice.underWindowCaption ? windowTitle() : QStringLiteral("Skiascan"), notice.text);
    if (m_session->state() != SessionState::Ended)
        setTopMost(this, true);
}

void fSkiascan::askToEndNow(const QString& patient)
{
    if (m_session->state() == SessionState::Ended)
        return;
    setTopMost(this, false);
    QMessageBox box(QMessageBox::Question, QStringLiteral("Skiascan"),
                    QStringLiteral("The scanner has not finished the film of %1. End Skiascan now? If the scanner "
                                   "still delivers the film, it is imported at the next start.")
                        .arg(patient),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::Yes);
    m_endQuestion = &box;
    const bool endNow = box.exec() == QMessageBox::Yes;
    if (m_session->state() == SessionState::Ended)
        return; // the film came meanwhile and the program has ended
    setTopMost(this, true);
    m_session->answerEndNow(endNow);
}

void fSkiascan::lblOutbox_Click()
{
    if (!m_session->idle() || !lblOutbox->text().startsWith(QLatin1String("Outbox")))
        return;
    setTopMost(this, false);
    {
        Outbox outbox(m_programFolder);
        OutboxDialog dialog(outbox, configuredNodes(settings.remoteNodes()),
                            [this](const QSet<QString>& images) { m_session->sendImagesNow(images); }, this);
        m_outboxDialog = &dialog;
        dialog.exec();
    }
    setTopMost(this, true);
    showSessionState();
}

} // namespace skiascan
