// Delivery of images to the remote nodes: a new film right after its import,
// and rounds through the outbox for what is still owed. One association per
// node at a time, the nodes at the same time; every send bounded by a deadline
// that grows with the image, and stopped by Cancel.
#pragma once

#include "delivery/destinations.h"
#include "delivery/outbox.h"
#include "dicom/network.h"

#include <QSet>
#include <QString>

#include <map>
#include <mutex>
#include <vector>

namespace skiascan {

/// The network work under way, for the window that shows it: one row per film
/// and node with its bytes, and a cancel switch. Thread-safe.
class DeliveryProgress {
public:
    struct Row {
        QString film;
        QString node;
        qint64 done = 0;
        qint64 total = 0;
        QString state; // empty while it runs, else how it ended
    };

    DeliveryProgress();
    ~DeliveryProgress();

    std::vector<Row> rows() const;

    /// Stops every send at once; what was not confirmed stays owed.
    void cancel();
    bool cancelled() const;

    // For the engine: a row per send, watched through its guard until it ends.
    int begin(const QString& film, const QString& node, dicom::NetworkGuard* guard);
    void end(int row, const QString& state);

private:
    mutable std::mutex m_mutex;
    std::vector<Row> m_rows;
    std::vector<dicom::NetworkGuard*> m_guards;
    bool m_cancelled = false;
};

/// What one node did with one image.
struct NodeResult {
    Node node;
    bool confirmed = false;
    QString failure;            // why not, when not confirmed
    bool stopsTheRound = false; // the node cannot be reached (or the send was stopped): not tried again this round
};

/// What became of a new film's delivery.
struct FilmDelivery {
    std::vector<NodeResult> results; // in row order
    bool noNodeConfigured = false;
    bool kept = false;   // written ahead into the outbox
    QString keepFailure; // why it could not be written there
    bool cancelled = false;
    /// True when the scanned file may go: the outbox holds the image, or every
    /// configured node has confirmed it.
    bool safe() const;
    std::vector<NodeResult> failures() const;
};

/// Delivers a new film: writes it ahead into the outbox owing every configured
/// node (or, with none configured, the first one configured later) and, at the
/// same time, sends it to each node, one thread per node, with `localAETitle`
/// as calling AE title. Each send waits for its node as `timeouts` say and is
/// bounded by timeouts.sendDeadline() of the image's size. The nodes that
/// confirm are struck off the entry; an entry owed nothing more is deleted.
/// `entry` carries who the image shows. `image` is read by the threads and
/// must not change meanwhile.
FilmDelivery deliverFilm(const dicom::Image& image, OutboxEntry entry, const std::vector<Node>& nodes,
                         const QString& localAETitle, const dicom::NetworkTimeouts& timeouts, Outbox& outbox,
                         DeliveryProgress* progress = nullptr);

/// What one round through the outbox achieved.
struct RoundReport {
    int confirmed = 0;                      // confirmations received
    std::vector<NodeResult> failures;       // per node, the first failure of the round, in row order
    std::map<QString, int> waitingForGone;  // AE titles no longer configured, and their images
    QStringList unreadable;                 // entries that could not be read
    bool cancelled = false;
};

/// Sends what the outbox owes: each configured node its queue, oldest first, all
/// nodes at the same time. A node that cannot be reached is not tried again in
/// this round; one that refuses an image goes on with the next. Images owed to
/// AE titles that are no longer configured wait and are counted. Images kept
/// while no node was configured are given to the nodes configured now. Nodes
/// in `skip` are left out; with `only` not empty, only those images are sent.
/// Each send is held to `timeouts` as deliverFilm() holds it.
RoundReport runRound(Outbox& outbox, const std::vector<Node>& nodes, const QString& localAETitle,
                     const dicom::NetworkTimeouts& timeouts, DeliveryProgress* progress = nullptr,
                     const QSet<QString>& skip = {}, const QSet<QString>& only = {});

} // namespace skiascan
