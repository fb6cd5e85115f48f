// A node's worker: when it looks at the outbox, what one pass takes, and the
// pauses after failures. The sends of a pass are in node_sending.cpp.

#include "delivery/node_worker.h"

#include "common/failure.h"
#include "common/program_log.h"
#include "delivery/commitment_requests.h"

namespace skiascan {

namespace {

// How many new films a worker keeps in memory for its sends; older ones are
// read from the outbox when their turn comes.
constexpr std::size_t kImagesInMemory = 8;

} // namespace

NodeWorker::NodeWorker(Outbox& outbox, Setup setup, Listener listener)
    : WorkerControl(QStringLiteral("delivery"))
    , m_outbox(outbox)
    , m_setup(std::move(setup))
    , m_listener(std::move(listener))
{
    m_status.node = m_setup.node;
    m_status.failing = m_setup.before.failing;
    m_status.failingSince = m_setup.before.failingSince;
    m_status.lastFailure = m_setup.before.lastFailure;
    m_status.lastFailureAt = m_setup.before.lastFailureAt;
    m_thread = std::thread([this] { run(); });
}

NodeWorker::~NodeWorker()
{
    stopNow();
    m_thread.join();
}

void NodeWorker::wake(bool now, const QSet<QString>& retry)
{
    ++m_wakes;
    const std::lock_guard lock(m_mutex);
    m_woken = true;
    m_now = m_now || now;
    m_retry.unite(retry);
    m_wake.notify_all();
}

void NodeWorker::filmComing(const OutboxEntry& entry, dicom::Image image)
{
    ++m_wakes;
    const std::lock_guard lock(m_mutex);
    m_coming.insert_or_assign(entry.instanceUid, entry);
    m_images.insert_or_assign(entry.instanceUid, std::move(image));
    m_imageOrder.push_back(entry.instanceUid);
    while (m_imageOrder.size() > kImagesInMemory) {
        m_images.erase(m_imageOrder.front());
        m_imageOrder.pop_front();
    }
    m_woken = true;
    m_wake.notify_all();
}

NodeWorker::Early NodeWorker::filmKept(const QString& instanceUid)
{
    const std::lock_guard lock(m_mutex);
    Early early;
    m_coming.erase(instanceUid);
    // What the node confirmed stays noted (so that no pass sends the film
    // again) until the owner has struck it off: forgetEarly().
    if (const auto found = m_confirmedEarly.find(instanceUid); found != m_confirmedEarly.end())
        early.confirmed = found->second;
    if (const auto found = m_failedEarly.find(instanceUid); found != m_failedEarly.end()) {
        early.failure = found->second;
        m_failedEarly.erase(found);
    }
    return early;
}

void NodeWorker::forgetEarly(const QString& instanceUid)
{
    const std::lock_guard lock(m_mutex);
    m_confirmedEarly.erase(instanceUid);
}

void NodeWorker::filmNotKept(const QString& instanceUid)
{
    const std::lock_guard lock(m_mutex);
    m_coming.erase(instanceUid);
    m_confirmedEarly.erase(instanceUid);
    m_failedEarly.erase(instanceUid);
    m_images.erase(instanceUid);
}

std::optional<NodeWorker::Clock::time_point> NodeWorker::wakeAt() const
{
    if (m_status.activity == NodeStatus::Activity::Waiting)
        return m_retryAt;
    std::optional<Clock::time_point> at = m_refusedRetry;
    if (m_commitmentDue && (!at || *m_commitmentDue < *at))
        at = m_commitmentDue;
    return at;
}

void NodeWorker::publish(bool always)
{
    // Progress goes out a few times a second; everything else at once.
    const Clock::time_point now = Clock::now();
    if (!always && now - m_lastProgress < std::chrono::milliseconds(200))
        return;
    m_lastProgress = now;
    if (m_listener.status)
        m_listener.status(m_status, m_serving);
}

void NodeWorker::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        const auto due = [&] {
            const std::optional<Clock::time_point> at = wakeAt();
            return at && Clock::now() >= *at;
        };
        while (!m_stop && !m_ending && !m_woken && !m_now && !due()) {
            if (const std::optional<Clock::time_point> at = wakeAt())
                m_wake.wait_until(lock, *at);
            else
                m_wake.wait(lock);
        }
        if (m_stop || (m_ending && !m_woken && !m_now))
            break;
        const bool forced = m_now;
        m_now = false;
        m_woken = false;
        m_serving = m_wakes.load();
        // A new film does not cut a failed node's pause short; but when the
        // operator took away everything it waited for, it fails no longer.
        if (m_status.activity == NodeStatus::Activity::Waiting && !forced && !due()) {
            lock.unlock();
            const std::vector<OutboxEntry> entries = m_outbox.entries();
            const bool owed = std::any_of(entries.begin(), entries.end(), [this](const OutboxEntry& entry) {
                return entry.anyNode || !entry.owedTo(m_setup.node, m_setup.nodes).empty();
            });
            if (!owed) {
                m_status.activity = NodeStatus::Activity::Idle;
                m_status.failing = false;
                m_status.owed = 0;
                m_failures = 0;
            }
            publish();
            lock.lock();
            continue;
        }
        m_refusedRetry.reset();
        m_commitmentDue.reset();
        lock.unlock();
        pass(forced);
        publish();
        lock.lock();
    }
    m_images.clear();
    m_ended = true;
    m_wake.notify_all();
}

// One pass through the outbox: every image owed to this node, oldest first,
// on one association.
void NodeWorker::pass(bool forced)
{
    const Node& self = m_setup.node;
    const std::vector<Node>& all = m_setup.nodes;
    const bool commits = self.options.storageCommitment;
    // The films being written ahead are taken before the outbox is read: a
    // film kept in between is then in the outbox, never in neither.
    std::map<QString, OutboxEntry> coming;
    QSet<QString> retry;
    {
        const std::lock_guard lock(m_mutex);
        coming = m_coming;
        retry = std::exchange(m_retry, {});
    }
    for (const QString& uid : retry)
        m_refused.erase(uid);

    m_outbox.assignToNodes(all);
    std::vector<OutboxEntry> queue;
    QSet<QString> owedHere;
    const std::vector<OutboxEntry> entries = m_outbox.entries();
    for (OutboxEntry entry : entries) {
        if (entry.held)
            continue; // held for review: no node gets it before the operator accepts it
        const std::vector<const OwedNode*> stored = entry.awaitingAt(self, all);
        if (!stored.empty() && !commits) {
            // The node is no longer asked for commitment: that it stored the
            // image is enough.
            std::vector<NodeId> ids;
            for (const OwedNode* node : stored)
                ids.push_back(node->id());
            try {
                m_outbox.strikeOff(entry, ids, self.id());
                m_listener.outboxChanged();
            } catch (const Failure& e) {
                programlog::event(e.description());
            }
        }
        const std::vector<NodeId> unsent = entry.unsentTo(self, all);
        if (unsent.empty())
            continue;
        // An image the node could not commit to goes again after a pause
        // that grows with each such report, as a refused image does: a node
        // that keeps failing does not get it over and over.
        for (const OwedNode& node : entry.owed) {
            if (node.commitmentFailures <= 0 || std::find(unsent.begin(), unsent.end(), node.id()) == unsent.end())
                continue;
            const QDateTime due = node.lastTried.addMSecs(pause(node.commitmentFailures - 1).count());
            const qint64 wait = QDateTime::currentDateTime().msecsTo(due);
            if (wait > 0 && !m_refused.count(entry.instanceUid) && !retry.contains(entry.instanceUid))
                m_refused[entry.instanceUid] = {node.commitmentFailures, Clock::now() + std::chrono::milliseconds(wait)};
        }
        owedHere.insert(entry.instanceUid);
        queue.push_back(std::move(entry));
    }
    const Awaiting awaiting = commits ? awaitingAt(entries, self, all, m_setup.commitmentWait) : Awaiting{};
    const auto noteAwaiting = [this](const Awaiting& now) {
        m_status.awaiting = now.count;
        m_status.awaitingSince = now.since;
        m_commitmentDue.reset();
        if (now.next)
            m_commitmentDue = Clock::now()
                + std::chrono::milliseconds(std::max<qint64>(0, QDateTime::currentDateTime().msecsTo(*now.next)));
    };
    noteAwaiting(awaiting);

    std::vector<QString> early;
    {
        const std::lock_guard lock(m_mutex);
        // New films being written ahead go too, after the older ones.
        for (const auto& [uid, entry] : coming) {
            if (owedHere.contains(uid) || entry.held || entry.unsentTo(self, all).empty())
                continue;
            owedHere.insert(uid);
            queue.push_back(entry);
        }
        // Films in memory that are no longer owed here go.
        for (auto it = m_images.begin(); it != m_images.end();)
            it = owedHere.contains(it->first) ? std::next(it) : m_images.erase(it);
        std::erase_if(m_imageOrder, [&](const QString& uid) { return !m_images.count(uid); });
        for (const auto& [uid, owed] : m_confirmedEarly)
            early.push_back(uid);
    }
    m_status.owed = static_cast<int>(queue.size());
    const bool anythingOwed = !queue.empty();
    // An image the node refused waits for its own pause, unless the operator
    // asked for it; one confirmed while it was written ahead is struck off
    // once it is kept.
    const Clock::time_point started = Clock::now();
    std::erase_if(queue, [&](const OutboxEntry& entry) {
        if (std::find(early.begin(), early.end(), entry.instanceUid) != early.end())
            return true;
        const auto refusal = m_refused.find(entry.instanceUid);
        if (forced || refusal == m_refused.end() || refusal->second.until <= started)
            return false;
        if (!m_refusedRetry || refusal->second.until < *m_refusedRetry)
            m_refusedRetry = refusal->second.until;
        return true;
    });
    if (queue.empty() && !awaiting.due) {
        m_status.activity = NodeStatus::Activity::Idle;
        if (!anythingOwed) {
            // Nothing waits for the node: whether it is back cannot be known,
            // and no one needs to hear that it fails.
            m_status.failing = false;
            m_failures = 0;
        }
        return;
    }
    if (!self.problem.isEmpty()) {
        failed(self.problem, false);
        return;
    }
    dicom::NetworkGuard guard;
    guard.setProgressHandler([this](qint64 done, qint64 total) {
        m_status.done = done;
        m_status.total = total;
        publish(done >= total);
    });
    setGuard(&guard);
    m_status.activity = NodeStatus::Activity::Connecting;
    m_status.image.clear();
    publish();

    QString failure;
    OutboxEntry* current = nullptr;
    try {
        sendQueue(queue, guard, current);
    } catch (const Failure& e) {
        failure = e.description();
        programlog::event(QStringLiteral("delivery: %1: %2").arg(self.name(), logText(e)));
    } catch (const std::exception& e) {
        failure = describe(e);
        programlog::event(QStringLiteral("delivery: %1: %2").arg(self.name(), failure));
    }
    if (commits) // what this pass stored and asked about is awaited from now on
        noteAwaiting(awaitingAt(m_outbox.entries(), self, all, m_setup.commitmentWait));

    bool stopped = false;
    bool byOperator = false;
    bool stillComing = false;
    {
        const std::lock_guard lock(m_mutex);
        m_guard = nullptr;
        stopped = m_stop;
        byOperator = m_cancelled;
        if (current && m_coming.count(current->instanceUid)) {
            m_failedEarly[current->instanceUid] = failure; // noted once the film is kept
            stillComing = true;
        }
    }
    m_status.image.clear();
    m_status.done = m_status.total = 0;
    if (stopped)
        return; // the program ends (or the node was removed): nothing more is written
    if (failure.isEmpty()) {
        m_status.activity = NodeStatus::Activity::Idle;
        return;
    }
    if (current && !stillComing && !byOperator && !m_outbox.refresh(*current)) {
        // The operator took the image away during its send: the send broke
        // on its missing file, not on the node, which fails no longer for it.
        // What else it owes goes at once.
        programlog::event(QStringLiteral("delivery: %1: image %2 was taken from the outbox during its send")
                              .arg(self.name(), current->instanceUid));
        m_status.activity = NodeStatus::Activity::Idle;
        const std::lock_guard lock(m_mutex);
        m_woken = true;
        return;
    }
    if (current && !stillComing)
        m_outbox.noteFailure(*current, current->owedTo(self, all), failure);
    failed(failure, byOperator);
}

// The node failed (or the operator cut it): it is tried again by itself after
// a pause that grows with every failure in a row.
void NodeWorker::failed(const QString& failure, bool byOperator)
{
    const std::chrono::milliseconds wait = pause(byOperator ? 0 : m_failures);
    if (!byOperator)
        ++m_failures;
    m_retryAt = Clock::now() + wait;
    m_status.activity = NodeStatus::Activity::Waiting;
    m_status.nextTry = QDateTime::currentDateTime().addMSecs(wait.count());
    m_status.lastFailure = failure;
    m_status.lastFailureAt = QDateTime::currentDateTime();
    if (!byOperator)
        goingDown(failure);
}

// The node fails (it cannot be reached, or refuses images): told once, until
// it takes an image again.
void NodeWorker::goingDown(const QString& failure)
{
    if (m_status.failing)
        return;
    m_status.failing = true;
    m_status.failingSince = QDateTime::currentDateTime();
    programlog::event(QStringLiteral("delivery: %1 fails; it is tried again by itself").arg(node().name()));
    if (m_listener.down)
        m_listener.down(failure);
}

} // namespace skiascan
