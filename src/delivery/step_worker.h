// The MPPS node's worker: a thread of its own that tells the node (the RIS)
// what the step outbox owes it, oldest step first, on one association: the
// N-CREATE of each step, and the final N-SET of each ended step once its
// N-CREATE is confirmed. After a failure the node is tried again by itself
// after a growing pause; a step the node refuses waits for a pause of its own.
// It never waits for the images' delivery, and the images never wait for it.
// It tells its owner (the delivery service) what it does through a Listener,
// from its own thread; the owner posts that to its own thread.
//
// The worker's thread belongs to it: the destructor cuts what is under way
// and joins the thread.
#pragma once

#include "delivery/node_status.h"
#include "delivery/step_outbox.h"
#include "delivery/worker_control.h"
#include "dicom/network.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace skiascan {

namespace dicom {
class StepAssociation;
}

class StepWorker : public WorkerControl {
public:
    /// Everything the worker needs, given once: new settings get a new worker.
    struct Setup {
        Node node; ///< the MPPS node; its TLS settings in options.tls
        QString localAETitle;
        dicom::NetworkTimeouts timeouts;
        std::vector<std::chrono::milliseconds> pauses; ///< after 1, 2, ... failures in a row; the last from then on
    };

    /// What the worker tells, each from the worker's thread.
    struct Listener {
        /// Its status changed; it has done all it was woken for up to wake
        /// number `served`.
        std::function<void(const NodeStatus& status, quint64 served)> status;
        /// Steps left the outbox, or changed.
        std::function<void()> outboxChanged;
    };

    /// Starts the worker's thread. It sends nothing before the first wake.
    /// `steps` must outlive the worker.
    StepWorker(StepOutbox& steps, Setup setup, Listener listener);
    /// halt(), then joins the thread.
    ~StepWorker() override;

    const Node& node() const override { return m_setup.node; }

    // Called from the owner's thread.

    /// Look at the steps. The node in its pause after a failure keeps it,
    /// unless `now`: then it tries at once, refused steps too.
    void wake(bool now = false);

private:
    void run();
    void pass(bool forced);
    void sendQueue(std::vector<StepEntry>& queue, dicom::NetworkGuard& guard, StepEntry*& current);
    bool create(dicom::StepAssociation& association, StepEntry& entry);
    bool end(dicom::StepAssociation& association, StepEntry& entry);
    void refused(StepEntry& entry, const QString& why);
    void failed(const QString& failure, bool byOperator);
    std::optional<Clock::time_point> wakeAt() const;
    std::chrono::milliseconds pause(int step) const { return pauseAfter(m_setup.pauses, step); }
    void checkStopped(dicom::NetworkGuard& guard);
    void publish();

    StepOutbox& m_steps;
    const Setup m_setup;
    const Listener m_listener;

    // The worker's own.
    struct Refusal {
        int count = 0;
        Clock::time_point until;
    };
    NodeStatus m_status;
    quint64 m_serving = 0;
    int m_failures = 0;
    Clock::time_point m_retryAt;
    std::map<QString, Refusal> m_refused; // steps refused, by SOP Instance UID
    std::optional<Clock::time_point> m_refusedRetry;

    std::thread m_thread; // last: started once everything above exists
};

} // namespace skiascan
