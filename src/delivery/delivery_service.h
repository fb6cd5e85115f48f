// The delivery service: it lives beside the window for the whole run of the
// program and sends what the outbox owes. It owns the outbox, one worker per
// node (node_worker.h) and the commitment reports (commitment_reports.h), and
// tells the window what they do through signals on its own thread: the
// workers and the listener post their events here, nothing polls. A node that
// is down costs the operator nothing: no call here waits for the network.
#pragma once

#include "delivery/commitment_reports.h"
#include "delivery/destinations.h"
#include "delivery/node_status.h"
#include "delivery/node_worker.h"
#include "delivery/outbox.h"
#include "delivery/step_outbox.h"
#include "delivery/step_worker.h"
#include "dicom/network.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace skiascan {

namespace dicom {
class Image;
}

class DeliveryService : public QObject {
    Q_OBJECT

public:
    /// The pauses before a failed node is tried again by itself: the first
    /// after one failure, the next after two, ..., the last one from then on.
    struct Timing {
        std::vector<std::chrono::milliseconds> pauses{std::chrono::seconds(10), std::chrono::seconds(30),
                                                      std::chrono::minutes(1), std::chrono::minutes(2),
                                                      std::chrono::minutes(5)};
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

    /// The outbox the service sends from, which everyone who changes it
    /// shares (it holds the lock of its entries).
    Outbox& outbox() { return m_outbox; }
    const Outbox& outbox() const { return m_outbox; }

    /// The nodes and how to reach them. A worker whose node is no longer
    /// configured, or whose settings changed, is stopped and joined (its
    /// transfer is cut; the image stays owed); a node new here, or changed,
    /// gets a worker. Nothing is sent before the next wake. With a
    /// `listenPort`, the station takes the nodes' storage commitment reports
    /// on that port until stop(). With a `stepNode`, the MPPS node (the RIS)
    /// gets a worker of its own for the performed procedure steps.
    void configure(const std::vector<Node>& nodes, const QString& localAETitle, const dicom::NetworkTimeouts& timeouts,
                   quint16 listenPort = 0, const std::optional<Node>& stepNode = std::nullopt);
    const std::vector<Node>& nodes() const { return m_nodes; }

    /// The performed procedure steps the MPPS node is owed, beside the
    /// images (delivery_steps.cpp).
    StepOutbox& steps() { return m_steps; }
    const StepOutbox& steps() const { return m_steps; }
    /// The MPPS node steps are reported to; none while reporting is off.
    const std::optional<Node>& stepNode() const { return m_stepNode; }
    /// Its worker as it last told; none while reporting is off.
    std::optional<NodeStatus> stepStatus() const;
    /// The session opened, extended or ended a step: the MPPS node's worker
    /// looks at once (a node in its pause after a failure keeps it).
    void stepsChanged();

    /// Start-up, or a new film: workers that wait for nothing look at the
    /// outbox. A node in its pause after a failure keeps its pause.
    void wake();
    /// Start-up: images a node stored and was asked to commit to in an
    /// earlier run are asked about again at once (its report may have been
    /// lost when the program ended), then the workers are woken.
    void resume();
    /// A new film is being written ahead into the outbox: its sends start at
    /// once, beside the write. Its pixels, read once, are shared by the sends
    /// (each worker keeps its own light copy until it has sent it). What a
    /// node confirms meanwhile is struck off once the film is kept. A film
    /// held for review is not sent (see Outbox::release()).
    void filmComing(const OutboxEntry& entry, const dicom::Image& image);
    /// The film's write-ahead has ended: the confirmations so far are struck
    /// off its entry (`entry` as Outbox::keep() filled it in).
    void filmKept(const OutboxEntry& entry);
    /// The film could not be written ahead: it stays in the scanner's folder
    /// and the journal, and is imported (and sent) again at the next start.
    void filmNotKept(const QString& instanceUid);
    /// Send now: the nodes that `images` are owed to (all nodes when empty)
    /// try at once, whatever their pause; images awaiting a node's commitment
    /// are asked about again at once.
    void sendNow(const QSet<QString>& images = {});
    /// The operator changed the outbox (removed images, sent them elsewhere):
    /// a node that no image waits for any more fails no longer.
    void outboxEdited();
    /// Cancel: cuts the transfer or the association request of `node` (every
    /// node's when empty) within a second. The image stays owed; the node is
    /// tried again after its pause.
    void cancel(const std::optional<NodeId>& node = std::nullopt);
    /// Quit: every worker finishes what it was woken for (a film kept a
    /// moment ago, the image under way) within `grace`, then is stopped, its
    /// transfer cut, and joined. Returns within about `grace` and half a
    /// second more; no worker runs afterwards. What is owed stays in the
    /// outbox.
    void stop(std::chrono::milliseconds grace = std::chrono::seconds(1));

    /// The port the station takes storage commitment reports on; 0 when it
    /// takes none (none set, or the port could not be opened: it is tried
    /// again every Timing::listenRetry).
    quint16 listening() const { return m_reports.listening(); }

    /// Each configured node's worker, in row order, as it last told.
    std::vector<NodeStatus> status() const;
    /// True when no worker is connecting or sending.
    bool quiet() const;
    /// True when every worker has done all it was woken for and the window
    /// has heard of it.
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
    /// Images were confirmed or committed to: the outbox holds fewer.
    void outboxChanged();

private:
    // What a worker or the listener tells, from its thread: queued under a
    // lock and delivered on this object's thread, in the order it came.
    struct Event {
        enum class Kind { Status, Down, Back, OutboxChanged, Reported, StepStatus };
        Kind kind = Kind::Status;
        quint64 worker = 0; // the worker it comes from; 0 for the listener
        NodeStatus status;  // Status
        quint64 served = 0; // Status
        QString reason;     // Down
        NodeId node;        // Reported
    };
    void post(Event event);
    // Called by name from the queue, so that Qt makes and frees the call on
    // its side rather than in a slot object of ours shared by two threads.
    Q_INVOKABLE void deliverEvents();

    struct Slot {
        std::unique_ptr<NodeWorker> worker;
        NodeStatus status;   // as the worker last told
        quint64 served = 0;  // the wakes it has done all for
    };
    std::unique_ptr<NodeWorker> makeWorker(const Node& node, quint64 id, const NodeStatus& before);
    Slot* slotOf(quint64 id);
    void reported(const NodeId& node);
    void configureSteps(const std::optional<Node>& stepNode, bool again);

    QString m_folder;
    Outbox m_outbox;
    Timing m_timing;
    std::vector<Node> m_nodes;
    QString m_localAETitle;
    dicom::NetworkTimeouts m_timeouts;
    quint16 m_listenPort = 0;
    std::map<quint64, Slot> m_slots; // by worker id, in the order the workers were made
    std::vector<quint64> m_rows;     // the worker of each configured node, in row order
    quint64 m_nextId = 1;
    mutable std::mutex m_eventLock;
    std::vector<Event> m_events; // posted, not yet delivered
    CommitmentReports m_reports;
    QTimer m_listenRetry;

    // The MPPS node's worker (delivery_steps.cpp); its events carry its id.
    StepOutbox m_steps;
    std::optional<Node> m_stepNode;
    std::unique_ptr<StepWorker> m_stepWorker;
    quint64 m_stepWorkerId = 0;
    NodeStatus m_stepStatus;
    quint64 m_stepServed = 0;
};

} // namespace skiascan
