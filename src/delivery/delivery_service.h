// The delivery service: it lives beside the window for the whole run of the
// program and sends what the outbox owes. One worker per node, on a thread of
// its own: one association at a time, oldest image first, several images on
// one association. After a failure the node is tried again by itself after a
// growing pause; Send now and the preferences try at once. A node that is down
// costs the operator nothing: no call here waits for the network.
#pragma once

#include "delivery/destinations.h"
#include "delivery/outbox.h"
#include "dicom/commitment.h"
#include "dicom/network.h"

#include <QDateTime>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <chrono>
#include <map>
#include <memory>
#include <vector>

namespace skiascan {

namespace dicom {
class Image;
}

/// What a node's worker is doing, for the window.
struct NodeStatus {
    enum class Activity {
        Idle,       ///< nothing owed, or waiting to be woken
        Connecting, ///< asking for an association
        Sending,    ///< an image is under way
        Waiting,    ///< the last try failed: tried again by itself at nextTry
    };
    Node node;
    Activity activity = Activity::Idle;
    QString image;            ///< the image under way ("Smith^John (4711), image 2")
    qint64 done = 0;          ///< its bytes sent so far
    qint64 total = 0;         ///< and in all (0 until the transfer starts)
    int owed = 0;             ///< images waiting for this node, as the last pass found them
    bool failing = false;     ///< the node could not be reached, or refused an image, since it last took one
    QString lastFailure;      ///< why, or why the last image was refused
    QDateTime lastFailureAt;
    QDateTime failingSince;
    QDateTime nextTry;        ///< while Waiting
    int awaiting = 0;         ///< images the node stored and has not yet committed to
    QDateTime awaitingSince;  ///< when the oldest of them was stored
    QString reportsProblem;   ///< why the node's commitment reports cannot arrive now; empty when they can

    /// "sending 45 %", "connecting", "next try in 30 s", "idle".
    QString text() const;
    /// "awaiting commitment since 10:42" while the node owes commitments,
    /// and why its reports cannot arrive when they cannot; empty otherwise.
    QString commitmentText() const;
};

class DeliveryService : public QObject {
    Q_OBJECT

public:
    /// The pauses before a failed node is tried again by itself: the first
    /// after one failure, the next after two, ..., the last one from then on.
    struct Timing {
        std::vector<std::chrono::milliseconds> pauses{std::chrono::seconds(10), std::chrono::seconds(30),
                                                      std::chrono::minutes(1), std::chrono::minutes(2),
                                                      std::chrono::minutes(5)};
        std::chrono::milliseconds poll{250}; ///< how often the window hears of the workers
        /// How long a node may take to report on a commitment request before
        /// it is asked again, under a new transaction.
        std::chrono::milliseconds commitmentWait{std::chrono::minutes(10)};
        /// How often the station tries again to take reports on a port it
        /// could not open (another program holds it).
        std::chrono::milliseconds listenRetry{std::chrono::seconds(30)};
    };

    /// The service of a program folder's outbox. It sends nothing until
    /// configure() and wake() (or sendNow()).
    explicit DeliveryService(const QString& programFolder, QObject* parent = nullptr);
    /// stop().
    ~DeliveryService() override;

    void setTiming(const Timing& timing);

    /// The nodes and how to reach them. A worker whose node is no longer
    /// configured, or whose settings changed, stops (its transfer is cut; the
    /// image stays owed); a node new here, or changed, gets a worker. Nothing
    /// is sent before the next wake. With a `listenPort`, the station takes
    /// the nodes' storage commitment reports on that port (from the
    /// configured nodes only) until stop(); a new port or AE title restarts
    /// the listener.
    void configure(const std::vector<Node>& nodes, const QString& localAETitle, const dicom::NetworkTimeouts& timeouts,
                   quint16 listenPort = 0);
    const std::vector<Node>& nodes() const { return m_nodes; }

    /// Start-up, or a new film: workers that wait for nothing look at the
    /// outbox. A node in its pause after a failure keeps its pause.
    void wake();
    /// A new film is being written ahead into the outbox: its sends start at
    /// once, beside the write. Its pixels, read once, are shared by the sends
    /// (each worker keeps its own light copy until it has sent it). What a
    /// node confirms meanwhile is struck off once the film is kept.
    void filmComing(const OutboxEntry& entry, const dicom::Image& image);
    /// The film's write-ahead has ended: the confirmations so far are struck
    /// off its entry (`entry` as Outbox::keep() filled it in).
    void filmKept(const OutboxEntry& entry);
    /// The film could not be written ahead: it stays in the scanner's folder
    /// and the journal, and is imported (and sent) again at the next start.
    void filmNotKept(const QString& instanceUid);
    /// Send now: the nodes that `images` are owed to (all nodes when empty)
    /// try at once, whatever their pause.
    void sendNow(const QSet<QString>& images = {});
    /// The operator changed the outbox (removed images, sent them elsewhere):
    /// a node that no image waits for any more fails no longer.
    void outboxEdited();
    /// Cancel: cuts the transfer or the association request of `node` (every
    /// node's when empty) within a second. The image stays owed; the node is
    /// tried again after its pause.
    void cancel(const std::optional<NodeId>& node = std::nullopt);
    /// Quit: every worker finishes what it was woken for (a film kept a
    /// moment ago, the image under way) within `grace`, then stops, its
    /// transfer cut. Returns within about `grace` and half a second more; a
    /// worker that is still connecting then finishes on its own and touches
    /// nothing of the program. What is owed stays in the outbox.
    void stop(std::chrono::milliseconds grace = std::chrono::seconds(1));

    /// The port the station takes storage commitment reports on; 0 when it
    /// takes none (none set, or the port could not be opened: it is tried
    /// again every Timing::listenRetry).
    quint16 listening() const;

    /// Each configured node's worker, in row order.
    std::vector<NodeStatus> status() const;
    /// True when no worker is connecting or sending.
    bool quiet() const;
    /// True when every worker has done what it was woken for (it waits for a
    /// wake, its pause, or a refused image's pause) and changed() and
    /// outboxChanged() have told of it.
    bool settled() const;

    /// The images owed to nodes that are no longer configured, by node name.
    std::map<QString, int> waitingForGone() const;

signals:
    /// status() changed.
    void changed();
    /// A node could not be reached or refused an image (once, until it is
    /// back), and why.
    void nodeDown(const QString& node, const QString& reason);
    /// A node that was down took an image again.
    void nodeBack(const QString& node);
    /// Images were confirmed: the outbox holds fewer.
    void outboxChanged();

private:
    struct Worker;
    struct Reports;
    void poll();
    void listen(quint16 port, const TlsSettings& tls);

    QString m_folder;
    Timing m_timing;
    std::vector<Node> m_nodes;
    QString m_localAETitle;
    dicom::NetworkTimeouts m_timeouts;
    std::vector<std::shared_ptr<Worker>> m_workers; // one per node, in row order
    QTimer m_poll;
    std::vector<NodeStatus> m_shown;                 // status() as last signalled
    std::map<const Worker*, std::pair<int, int>> m_events; // down and back events signalled
    int m_confirmedShown = 0;
    std::shared_ptr<Reports> m_reports; // shared with the listener's thread
    std::unique_ptr<dicom::CommitmentListener> m_listener;
    quint16 m_listenPort = 0;
    TlsSettings m_listenTls;
    QString m_listenProblem;                 // why the port could not be opened
    std::chrono::steady_clock::time_point m_listenTried;
    int m_reportsShown = 0;
};

} // namespace skiascan
