// The outbox window: every image that waits, who it shows, which nodes it still
// owes and why; damaged ones too. The operator can send an image now, send it
// to another configured node instead of one that is gone, or remove it (it is
// kept in Outbox/removed/, never deleted).
#pragma once

#include "delivery/destinations.h"
#include "delivery/outbox.h"

#include <QDialog>
#include <QSet>

#include <functional>

class QPushButton;
class QTreeWidget;

namespace skiascan {

class OutboxDialog : public QDialog {
    Q_OBJECT

public:
    /// `sendNow` sends the images of the given SOP Instance UIDs (a round of
    /// their own, with its progress window) and returns when done.
    OutboxDialog(Outbox& outbox, std::vector<Node> nodes, std::function<void(const QSet<QString>&)> sendNow,
                 QWidget* parent);

    QTreeWidget* lvOutbox = nullptr;
    QPushButton* cmdSendNow = nullptr;
    QPushButton* cmdSendTo = nullptr;
    QPushButton* cmdRemove = nullptr;
    QPushButton* cmdClose = nullptr;

    /// Fills the list from the outbox as it stands.
    void fill();

    /// While images of the outbox are being sent, the actions that change it
    /// wait.
    void setSending(bool sending);

private:
    const OutboxEntry* selected() const;
    void enableActions();
    void sendNow();
    void sendTo();
    void removeEntry();

    Outbox& m_outbox;
    std::vector<Node> m_nodes;
    std::function<void(const QSet<QString>&)> m_sendNow;
    std::vector<OutboxEntry> m_entries; // in list order; damaged ones last
    bool m_sending = false;
};

} // namespace skiascan
