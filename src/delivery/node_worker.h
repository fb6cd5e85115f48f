// One node's worker: a thread of its own that sends what the outbox owes the
// node, one association at a time, oldest image first, several images on one
// association, and asks the node to commit to what it stored. After a failure
// the node is tried again by itself after a growing pause; an image the node
// refuses waits for a pause of its own. The worker tells its owner what it
// does through a Listener, from its own thread; the owner (the delivery
// service) posts that to its own thread.
//
// The worker's thread belongs to it: the destructor cuts what is under way and
// joins the thread, so nothing of a worker runs after it is gone.
#pragma once

#include "delivery/node_status.h"
#include "delivery/outbox.h"
#include "delivery/worker_control.h"
#include "dicom/image.h"
#include "dicom/network.h"

#include <QSet>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace skiascan {

class NodeWorker : public WorkerControl {
public:
    /// Everything a worker needs, given once: a node whose settings change
    /// gets a new worker.
    struct Setup {
        Node node;
        std::vector<Node> nodes; ///< every configured node, for images owed to a node that moved
        QString localAETitle;
        dicom::NetworkTimeouts timeouts;
        std::vector<std::chrono::milliseconds> pauses; ///< after 1, 2, ... failures in a row; the last from then on
        std::chrono::milliseconds commitmentWait{std::chrono::minutes(10)}; ///< a silent node is asked again after it
        /// How the worker it replaces left the node: one that was failing is
        /// told back when it takes an image again.
        NodeStatus before{};
    };

    /// What the worker tells, each from the worker's thread.
    struct Listener {
        /// Its status changed; it has done all it was woken for up to wake
        /// number `served` (see wakes()).
        std::function<void(const NodeStatus& status, quint64 served)> status;
        /// The node fails (once, until it takes an image again), and why.
        std::function<void(const QString& reason)> down;
        /// The node that failed took an image again.
        std::function<void()> back;
        /// Images were struck off the outbox.
        std::function<void()> outboxChanged;
    };

    /// Starts the worker's thread. It sends nothing before the first wake.
    /// `outbox` must outlive the worker.
    NodeWorker(Outbox& outbox, Setup setup, Listener listener);
    /// halt(), then joins the thread.
    ~NodeWorker() override;

    const Node& node() const override { return m_setup.node; }
    const Setup& setup() const { return m_setup; }

    // Called from the owner's thread.

    /// Look at the outbox. A node in its pause after a failure keeps it,
    /// unless `now` (Send now): then it tries at once, and the images `retry`
    /// lose the pause of their own a refusal gave them.
    void wake(bool now = false, const QSet<QString>& retry = {});
    /// A new film is being written ahead: it goes at once, from `image` (a
    /// light copy made on the owner's thread), beside the write.
    void filmComing(const OutboxEntry& entry, dicom::Image image);
    /// What happened to a film while it was written ahead, once it is kept:
    /// the nodes it was confirmed for, or why the node did not take it.
    struct Early {
        std::vector<NodeId> confirmed; ///< empty when it did not confirm it
        QString failure;               ///< empty when it did not fail
    };
    Early filmKept(const QString& instanceUid);
    /// The owner has struck off what filmKept() said the node confirmed.
    void forgetEarly(const QString& instanceUid);
    /// The film could not be written ahead: forget it.
    void filmNotKept(const QString& instanceUid);

private:
    struct Refusal {
        int count = 0;
        Clock::time_point until;
    };
    struct Pass; // what one pass goes through (node_worker.cpp)

    void run();
    void pass(bool forced);
    void sendQueue(std::vector<OutboxEntry>& queue, dicom::NetworkGuard& guard, OutboxEntry*& current);
    void sent(OutboxEntry& entry, const std::vector<NodeId>& owed);
    void refusedImage(OutboxEntry& entry, const std::vector<NodeId>& owed, const QString& why);
    void failed(const QString& failure, bool byOperator);
    void goingDown(const QString& failure);
    std::optional<Clock::time_point> wakeAt() const;
    std::chrono::milliseconds pause(int step) const { return pauseAfter(m_setup.pauses, step); }
    void publish(bool always = true);

    Outbox& m_outbox;
    const Setup m_setup;
    const Listener m_listener;

    // Beside WorkerControl's, what the owner's thread and the worker's share,
    // under m_mutex.
    QSet<QString> m_retry;                             // refused images Send now asks for
    std::map<QString, dicom::Image> m_images;          // new films' light copies, by SOP Instance UID
    std::deque<QString> m_imageOrder;
    std::map<QString, OutboxEntry> m_coming;           // new films still being written ahead
    std::map<QString, std::vector<NodeId>> m_confirmedEarly; // coming films the node confirmed
    std::map<QString, QString> m_failedEarly;          // and why it failed one

    // The worker's own, touched by its thread only.
    NodeStatus m_status;
    quint64 m_serving = 0;  // the wakes this pass answers
    int m_failures = 0;     // failed tries in a row
    Clock::time_point m_retryAt;
    std::map<QString, Refusal> m_refused;                // images refused, tried again after a pause of their own
    std::optional<Clock::time_point> m_refusedRetry;     // when the first of them is due
    std::optional<Clock::time_point> m_commitmentDue;    // when a node silent on a request is asked again
    Clock::time_point m_lastProgress;

    std::thread m_thread; // last: started once everything above exists
};

} // namespace skiascan
