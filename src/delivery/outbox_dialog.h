// The outbox window: each node live (sending 45 %, next try in 30 s, its last
// failure) with Cancel, and every image that waits: who it shows, which nodes
// it still owes and why, which already hold it; damaged ones too. The operator
// can send images now, send them to another configured node instead of one
// they wait for, or remove them (kept in Outbox/removed/, never deleted).
#pragma once

#include "delivery/delivery_service.h"
#include "delivery/outbox.h"

#include <QDialog>
#include <QSet>
#include <QStringList>

class QLabel;
class QPushButton;
class QTimer;
class QTreeWidget;
class QVBoxLayout;

namespace skiascan {

class OutboxDialog : public QDialog {
    Q_OBJECT

public:
    OutboxDialog(Outbox& outbox, DeliveryService& delivery, QWidget* parent);

    QTreeWidget* lvNodes = nullptr;
    QPushButton* cmdCancelSend = nullptr;
    QTreeWidget* lvOutbox = nullptr;
    QPushButton* cmdSendNow = nullptr;
    QPushButton* cmdSendTo = nullptr;
    QPushButton* cmdRemove = nullptr;
    QPushButton* cmdView = nullptr; ///< the film view on the selected image (also a double-click on it)
    QPushButton* cmdClose = nullptr;
    /// The performed procedure steps the RIS is still owed (outbox_steps_dialog.cpp).
    QTreeWidget* lvSteps = nullptr;

    /// Fills the image list from the outbox as it stands; the selection stays.
    void fill();
    /// Shows each node's worker as it is now.
    void showNodes();

    /// What "Send to..." offers for the selected images: a configured node
    /// that neither holds nor waits for any of them, instead of a node each of
    /// them waits for.
    struct Redirect {
        NodeId from;
        Node to;
        QString text() const;
    };
    std::vector<Redirect> redirects() const;

signals:
    /// The operator wants to see the image in the film view.
    void viewRequested(const QString& instanceUid);

private:
    std::vector<const OutboxEntry*> selected() const;
    void enableActions();
    void sendNow();
    void sendTo();
    void removeEntries();
    void tellFailure(const QString& text); // a failure box that does not wait
    void cancelSend();
    void addStepList(QVBoxLayout* layout);
    void fillSteps();
    void viewSelected();

    QString nodeLabel(const Node& node) const;
    std::vector<NodeStatus> busyNodes() const;

    Outbox& m_outbox;
    DeliveryService& m_delivery;
    std::vector<OutboxEntry> m_entries; // in list order; damaged ones last
    QStringList m_failuresShown;        // each node's last failure, as the image list shows them
    QTimer* m_countdown = nullptr;      // the countdowns of the node list
    QLabel* m_stepsLabel = nullptr;
};

} // namespace skiascan
