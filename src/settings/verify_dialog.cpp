#include "settings/verify_dialog.h"

#include "common/failure.h"
#include "common/program_log.h"
#include "common/remote_node.h"
#include "common/text.h"
#include "dicom/network.h"

#include <QMessageBox>
#include <QProgressDialog>
#include <QTimer>
#include <QWidget>

#include <limits>

namespace skiascan {

// What the echo on its thread shares with this one.
struct NodeVerifier::Echo {
    Echo()
        : guard(dicom::kVerifyDeadline)
    {
    }
    dicom::NetworkGuard guard;
    dicom::Verification answer;
};

NodeVerifier::NodeVerifier(QWidget* parent)
    : QObject(parent)
    , m_parent(parent)
{
}

NodeVerifier::~NodeVerifier()
{
    m_task.stop();
    delete m_waiting.data();
}

void NodeVerifier::tell(int icon, const QString& text)
{
    auto* box = new QMessageBox(static_cast<QMessageBox::Icon>(icon), QStringLiteral("Skiascan"), text, QMessageBox::Ok,
                                m_parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, &NodeVerifier::told);
    box->open();
}

void NodeVerifier::verify(Role role, const QString& aeTitle, const QString& host, const QString& port,
                          const QString& callingAETitle, const TlsSettings& tls)
{
    if (m_task.running())
        return;
    // A row with nothing to verify says so, in the row's own words.
    QStringList missing;
    if (trimSpaces(aeTitle).isEmpty())
        missing << QStringLiteral("AET");
    if (host.trimmed().isEmpty())
        missing << QStringLiteral("IP-Address");
    if (port.trimmed().isEmpty())
        missing << QStringLiteral("IP-Port");
    const QString what = role == Role::Worklist ? QStringLiteral("The worklist server's row") : QStringLiteral("This row");
    if (missing.size() == 3) {
        tell(QMessageBox::Information, QStringLiteral("%1 is empty: there is no node to verify.").arg(what));
        return;
    }
    if (!missing.isEmpty()) {
        tell(QMessageBox::Warning, QStringLiteral("%1 has no %2. Fill it in to verify the node.")
                                       .arg(what, missing.join(QStringLiteral(" and "))));
        return;
    }
    const std::optional<qint32> number = portNumber(port);
    if (!number) {
        tell(QMessageBox::Warning,
             QStringLiteral("The IP-Port \"%1\" is not a number. Correct it to verify the node.").arg(port.trimmed()));
        return;
    }
    const QString node = dicom::nodeName(aeTitle, host, *number);
    programlog::event(QStringLiteral("verifying %1 (C-ECHO) from the preferences").arg(node));
    // A node that answers at once shows no waiting box; one that is slow
    // shows "Verifying ..." with Cancel, which ends the echo at once. Other
    // input is dropped meanwhile.
    m_cancelled = false;
    m_echo = std::make_shared<Echo>();
    auto* waiting = new QProgressDialog(QStringLiteral("Verifying %1 ...").arg(node), QStringLiteral("Cancel"), 0, 0,
                                        m_parent);
    waiting->setObjectName(QStringLiteral("VerifyWait"));
    waiting->setWindowTitle(QStringLiteral("Skiascan"));
    waiting->setWindowModality(Qt::ApplicationModal);
    waiting->setMinimumDuration(std::numeric_limits<int>::max()); // shown by the timer below only
    m_waiting = waiting;
    m_block = std::make_unique<InputBlock>(waiting);
    const auto cancel = [this] {
        m_cancelled = true;
        m_task.cancel();
    };
    connect(waiting, &QProgressDialog::canceled, this, cancel);
    connect(waiting, &QDialog::rejected, this, cancel);
    QTimer::singleShot(500, waiting, [this, waiting] {
        if (!m_cancelled && m_task.running())
            waiting->show();
    });
    m_parent->setCursor(Qt::WaitCursor);
    m_task.start([echo = m_echo, host, aeTitle, callingAETitle, tls, portNumber = *number](const CancelFlag&) {
                     echo->answer = dicom::verify(host, portNumber, aeTitle, callingAETitle, {}, &echo->guard, tls);
                 },
                 [this, role, node](std::exception_ptr failure) { ended(role, node, failure); },
                 [echo = m_echo] { echo->guard.cancel(); });
}

void NodeVerifier::ended(Role role, const QString& node, std::exception_ptr failure)
{
    m_parent->unsetCursor();
    m_block.reset();
    if (m_waiting) {
        m_waiting->disconnect(this);
        m_waiting->deleteLater();
    }
    const dicom::Verification answer = m_echo->answer;
    m_echo.reset();
    const QString name = role == Role::Worklist ? QStringLiteral("The worklist server %1").arg(node) : node;
    if (m_cancelled) {
        programlog::event(QStringLiteral("verifying %1 cancelled by the operator").arg(node));
        emit told(); // the operator stopped it: nothing to tell
        return;
    }
    if (failure) {
        // Plain words for the operator; the network's own account in the log.
        QString plain;
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            programlog::event(QStringLiteral("verifying %1 failed: %2").arg(node, logText(e)));
            plain = plainNodeFailure(e, name);
        }
        tell(QMessageBox::Critical, failureText(plain, QStringLiteral("The verification failed.")));
        return;
    }
    programlog::event(QStringLiteral("verifying %1: it answered%2").arg(node, answer.protocol.isEmpty() ? QString() : QStringLiteral(" over ") + answer.protocol));
    QString text = QStringLiteral("%1 answered%2.")
                       .arg(name, answer.protocol.isEmpty()
                                      ? QString()
                                      : QStringLiteral(" over %1; its certificate is signed by an authority this "
                                                       "station trusts")
                                            .arg(answer.protocol));
    // Storage commitment concerns the images only: the worklist server is not told of it.
    if (role == Role::Destination)
        text += answer.acceptsCommitment ? QStringLiteral("\nIt accepts storage commitment.")
                                         : QStringLiteral("\nIt does not accept storage commitment.");
    tell(QMessageBox::Information, text);
}

} // namespace skiascan
