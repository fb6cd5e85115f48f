#include "delivery/delivery_service.h"

#include "common/failure.h"
#include "common/program_log.h"
#include "dicom/image.h"

namespace skiascan {

namespace {

using Clock = std::chrono::steady_clock;

bool sameNodes(const std::vector<Node>& one, const std::vector<Node>& other)
{
    return std::equal(one.begin(), one.end(), other.begin(), other.end(), [](const Node& a, const Node& b) {
        return a.id() == b.id() && a.row == b.row && a.problem == b.problem && a.options == b.options;
    });
}

} // namespace

DeliveryService::DeliveryService(const QString& programFolder, QObject* parent)
    : QObject(parent)
    , m_folder(programFolder)
    , m_outbox(programFolder)
    // On the listener's thread: the worker of the node that reported looks at
    // the outbox again at once (a failed image goes anew, it counts what it
    // awaits), on this thread.
    , m_reports(m_outbox, [this](const NodeId& node) { post({Event::Kind::Reported, 0, {}, 0, {}, node}); })
    , m_steps(m_outbox)
{
    m_listenRetry.setSingleShot(true);
    connect(&m_listenRetry, &QTimer::timeout, this, [this] {
        if (!m_reports.retry())
            m_listenRetry.start(m_timing.listenRetry);
        emit changed();
    });
}

DeliveryService::~DeliveryService()
{
    stop();
}

void DeliveryService::setTiming(const Timing& timing)
{
    m_timing = timing;
    if (!m_slots.empty()) {
        // Workers are made with their pauses: they are made anew.
        const std::vector<Node> nodes = m_nodes;
        m_nodes.clear();
        m_stepWorker.reset();
        configure(nodes, m_localAETitle, m_timeouts, m_listenPort, m_stepNode);
    }
}

// A worker's events come from its thread and are posted here; an event of a
// worker that has since been replaced finds no slot and is dropped.
std::unique_ptr<NodeWorker> DeliveryService::makeWorker(const Node& node, quint64 id, const NodeStatus& before)
{
    NodeWorker::Setup setup{node,           m_nodes, m_localAETitle, m_timeouts, m_timing.pauses, m_timing.commitmentWait,
                            before};
    NodeWorker::Listener listener;
    listener.status = [this, id](const NodeStatus& status, quint64 served) {
        post({Event::Kind::Status, id, status, served, {}, {}});
    };
    listener.down = [this, id](const QString& reason) { post({Event::Kind::Down, id, {}, 0, reason, {}}); };
    listener.back = [this, id] { post({Event::Kind::Back, id, {}, 0, {}, {}}); };
    listener.outboxChanged = [this, id] { post({Event::Kind::OutboxChanged, id, {}, 0, {}, {}}); };
    programlog::event(node.options.tls.enabled
                          ? QStringLiteral("delivery: %1 is sent to over TLS, trusting the authorities in %2")
                                .arg(node.name(), node.options.tls.trustedCertificates)
                          : QStringLiteral("delivery: %1 is sent to in clear text").arg(node.name()));
    return std::make_unique<NodeWorker>(m_outbox, std::move(setup), std::move(listener));
}

void DeliveryService::post(Event event)
{
    bool first = false;
    {
        const std::lock_guard lock(m_eventLock);
        first = m_events.empty();
        m_events.push_back(std::move(event));
    }
    if (first)
        QMetaObject::invokeMethod(this, "deliverEvents", Qt::QueuedConnection);
}

void DeliveryService::deliverEvents()
{
    std::vector<Event> events;
    {
        const std::lock_guard lock(m_eventLock);
        events.swap(m_events);
    }
    bool statusChanged = false;
    bool outboxChangedNow = false;
    for (const Event& event : events) {
        if (event.kind == Event::Kind::Reported) {
            reported(event.node);
            continue;
        }
        if (event.kind == Event::Kind::StepStatus) {
            if (event.worker == m_stepWorkerId && m_stepWorker) { // else of a worker replaced since
                m_stepStatus = event.status;
                m_stepServed = event.served;
                statusChanged = true;
            }
            continue;
        }
        if (event.kind == Event::Kind::OutboxChanged) {
            outboxChangedNow = true;
            continue;
        }
        Slot* slot = slotOf(event.worker);
        if (!slot)
            continue; // a worker replaced since
        switch (event.kind) {
        case Event::Kind::Status:
            slot->status = event.status;
            slot->served = event.served;
            statusChanged = true;
            break;
        case Event::Kind::Down:
            emit nodeDown(slot->status.node.name(), event.reason);
            break;
        case Event::Kind::Back:
            emit nodeBack(slot->status.node.name());
            break;
        case Event::Kind::OutboxChanged:
        case Event::Kind::Reported:
        case Event::Kind::StepStatus:
            break;
        }
    }
    if (outboxChangedNow)
        emit outboxChanged();
    if (statusChanged)
        emit changed();
}

DeliveryService::Slot* DeliveryService::slotOf(quint64 id)
{
    const auto found = m_slots.find(id);
    return found == m_slots.end() ? nullptr : &found->second;
}

// A worker is made with everything it needs and never changed afterwards: a
// node whose settings change gets a new worker (the old one's transfer is cut,
// its image stays owed, and the new one tries at the next wake).
void DeliveryService::configure(const std::vector<Node>& nodes, const QString& localAETitle,
                                const dicom::NetworkTimeouts& timeouts, quint16 listenPort,
                                const std::optional<Node>& stepNode)
{
    const bool sameStation = localAETitle == m_localAETitle && timeouts.acseSeconds == m_timeouts.acseSeconds
        && timeouts.dimseSeconds == m_timeouts.dimseSeconds;
    const bool sameSettings = sameNodes(nodes, m_nodes) && localAETitle == m_localAETitle
        && timeouts.acseSeconds == m_timeouts.acseSeconds && timeouts.dimseSeconds == m_timeouts.dimseSeconds;
    m_nodes = nodes;
    m_localAETitle = localAETitle;
    m_timeouts = timeouts;
    m_listenPort = listenPort;
    if (!sameSettings) {
        std::map<quint64, Slot> old = std::move(m_slots);
        m_slots.clear();
        m_rows.clear();
        for (auto& [id, slot] : old)
            slot.worker->halt(QStringLiteral("delivery: the settings of %1 changed; its transfer is cut and starts again"));
        for (const Node& node : nodes) {
            // A node that was failing stays so until it takes an image: then
            // the window hears it is back, also after its settings were mended.
            NodeStatus before;
            for (const auto& [oldId, oldSlot] : old)
                if (oldSlot.status.node.id() == node.id()
                    || (oldSlot.status.node.row == node.row && oldSlot.status.node.aeTitle == node.aeTitle))
                    before = oldSlot.status;
            const quint64 id = m_nextId++;
            Slot& slot = m_slots[id];
            slot.status.node = node;
            slot.status.failing = before.failing;
            slot.status.failingSince = before.failingSince;
            slot.status.lastFailure = before.lastFailure;
            slot.status.lastFailureAt = before.lastFailureAt;
            slot.worker = makeWorker(node, id, before);
            m_rows.push_back(id);
        }
        old.clear(); // joins them
    }
    m_reports.configure(nodes, localAETitle, timeouts, listenPort);
    if (m_reports.waitingForPort() && !m_listenRetry.isActive())
        m_listenRetry.start(m_timing.listenRetry);
    configureSteps(stepNode, !sameStation);
    emit changed();
}

void DeliveryService::wake()
{
    for (auto& [id, slot] : m_slots)
        slot.worker->wake();
    if (m_stepWorker)
        m_stepWorker->wake();
}

void DeliveryService::resume()
{
    if (const int again = m_outbox.askAgainForCommitment(); again > 0)
        programlog::event(QStringLiteral("start: %1 image(s) await a commitment asked for in an earlier run; asked "
                                         "again now")
                              .arg(again));
    wake();
}

void DeliveryService::filmComing(const OutboxEntry& film, const dicom::Image& image)
{
    if (film.held)
        return; // held for review: it goes once the operator accepts it
    OutboxEntry entry = film;
    m_outbox.place(entry);
    for (auto& [id, slot] : m_slots) {
        if (entry.anyNode || !entry.owedTo(slot.worker->node(), m_nodes).empty()) {
            // The copies are made here, on the thread that owns the image.
            slot.worker->filmComing(entry, image.sharedCopy());
        } else {
            slot.worker->wake();
        }
    }
}

void DeliveryService::filmKept(const OutboxEntry& entry)
{
    OutboxEntry kept = entry;
    std::vector<Outbox::Confirmation> confirmations;
    for (auto& [id, slot] : m_slots) {
        const Node& node = slot.worker->node();
        const NodeWorker::Early early = slot.worker->filmKept(entry.instanceUid);
        if (!early.confirmed.empty())
            confirmations.push_back({early.confirmed, node.id(), node.options.storageCommitment});
        if (!early.failure.isEmpty())
            m_outbox.noteFailure(kept, kept.owedTo(node, m_nodes), early.failure);
    }
    if (confirmations.empty())
        return;
    // One change of the entry for all of them: a film every node confirmed
    // while it was written goes at once.
    try {
        m_outbox.strikeOff(kept, confirmations);
    } catch (const Failure& e) {
        programlog::event(e.description()); // still owed: sent again, the nodes keep one copy
    }
    for (auto& [id, slot] : m_slots) {
        slot.worker->forgetEarly(entry.instanceUid);
        const Node& node = slot.worker->node();
        const bool confirmed = std::any_of(confirmations.begin(), confirmations.end(),
                                           [&](const Outbox::Confirmation& c) { return c.by == node.id(); });
        if (confirmed && node.options.storageCommitment)
            slot.worker->wake(); // stored before its entry was written: asked about now
    }
    emit outboxChanged();
}

void DeliveryService::filmNotKept(const QString& instanceUid)
{
    for (auto& [id, slot] : m_slots)
        slot.worker->filmNotKept(instanceUid);
}

void DeliveryService::sendNow(const QSet<QString>& images)
{
    std::vector<OutboxEntry> chosen;
    if (!images.isEmpty()) {
        for (OutboxEntry& entry : m_outbox.entries())
            if (images.contains(entry.instanceUid))
                chosen.push_back(std::move(entry));
    }
    // Images a node stored and was asked about go into a new request at once.
    m_outbox.askAgainForCommitment(QStringList(images.begin(), images.end()));
    for (auto& [id, slot] : m_slots) {
        const Node& node = slot.worker->node();
        const bool wanted = images.isEmpty() || std::any_of(chosen.begin(), chosen.end(), [&](const OutboxEntry& e) {
                                return e.anyNode || !e.owedTo(node, m_nodes).empty();
                            });
        if (wanted)
            slot.worker->wake(true, images);
    }
    if (m_stepWorker && images.isEmpty())
        m_stepWorker->wake(true);
}

void DeliveryService::outboxEdited()
{
    const std::vector<OutboxEntry> entries = m_outbox.entries();
    for (auto& [id, slot] : m_slots) {
        const Node& node = slot.worker->node();
        const auto owed = std::count_if(entries.begin(), entries.end(), [&](const OutboxEntry& entry) {
            return !entry.held && (entry.anyNode || !entry.owedTo(node, m_nodes).empty());
        });
        if (owed == 0 && !slot.status.busy()) {
            // The worker learns it at its next look; the window at once.
            slot.status.owed = 0;
            slot.status.failing = false;
            if (slot.status.activity == NodeStatus::Activity::Waiting)
                slot.status.activity = NodeStatus::Activity::Idle;
        }
        slot.worker->wake();
    }
    if (m_stepWorker) // a step's end may wait for a film reviewed now
        m_stepWorker->wake();
    emit changed();
    emit outboxChanged();
}

void DeliveryService::cancel(const std::optional<NodeId>& node)
{
    for (auto& [id, slot] : m_slots)
        if (!node || slot.worker->node().id() == *node)
            slot.worker->cancel();
    if (m_stepWorker && (!node || m_stepWorker->node().id() == *node))
        m_stepWorker->cancel();
}

void DeliveryService::stop(std::chrono::milliseconds grace)
{
    m_listenRetry.stop();
    m_reports.stop();
    for (auto& [id, slot] : m_slots)
        slot.worker->finishAndEnd();
    if (m_stepWorker)
        m_stepWorker->finishAndEnd();
    bool all = true;
    const Clock::time_point deadline = Clock::now() + grace;
    for (auto& [id, slot] : m_slots)
        all = slot.worker->waitUntilEnded(deadline) && all;
    if (m_stepWorker && !m_stepWorker->waitUntilEnded(deadline))
        m_stepWorker->halt(QStringLiteral("MPPS: the association with %1 is cut, Skiascan ends; the step stays in the "
                                          "outbox"));
    if (!all)
        for (auto& [id, slot] : m_slots)
            slot.worker->halt(QStringLiteral("delivery: the transfer to %1 is cut, Skiascan ends; the image stays in "
                                             "the outbox"));
    m_slots.clear(); // joins every worker
    m_rows.clear();
    m_stepWorker.reset();
}

void DeliveryService::reported(const NodeId& node)
{
    for (auto& [id, slot] : m_slots)
        if (slot.worker->node().id() == node)
            slot.worker->wake();
    emit outboxChanged();
}

std::vector<NodeStatus> DeliveryService::status() const
{
    std::vector<NodeStatus> list;
    for (const quint64 id : m_rows) {
        NodeStatus status = m_slots.at(id).status;
        status.reportsProblem = m_reports.problemFor(status.node);
        list.push_back(status);
    }
    return list;
}

bool DeliveryService::quiet() const
{
    return std::none_of(m_slots.begin(), m_slots.end(), [](const auto& s) { return s.second.status.busy(); })
        && !(m_stepWorker && m_stepStatus.busy());
}

bool DeliveryService::settled() const
{
    {
        const std::lock_guard lock(m_eventLock);
        if (!m_events.empty() || m_reports.applying())
            return false;
    }
    return std::all_of(m_slots.begin(), m_slots.end(),
                       [](const auto& s) { return s.second.served == s.second.worker->wakes() && !s.second.status.busy(); })
        && (!m_stepWorker || (m_stepServed == m_stepWorker->wakes() && !m_stepStatus.busy()));
}

std::map<QString, int> DeliveryService::waitingForGone() const
{
    std::map<QString, int> gone;
    for (const OutboxEntry& entry : m_outbox.entries())
        for (const OwedNode& owed : entry.owed)
            if (!nodeFor(m_nodes, owed.id()))
                ++gone[owed.id().name()];
    return gone;
}

} // namespace skiascan
