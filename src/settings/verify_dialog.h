// Verify in the preferences: whether a node answers, with the values as typed.
// The echo runs in the background; a node that is slow to answer shows
// "Verifying ..." with Cancel, and the answer is told in a message box. Nothing
// waits in a loop of its own.
#pragma once

#include "common/background.h"
#include "common/peer_options.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class QProgressDialog;
class QWidget;

namespace skiascan {

class NodeVerifier : public QObject {
    Q_OBJECT

public:
    /// What the node is to this station, for the words of the answer: a
    /// destination is told whether it takes storage commitment, the worklist
    /// server is not.
    enum class Role { Destination, Worklist };

    /// Verifies for the dialog `parent`, over which its boxes open.
    explicit NodeVerifier(QWidget* parent);
    /// Ends an echo under way at once, telling nothing.
    ~NodeVerifier() override;

    /// Verifies the node of one row as typed (`port` as the row reads it),
    /// calling as `callingAETitle`, over TLS when `tls` says so (its PEM paths
    /// absolute). A row with nothing in it, or without one of the three
    /// values, is told so, and nothing is sent. Ignored while a verification
    /// runs.
    void verify(Role role, const QString& aeTitle, const QString& host, const QString& port,
                const QString& callingAETitle, const TlsSettings& tls);

    bool running() const { return m_task.running(); }

signals:
    /// The answer has been shown (or the operator cancelled).
    void told();

private:
    struct Echo;
    void ended(Role role, const QString& node, std::exception_ptr failure);
    void tell(int icon, const QString& text);

    QWidget* m_parent;
    BackgroundTask m_task;
    std::shared_ptr<Echo> m_echo;
    QPointer<QProgressDialog> m_waiting;
    std::unique_ptr<InputBlock> m_block;
    bool m_cancelled = false;
};

} // namespace skiascan
