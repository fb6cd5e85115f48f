// fSkiascan: the session's state on the window (buttons, fields, the line below
// the buttons), its messages and questions, what delivery does, and the outbox
// window.

#include "app/main_window.h"

#include "app/window_helpers.h"
#include "common/program_log.h"
#include "common/text.h"
#include "delivery/outbox_dialog.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

namespace skiascan {

namespace {

// A node by its AE title when no other configured node has that title.
QString shortName(const Node& node, const std::vector<Node>& nodes)
{
    const auto sameTitle = std::count_if(nodes.begin(), nodes.end(), [&](const Node& n) { return n.aeTitle == node.aeTitle; });
    return sameTitle == 1 ? node.aeTitle : QString();
}

} // namespace

void fSkiascan::showSessionState()
{
    showButtons();
    // The line below the buttons says why a click is not taken, else what
    // waits in the outbox; below that, a node that fails or is gone (the line
    // turns red, the node and the reason on hover), or one that is back, or
    // the scheduled procedure the films go to.
    const DeliveryService& delivery = m_session->delivery();
    const QString waiting = m_session->outboxLine();
    QString line = m_session->activity();
    if (line.isEmpty())
        line = waiting;
    QStringList failing;
    QStringList reasons;
    for (const NodeStatus& status : delivery.status()) {
        if (!status.failing)
            continue;
        failing << shortName(status.node, delivery.nodes());
        const QString next = status.activity == NodeStatus::Activity::Waiting
            ? QStringLiteral("next try at %1").arg(status.nextTry.toString(QStringLiteral("HH:mm:ss")))
            : status.text();
        reasons << QStringLiteral("%1: %2 (failing since %3; %4)")
                       .arg(status.node.name(), status.lastFailure,
                            status.failingSince.toString(QStringLiteral("HH:mm:ss")), next);
    }
    QStringList notes; // the longest first, the shortest last
    if (failing.size() == 1) {
        if (!failing.front().isEmpty())
            notes << QStringLiteral("%1 fails").arg(failing.front());
        notes << QStringLiteral("A node fails");
    } else if (failing.size() > 1) {
        notes << QStringLiteral("%1 nodes fail").arg(failing.size());
    } else if (delivery.nodes().empty() && !waiting.isEmpty()) {
        notes << QStringLiteral("No destination set");
        reasons << QStringLiteral("No destination is set in the Preferences (\"Image send to:\"). The images are sent "
                                  "once a destination is set.");
    } else if (!m_goneTitles.isEmpty() && !waiting.isEmpty()) {
        // Images wait for a node that is no longer configured: the operator decides.
        if (m_goneTitles.size() == 1)
            notes << QStringLiteral("%1 is gone").arg(m_goneTitles.front());
        notes << QStringLiteral("A node is gone");
    }
    const bool red = !notes.isEmpty();
    if (!red && !m_backNotice.isEmpty())
        notes << m_backNotice << QStringLiteral("A node is back");
    const std::optional<dicom::ScheduledStudy>& scheduled = m_session->scheduledStudy();
    QString scheduledText;
    if (scheduled) {
        const QString label = scheduled->label();
        scheduledText = label.isEmpty() ? QStringLiteral("Scheduled study") : QStringLiteral("Scheduled: ") + label;
        if (m_session->activity().isEmpty() && !red) {
            // Between scans the line names what the films go to; what waits
            // in the outbox follows when it fits (and is in the tip).
            if (!waiting.isEmpty())
                notes.prepend(waiting);
            line = scheduledText;
        } else if (line.isEmpty()) {
            line = scheduledText;
        } else if (notes.isEmpty()) {
            notes << scheduledText;
        }
    }
    // The line has room for two short lines: a note that does not fit gives
    // way to a shorter one, or to the tooltip alone.
    const QFontMetrics metrics(lblOutbox->font());
    const auto fits = [&](const QString& text) {
        return metrics.boundingRect(QRect(0, 0, lblOutbox->width(), 1000), Qt::AlignCenter | Qt::TextWordWrap, text)
                   .height()
            <= lblOutbox->height();
    };
    for (const QString& note : notes) {
        const QString withNote = line.isEmpty() ? note : line + QStringLiteral("\n") + note;
        if (fits(withNote)) {
            line = withNote;
            break;
        }
    }
    lblOutbox->setText(line);
    lblOutbox->setStyleSheet(red ? QStringLiteral("color: #c00000;") : QString());
    QString tip = reasons.join(QLatin1Char('\n'));
    if (tip.isEmpty() && !waiting.isEmpty())
        tip = QStringLiteral("Images that a destination has not confirmed yet. They are sent in the background and "
                             "tried again by themselves after a failure. Click to see them.");
    if (!m_goneNodes.isEmpty())
        tip += (tip.isEmpty() ? QString() : QStringLiteral("\n")) + m_goneNodes;
    if (scheduled)
        tip += (tip.isEmpty() ? QString() : QStringLiteral("\n"))
            + QStringLiteral("%1; the films go into study %2").arg(scheduledText, m_session->StudyUID());
    if (!waiting.isEmpty() && !line.contains(waiting))
        tip = waiting + QStringLiteral("\n") + tip;
    lblOutbox->setToolTip(tip);
}

// What waits for nodes that are no longer configured, for the line's tip. It
// reads every entry, so it is found anew only when the outbox or the nodes
// change, not at every progress report.
void fSkiascan::showOutbox()
{
    QStringList gone;
    m_goneTitles.clear();
    for (const auto& [node, count] : m_session->delivery().waitingForGone()) {
        gone << QStringLiteral("%1 wait for %2, which is no longer in the Preferences.")
                    .arg(countOf(count, QStringLiteral("image"), QStringLiteral("images")), node);
        m_goneTitles << node.section(QLatin1Char(' '), 0, 0);
    }
    const QString text = gone.join(QLatin1Char('\n'));
    if (!text.isEmpty() && text != m_goneNodes)
        programlog::event(QStringLiteral("shown: %1").arg(gone.join(QLatin1Char(' '))));
    m_goneNodes = text;
    showSessionState();
}

void fSkiascan::nodeDown(const QString& node, const QString& reason)
{
    programlog::event(QStringLiteral("shown: %1 fails: %2").arg(node, reason));
    showSessionState();
}

void fSkiascan::nodeBack(const QString& node)
{
    QString title;
    for (const Node& configured : m_session->delivery().nodes())
        if (configured.name() == node)
            title = shortName(configured, m_session->delivery().nodes());
    m_backNotice = title.isEmpty() ? QStringLiteral("A node is back") : QStringLiteral("%1 is back").arg(title);
    m_backNoticeTimer->start(15000);
    showSessionState();
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

// The session's messages and questions are opened, not waited for: the
// session goes on, and the answer comes back by a signal. While one is open the
// window gives up its top-most state.
void fSkiascan::tell(const Notice& notice)
{
    if (m_session->state() == SessionState::Ended && !m_endingAfterNotices) {
        // The window has closed; a message now would bring it back.
        programlog::event(QStringLiteral("at the end, not shown: %1").arg(notice.text));
        return;
    }
    const QMessageBox::Icon icon = notice.severity == Severity::Critical  ? QMessageBox::Critical
                                   : notice.severity == Severity::Warning ? QMessageBox::Warning
                                                                          : QMessageBox::Information;
    auto* box = new QMessageBox(icon, notice.underWindowCaption ? windowTitle() : QStringLiteral("Skiascan"), notice.text,
                                QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    openQuestion(box, [](int) {});
}

void fSkiascan::askToEndNow(const QString& patient)
{
    if (m_session->state() == SessionState::Ended || m_endQuestion)
        return;
    auto* box = new QMessageBox(QMessageBox::Question, QStringLiteral("Skiascan"),
                                QStringLiteral("The scanner has not finished the film of %1. End Skiascan now? If the "
                                               "scanner still delivers the film, it is imported at the next start.")
                                    .arg(patient),
                                QMessageBox::Yes | QMessageBox::No, this);
    box->setDefaultButton(QMessageBox::Yes);
    box->setAttribute(Qt::WA_DeleteOnClose);
    m_endQuestion = box;
    openQuestion(box, [this](int answer) { m_session->answerEndNow(answer == QMessageBox::Yes); });
}

void fSkiascan::openQuestion(QMessageBox* box, std::function<void(int)> answered)
{
    m_openBoxes.append(box);
    setTopMost(this, false);
    connect(box, &QMessageBox::finished, this, [this, box, answered = std::move(answered)](int result) {
        m_openBoxes.removeAll(box);
        m_openBoxes.removeAll(nullptr);
        answered(result);
        if (!m_openBoxes.isEmpty())
            return;
        if (m_endingAfterNotices) {
            // The program ended while the operator still had to read these.
            m_endingAfterNotices = false;
            close();
            emit ended(EXIT_SUCCESS);
            return;
        }
        if (m_session->state() != SessionState::Ended)
            setTopMost(this, true);
    });
    box->open();
}

void fSkiascan::lblOutbox_Click()
{
    if (!m_session->idle() || m_session->outboxLine().isEmpty())
        return;
    setTopMost(this, false);
    {
        OutboxDialog dialog(m_session->outbox(), m_session->delivery(), this);
        m_outboxDialog = &dialog;
        dialog.exec();
    }
    setTopMost(this, true);
    showOutbox();
}

} // namespace skiascan
