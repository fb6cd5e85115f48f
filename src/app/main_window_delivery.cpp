// fSkiascan: the session's state on the window (buttons, fields, the line below
// the buttons), its messages and questions, what delivery does, and the outbox
// window.

#include "app/main_window.h"

#include "app/film_view_link.h"
#include "app/window_helpers.h"
#include "common/program_log.h"
#include "common/text.h"
#include "delivery/outbox_dialog.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>

#include <numeric>

namespace skiascan {

namespace {

// A node by its AE title when no other configured node has that title.
QString shortName(const Node& node, const std::vector<Node>& nodes)
{
    const auto sameTitle = std::count_if(nodes.begin(), nodes.end(), [&](const Node& n) { return n.aeTitle == node.aeTitle; });
    return sameTitle == 1 ? node.aeTitle : QString();
}

// One thing the line below the buttons tells, in its forms from the longest
// to the shortest. When the line is full, the piece of the highest rank gives
// way first: it takes a shorter form, and an optional one leaves the line (it
// stays in the tip).
struct LinePiece {
    QStringList forms;
    int rank = 0;
    bool optional = false;
};

// The pieces in their order, one line each, as many and as long as fit; what
// must be said and still does not fit is put closer together, and cut short
// at the label's edge as a last resort.
QString fitLine(const std::vector<LinePiece>& pieces, const QLabel& label)
{
    const QFontMetrics metrics(label.font());
    const auto fits = [&](const QString& text) {
        return metrics.boundingRect(QRect(0, 0, label.width(), 1000), Qt::AlignCenter | Qt::TextWordWrap, text).height()
            <= label.height();
    };
    std::vector<int> form;
    std::vector<bool> shown;
    // Apart: one line each. Closer: the first on a line, the others together on the next.
    const auto compose = [&](bool closer) {
        QStringList lines;
        for (std::size_t i = 0; i < pieces.size(); ++i)
            if (shown[i])
                lines << pieces[i].forms[form[i]];
        if (closer && lines.size() > 2)
            return lines.front() + QLatin1Char('\n') + lines.mid(1).join(QStringLiteral(", "));
        return lines.join(QLatin1Char('\n'));
    };
    std::vector<std::size_t> order(pieces.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return pieces[a].rank > pieces[b].rank; });
    for (const bool closer : {false, true}) {
        form.assign(pieces.size(), 0);
        shown.assign(pieces.size(), true);
        for (;;) {
            const QString text = compose(closer);
            if (fits(text))
                return text;
            const auto next = std::find_if(order.begin(), order.end(), [&](std::size_t i) {
                return shown[i] && (form[i] + 1 < pieces[i].forms.size() || pieces[i].optional);
            });
            if (next == order.end())
                break;
            if (form[*next] + 1 < pieces[*next].forms.size())
                ++form[*next];
            else
                shown[*next] = false;
        }
    }
    QStringList lines = compose(true).split(QLatin1Char('\n'));
    for (QString& line : lines)
        line = metrics.elidedText(line, Qt::ElideRight, label.width());
    return lines.join(QLatin1Char('\n'));
}

} // namespace

void fSkiascan::showSessionState()
{
    showButtons();
    // The line below the buttons: what the session does, or why a scan is not
    // possible; what waits in the outbox; a node that fails or is gone (the
    // line turns red); a node that is back; the scheduled study. What waits
    // and what fails never give way to the others; everything is in the tip.
    const DeliveryService& delivery = m_session->delivery();
    const QString waiting = m_session->outboxLine();
    const QString activity = m_session->activity();
    std::vector<LinePiece> pieces;
    QStringList tip;
    if (!activity.isEmpty()) {
        pieces.push_back({{activity}, 0, false});
        tip << activity;
    } else if (!m_session->scanning() && !m_refusals.empty()) {
        const EntryRefusal& first = m_refusals.front();
        pieces.push_back({{first.text, first.shortText, QStringLiteral("Check ") + first.caption}, 3, false});
        for (const EntryRefusal& refusal : m_refusals)
            tip << refusal.text;
    }
    if (!waiting.isEmpty()) {
        // "Outbox: 3 images, 1 damaged", or "Outbox: 4" where that is too long.
        static const QRegularExpression counted(QStringLiteral("^Outbox: (\\d+) images?$"));
        const QRegularExpressionMatch count = counted.match(waiting);
        pieces.push_back({count.hasMatch() ? QStringList{waiting, QStringLiteral("Outbox: ") + count.captured(1)}
                                           : QStringList{waiting},
                          2, false});
        tip << waiting + QStringLiteral(": images that a destination has not confirmed yet. They are sent in the "
                                        "background and tried again by themselves after a failure.");
    }
    // Films held for review stay on the line, as what waits does.
    if (const FilmReview::Line review = m_session->review().line(); !review.forms.isEmpty()) {
        pieces.push_back({review.forms, 2, false});
        tip << review.tip;
    }
    QStringList failing;
    for (const NodeStatus& status : delivery.status()) {
        if (!status.failing)
            continue;
        failing << shortName(status.node, delivery.nodes());
        tip << QStringLiteral("%1 has taken no image since %2; %3.")
                   .arg(status.node.name(), status.failingSince.toString(QStringLiteral("HH:mm:ss")),
                        status.activity == NodeStatus::Activity::Waiting
                            ? QStringLiteral("it is tried again by itself at %1")
                                  .arg(status.nextTry.toString(QStringLiteral("HH:mm:ss")))
                            : QStringLiteral("it is tried now"));
    }
    LinePiece trouble{{}, 1, false};
    if (failing.size() == 1) {
        if (!failing.front().isEmpty())
            trouble.forms << QStringLiteral("%1 fails").arg(failing.front());
        trouble.forms << QStringLiteral("A node fails");
    } else if (failing.size() > 1) {
        trouble.forms << QStringLiteral("%1 nodes fail").arg(failing.size());
    } else if (delivery.nodes().empty() && !waiting.isEmpty()) {
        trouble.forms << QStringLiteral("No destination set");
        tip << QStringLiteral("No destination is set in the Preferences (\"Image send to:\"). The images are sent "
                              "once a destination is set.");
    } else if (!m_goneTitles.isEmpty() && !waiting.isEmpty()) {
        // Images wait for a node that is no longer configured: the operator decides.
        if (m_goneTitles.size() == 1)
            trouble.forms << QStringLiteral("%1 is gone").arg(m_goneTitles.front());
        trouble.forms << QStringLiteral("A node is gone");
    }
    if (!m_goneNodes.isEmpty())
        tip << m_goneNodes;
    const bool red = !trouble.forms.isEmpty();
    if (red)
        pieces.push_back(trouble);
    if (!m_backNotice.isEmpty()) {
        pieces.push_back({{m_backNotice, QStringLiteral("A node is back")}, 4, true});
        tip << m_backNotice + QLatin1Char('.');
    }
    if (const std::optional<dicom::ScheduledStudy>& scheduled = m_session->scheduledStudy()) {
        const QString label = scheduled->label();
        const QString description = scheduled->requestedProcedureDescription.isEmpty()
            ? scheduled->stepDescription
            : scheduled->requestedProcedureDescription;
        LinePiece study{{}, 5, true};
        if (!label.isEmpty())
            study.forms << QStringLiteral("Scheduled: ") + label;
        if (!description.isEmpty() && description != label)
            study.forms << QStringLiteral("Scheduled: ") + description;
        study.forms << QStringLiteral("Scheduled study");
        pieces.push_back(study);
        tip << study.forms.front() + QStringLiteral(": the films go into the study the worklist scheduled.");
    }
    if (pieces.empty())
        pieces.push_back({{QStringLiteral("Outbox: empty")}, 6, true});
    // The label keeps its place and size: the text is fitted to it.
    lblOutbox->setText(fitLine(pieces, *lblOutbox));
    lblOutbox->setStyleSheet(red ? QStringLiteral("color: #c00000;") : QString());
    tip << QStringLiteral("Click to open the outbox window.");
    lblOutbox->setToolTip(tip.join(QLatin1Char('\n')));
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

// The outbox window opens at any time, also during a scan and with nothing
// waiting. It does not hold the window's flow in a loop of its own: the scan
// goes on, and its closing shows the outbox anew.
void fSkiascan::lblOutbox_Click()
{
    if (m_outboxDialog) {
        m_outboxDialog->raise();
        m_outboxDialog->activateWindow();
        return;
    }
    setTopMost(this, false);
    auto* dialog = new OutboxDialog(m_session->outbox(), m_session->delivery(), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::finished, this, [this] {
        if (m_session->state() == SessionState::Ended)
            return;
        setTopMost(this, true);
        showOutbox();
    });
    connect(dialog, &OutboxDialog::viewRequested, m_filmView, &FilmViewLink::openOn);
    m_outboxDialog = dialog;
    dialog->open();
}

} // namespace skiascan
