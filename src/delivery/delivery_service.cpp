#include "delivery/delivery_service.h"

#include "common/failure.h"
#include "common/program_log.h"
#include "dicom/image.h"
#include "dicom/uid_generator.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace skiascan {

namespace {

using Clock = std::chrono::steady_clock;

// How many new films a worker keeps in memory for its sends; older ones are
// read from the outbox when their turn comes.
constexpr std::size_t kImagesInMemory = 8;

QString filmName(const OutboxEntry& entry)
{
    return QStringLiteral("%1 (%2), image %3").arg(entry.patientName, entry.patientId).arg(entry.number);
}

bool sameStatus(const std::vector<NodeStatus>& one, const std::vector<NodeStatus>& other)
{
    if (one.size() != other.size())
        return false;
    for (std::size_t i = 0; i < one.size(); ++i) {
        const NodeStatus& a = one[i];
        const NodeStatus& b = other[i];
        if (a.activity != b.activity || a.failing != b.failing || a.owed != b.owed || a.done != b.done
            || a.total != b.total || a.image != b.image || a.lastFailure != b.lastFailure || a.nextTry != b.nextTry
            || a.awaiting != b.awaiting || a.awaitingSince != b.awaitingSince || a.reportsProblem != b.reportsProblem
            || !(a.node.id() == b.node.id()))
            return false;
    }
    return true;
}

// When a node that stored an image is to be asked (again) to commit to it.
QDateTime askDue(const OwedNode& node, std::chrono::milliseconds wait)
{
    if (node.transactionUid.isEmpty() || !node.askedAt.isValid())
        return node.storedAt;
    return node.askedAt.addMSecs(wait.count());
}

// The images a node stored and has not yet committed to.
struct Awaiting {
    int count = 0;
    QDateTime since;              // when the oldest was stored
    bool due = false;             // one is to be asked about now
    std::optional<QDateTime> next; // else when the first is
};

Awaiting awaitingAt(const std::vector<OutboxEntry>& entries, const Node& self, const std::vector<Node>& all,
                    std::chrono::milliseconds wait)
{
    const QDateTime now = QDateTime::currentDateTime();
    Awaiting awaiting;
    for (const OutboxEntry& entry : entries) {
        const std::vector<const OwedNode*> stored = entry.awaitingAt(self, all);
        if (stored.empty())
            continue;
        ++awaiting.count;
        for (const OwedNode* node : stored) {
            if (!awaiting.since.isValid() || node->storedAt < awaiting.since)
                awaiting.since = node->storedAt;
            const QDateTime due = askDue(*node, wait);
            if (due <= now)
                awaiting.due = true;
            else if (!awaiting.next || due < *awaiting.next)
                awaiting.next = due;
        }
    }
    return awaiting;
}

} // namespace

QString NodeStatus::commitmentText() const
{
    if (awaiting == 0)
        return {};
    const QString since = awaitingSince.date() == QDate::currentDate()
        ? awaitingSince.toString(QStringLiteral("HH:mm"))
        : awaitingSince.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    const QString text = QStringLiteral("awaiting commitment since %1").arg(since);
    return reportsProblem.isEmpty() ? text : QStringLiteral("%1; its reports cannot arrive: %2").arg(text, reportsProblem);
}

QString NodeStatus::text() const
{
    switch (activity) {
    case Activity::Connecting:
        return QStringLiteral("connecting");
    case Activity::Sending:
        return total > 0 ? QStringLiteral("sending %1 %").arg(std::min<qint64>(100, done * 100 / total))
                         : QStringLiteral("sending");
    case Activity::Waiting: {
        const qint64 seconds = std::max<qint64>(0, (QDateTime::currentDateTime().msecsTo(nextTry) + 999) / 1000);
        if (seconds == 0)
            return QStringLiteral("trying again");
        if (seconds < 100)
            return QStringLiteral("next try in %1 s").arg(seconds);
        return QStringLiteral("next try in %1 min").arg((seconds + 59) / 60);
    }
    case Activity::Idle:
        break;
    }
    return QStringLiteral("idle");
}

// One node's worker: the state it shares with the service, and its thread's
// work. The thread
// holds the worker alive, so that a worker the service has let go (its node
// removed, or the program ending while it connects) ends on its own.
struct DeliveryService::Worker {
    std::mutex mutex;
    std::condition_variable wake;

    // Set before the thread starts, never changed afterwards.
    QString folder;
    Node node;
    std::vector<Node> nodes; // every configured node, for images owed to a node that moved
    QString localAETitle;
    dicom::NetworkTimeouts timeouts;
    std::vector<std::chrono::milliseconds> pauses;
    std::chrono::milliseconds commitmentWait{0};

    // Guarded by `mutex`.

    bool ending = false;    // the program ends: the worker ends once it has nothing to do
    bool stop = false;      // the worker ends now: nothing more is written
    bool woken = false;     // look at the outbox
    bool now = false;       // try at once, whatever the pause
    bool finished = false;  // the thread is done
    bool busy = false;      // a pass is under way
    bool cancelled = false; // the operator cut the association under way
    dicom::NetworkGuard* guard = nullptr; // of the association under way
    NodeStatus status;
    int failures = 0;       // failed tries in a row
    Clock::time_point retryAt;

    struct Refusal {
        int count = 0;
        Clock::time_point until;
    };
    std::map<QString, Refusal> refused;      // images the node refused, tried again after a pause of their own
    std::optional<Clock::time_point> refusedRetry; // when the first of them is due
    std::optional<Clock::time_point> commitmentDue; // when a node silent on a commitment request is asked again
    std::map<QString, dicom::Image> images;  // new films' light copies, by SOP Instance UID
    std::deque<QString> imageOrder;
    std::map<QString, OutboxEntry> coming;   // new films still being written ahead
    std::map<QString, std::vector<NodeId>> confirmedEarly; // coming films the node confirmed
    std::map<QString, QString> failedEarly;                 // and why it failed one

    int confirmed = 0;  // images confirmed so far
    int downEvents = 0; // times the node went down
    int backEvents = 0; // and came back
    QString downReason;

    void run();
    void halt(const QString& cut);
    void pass(std::unique_lock<std::mutex>& lock, bool forced);
    struct Pass {
        Node self;
        std::vector<Node> all;
        QString calling;
        dicom::NetworkTimeouts limits;
    };
    void sendQueue(std::unique_lock<std::mutex>& lock, const Pass& pass, std::vector<OutboxEntry>& queue,
                   Outbox& outbox, dicom::NetworkGuard& guard, OutboxEntry*& current);
    void askForCommitment(const Pass& pass, Outbox& outbox, dicom::StoreAssociation& association);
    void noteAwaiting(const Awaiting& awaiting)
    {
        status.awaiting = awaiting.count;
        status.awaitingSince = awaiting.since;
        commitmentDue.reset();
        if (awaiting.next)
            commitmentDue = Clock::now()
                + std::chrono::milliseconds(std::max<qint64>(0, QDateTime::currentDateTime().msecsTo(*awaiting.next)));
    }
    void failed(const QString& failure, bool byOperator);
    void goingDown(const QString& failure);
    std::chrono::milliseconds pause(int step) const
    {
        return pauses.empty() ? std::chrono::seconds(10) : pauses[std::min<std::size_t>(step, pauses.size() - 1)];
    }
};

// The worker ends now: its transfer is cut (logged as `cut`, which names the
// node with %1), the image stays owed.
void DeliveryService::Worker::halt(const QString& cut)
{
    const std::lock_guard lock(mutex);
    stop = true;
    if (guard) {
        guard->cancel();
        programlog::event(cut.arg(node.name()));
    }
    wake.notify_all();
}

void DeliveryService::Worker::run()
{
    std::unique_lock lock(mutex);
    for (;;) {
        // A failed node waits for its pause; a node that refused images, for
        // the first of them to be due; a node silent on images it stored, for
        // the time to ask it again.
        const auto wakeAt = [&]() -> std::optional<Clock::time_point> {
            std::optional<Clock::time_point> at
                = status.activity == NodeStatus::Activity::Waiting ? std::optional(retryAt) : refusedRetry;
            if (commitmentDue && status.activity != NodeStatus::Activity::Waiting && (!at || *commitmentDue < *at))
                at = commitmentDue;
            return at;
        };
        const auto due = [&] {
            const std::optional<Clock::time_point> at = wakeAt();
            return at && Clock::now() >= *at;
        };
        while (!stop && !ending && !woken && !now && !due()) {
            if (const std::optional<Clock::time_point> at = wakeAt())
                wake.wait_until(lock, *at);
            else
                wake.wait(lock);
        }
        if (stop || (ending && !woken && !now))
            break;
        const bool forced = now;
        now = false;
        woken = false;
        // A new film does not cut a failed node's pause short.
        if (status.activity == NodeStatus::Activity::Waiting && !forced && !due())
            continue;
        refusedRetry.reset();
        commitmentDue.reset();
        busy = true;
        pass(lock, forced);
        busy = false;
    }
    images.clear();
    finished = true;
    wake.notify_all();
}

// One pass through the outbox: every image owed to this node, oldest first,
// on one association.
void DeliveryService::Worker::pass(std::unique_lock<std::mutex>& lock, bool forced)
{
    const Node self = node;
    const std::vector<Node> all = nodes;
    const QString calling = localAETitle;
    const dicom::NetworkTimeouts limits = timeouts;
    // The films being written ahead are taken before the outbox is read: a
    // film kept in between is then in the outbox, never in neither.
    const std::map<QString, OutboxEntry> comingBefore = coming;
    lock.unlock();

    Outbox outbox(folder);
    outbox.assignToNodes(all);
    std::vector<OutboxEntry> queue;
    QSet<QString> owedHere;
    const bool commits = self.options.storageCommitment;
    std::vector<OutboxEntry> entries = outbox.entries();
    for (OutboxEntry& entry : entries) {
        const std::vector<const OwedNode*> stored = entry.awaitingAt(self, all);
        if (!stored.empty() && !commits) {
            // The node is no longer asked for commitment: that it stored the
            // image is enough.
            std::vector<NodeId> ids;
            for (const OwedNode* node : stored)
                ids.push_back(node->id());
            try {
                outbox.strikeOff(entry, ids, self.id());
            } catch (const Failure& e) {
                programlog::event(e.description());
            }
        }
        if (entry.unsentTo(self, all).empty())
            continue;
        owedHere.insert(entry.instanceUid);
        queue.push_back(entry);
    }
    // An image the node could not commit to goes again after a pause that
    // grows with each such report, as a refused image does: a node that keeps
    // failing does not get it over and over.
    const QDateTime now = QDateTime::currentDateTime();
    std::map<QString, Refusal> commitFailed;
    for (const OutboxEntry& entry : queue) {
        for (const OwedNode& node : entry.owed) {
            const std::vector<NodeId> unsent = entry.unsentTo(self, all);
            if (node.commitmentFailures <= 0 || std::find(unsent.begin(), unsent.end(), node.id()) == unsent.end())
                continue;
            const QDateTime due = node.lastTried.addMSecs(pause(node.commitmentFailures - 1).count());
            if (due > now)
                commitFailed[entry.instanceUid] = {node.commitmentFailures,
                                                   Clock::now() + std::chrono::milliseconds(now.msecsTo(due))};
        }
    }
    const Awaiting awaiting = commits ? awaitingAt(entries, self, all, commitmentWait) : Awaiting{};
    const bool asking = awaiting.due;

    lock.lock();
    noteAwaiting(awaiting);
    for (const auto& [uid, refusal] : commitFailed)
        if (!refused.count(uid))
            refused[uid] = refusal;
    // New films being written ahead go too, after the older ones.
    for (const auto& [uid, entry] : comingBefore) {
        if (owedHere.contains(uid) || entry.unsentTo(self, all).empty())
            continue;
        owedHere.insert(uid);
        queue.push_back(entry);
    }
    status.owed = static_cast<int>(queue.size());
    // Films in memory that are no longer owed here go.
    for (auto it = images.begin(); it != images.end();)
        it = owedHere.contains(it->first) ? std::next(it) : images.erase(it);
    std::erase_if(imageOrder, [&](const QString& uid) { return !images.count(uid); });
    // An image the node refused waits for its own pause, unless the operator
    // asked for it.
    const bool anythingOwed = !queue.empty();
    const Clock::time_point started = Clock::now();
    std::erase_if(queue, [&](const OutboxEntry& entry) {
        if (confirmedEarly.count(entry.instanceUid))
            return true; // confirmed while it was written ahead: struck off once it is kept
        const auto refusal = refused.find(entry.instanceUid);
        if (forced || refusal == refused.end() || refusal->second.until <= started)
            return false;
        if (!refusedRetry || refusal->second.until < *refusedRetry)
            refusedRetry = refusal->second.until;
        return true;
    });
    if (queue.empty() && !asking) {
        status.activity = NodeStatus::Activity::Idle;
        if (!anythingOwed) {
            // Nothing waits for the node: whether it is back cannot be known,
            // and no one needs to hear that it fails.
            status.failing = false;
            failures = 0;
        }
        return;
    }
    if (!self.problem.isEmpty()) {
        failed(self.problem, false);
        return;
    }
    dicom::NetworkGuard associationGuard;
    guard = &associationGuard;
    cancelled = false;
    status.activity = NodeStatus::Activity::Connecting;
    status.image.clear();
    lock.unlock();

    QString failure;
    OutboxEntry* current = nullptr;
    try {
        sendQueue(lock, {self, all, calling, limits}, queue, outbox, associationGuard, current);
    } catch (const Failure& e) {
        failure = e.description();
    } catch (const std::exception& e) {
        failure = describe(e);
    }

    if (commits) {
        // What this pass stored and asked about is awaited from now on.
        const Awaiting now = awaitingAt(outbox.entries(), self, all, commitmentWait);
        if (!lock.owns_lock())
            lock.lock();
        noteAwaiting(now);
    }
    if (!lock.owns_lock())
        lock.lock();
    guard = nullptr;
    status.image.clear();
    status.done = status.total = 0;
    if (stop)
        return; // the program ends (or the node was removed): nothing more is written
    if (failure.isEmpty()) {
        status.activity = NodeStatus::Activity::Idle;
        return;
    }
    const bool byOperator = cancelled;
    if (current && coming.count(current->instanceUid)) {
        failedEarly[current->instanceUid] = failure; // noted once the film is kept
    } else if (current) {
        lock.unlock();
        outbox.noteFailure(*current, current->owedTo(self, all), failure);
        lock.lock();
    }
    programlog::event(QStringLiteral("delivery: %1: %2").arg(self.name(), failure));
    failed(failure, byOperator);
}

// Sends the queue on one association. Throws Failure when the association
// cannot be had or is lost; an image the node refuses is noted and the next
// one goes. `current` names the image under way when it throws.
void DeliveryService::Worker::sendQueue(std::unique_lock<std::mutex>& lock, const Pass& pass,
                                        std::vector<OutboxEntry>& queue, Outbox& outbox,
                                        dicom::NetworkGuard& associationGuard, OutboxEntry*& current)
{
    const Node& self = pass.self;
    // A node that cannot be reached has its failure noted on the oldest image
    // it owes, not on every one of them.
    current = queue.empty() ? nullptr : &queue.front();
    const bool commits = self.options.storageCommitment;
    dicom::StoreAssociation association(self.host, self.port, self.aeTitle, pass.calling, pass.limits,
                                        associationGuard, self.options.tls, commits);
    const QString over = association.protocol().isEmpty() ? QString() : QStringLiteral(" over ") + association.protocol();

    lock.lock();
    failures = 0;
    lock.unlock();

    for (OutboxEntry& entry : queue) {
        current = nullptr;
        const bool stillComing = [&] {
            const std::lock_guard relock(mutex);
            return coming.count(entry.instanceUid) > 0;
        }();
        if (!outbox.refresh(entry) && !stillComing)
            continue; // delivered or removed meanwhile
        const std::vector<NodeId> owed = entry.unsentTo(self, pass.all);
        if (owed.empty())
            continue; // sent elsewhere by the operator meanwhile
        dicom::Image image;
        bool inMemory = false;
        lock.lock();
        if (stop || cancelled) {
            lock.unlock();
            associationGuard.cancel(); // the association is dropped, not released
            throw Failure(QStringLiteral("C-STORE to %1 stopped: cancelled by the operator").arg(self.name()),
                          Failure::Kind::Cancelled);
        }
        if (auto kept = images.find(entry.instanceUid); kept != images.end()) {
            image = std::move(kept->second);
            images.erase(kept);
            inMemory = true;
        }
        status.activity = NodeStatus::Activity::Sending;
        status.image = filmName(entry);
        lock.unlock();
        if (!inMemory) {
            try {
                image = outbox.loadImage(entry);
            } catch (const Failure& e) {
                if (e.kind() == Failure::Kind::Damaged)
                    outbox.moveAside(entry, e.description());
                else
                    programlog::event(QStringLiteral("delivery: %1").arg(e.description()));
                continue;
            }
        }
        current = &entry;
        associationGuard.bytesDone = 0;
        associationGuard.bytesExpected = 0;
        try {
            association.store(image);
        } catch (const Failure& e) {
            if (e.kind() != Failure::Kind::Status)
                throw;
            // The node refused this one image: it waits for a pause of its own,
            // and the next one goes.
            outbox.noteFailure(entry, owed, e.description());
            programlog::event(QStringLiteral("sending image %1 to %2 failed: %3")
                                  .arg(entry.instanceUid, self.name(), e.description()));
            const std::lock_guard relock(mutex);
            Refusal& refusal = refused[entry.instanceUid];
            refusal.until = Clock::now() + pause(refusal.count++);
            if (!refusedRetry || refusal.until < *refusedRetry)
                refusedRetry = refusal.until;
            status.lastFailure = e.description();
            status.lastFailureAt = QDateTime::currentDateTime();
            goingDown(e.description());
            continue;
        }
        current = nullptr;
        programlog::event(QStringLiteral("sent image %1 to %2%3").arg(entry.instanceUid, self.name(), over));
        bool early = false;
        {
            // A film still being written ahead is struck off once it is kept.
            const std::lock_guard relock(mutex);
            if (coming.count(entry.instanceUid)) {
                confirmedEarly[entry.instanceUid] = owed;
                early = true;
            }
        }
        if (!early) {
            try {
                // A node asked for commitment keeps the image owed until it commits.
                outbox.strikeOff(entry, {{owed, self.id(), commits}});
            } catch (const Failure& e) {
                // Still owed in the outbox: sent again later, the node keeps one copy.
                programlog::event(e.description());
            }
        }
        const std::lock_guard relock(mutex);
        ++confirmed;
        refused.erase(entry.instanceUid);
        status.owed = std::max(0, status.owed - 1);
        if (status.failing) {
            // The node took an image again.
            status.failing = false;
            ++backEvents;
            programlog::event(QStringLiteral("delivery: %1 is back").arg(self.name()));
        }
    }
    if (commits)
        askForCommitment(pass, outbox, association);
    association.release();
}

// Asks the node to commit to every image it stored whose request is due (new
// ones, and those it was silent on for too long), in batches, each under a
// new transaction. Each image's entry names the transaction before the
// request goes, so that a report after a restart is honoured. On the
// storage association when the node accepted commitment there, else on one
// of its own. Throws Failure when a request does not go.
void DeliveryService::Worker::askForCommitment(const Pass& pass, Outbox& outbox, dicom::StoreAssociation& association)
{
    const Node& self = pass.self;
    const QDateTime now = QDateTime::currentDateTime();
    std::vector<std::pair<OutboxEntry, std::vector<NodeId>>> due;
    for (OutboxEntry& entry : outbox.entries()) {
        std::vector<NodeId> ids;
        for (const OwedNode* node : entry.awaitingAt(self, pass.all))
            if (askDue(*node, commitmentWait) <= now)
                ids.push_back(node->id());
        if (!ids.empty())
            due.emplace_back(std::move(entry), std::move(ids));
    }
    for (std::size_t first = 0; first < due.size(); first += dicom::kCommitmentBatch) {
        const std::size_t end = std::min(due.size(), first + dicom::kCommitmentBatch);
        const QString transaction = dicom::UidGenerator().newUid();
        const QDateTime askedAt = QDateTime::currentDateTime();
        std::vector<QString> uids;
        std::vector<std::size_t> asked;
        for (std::size_t i = first; i < end; ++i) {
            if (outbox.noteCommitmentRequest(due[i].first, due[i].second, transaction, askedAt)) {
                uids.push_back(due[i].first.instanceUid);
                asked.push_back(i);
            }
        }
        if (uids.empty())
            continue;
        try {
            if (association.acceptsCommitment()) {
                association.requestCommitment(transaction, uids);
            } else {
                dicom::NetworkGuard guard(dicom::kVerifyDeadline);
                dicom::requestCommitment(self.host, self.port, self.aeTitle, pass.calling, pass.limits, guard,
                                         transaction, uids, self.options.tls);
            }
        } catch (const Failure&) {
            // Not asked: asked again at the next pass; a report on the
            // transaction is still honoured should the node have it.
            for (std::size_t i : asked)
                outbox.noteCommitmentRequest(due[i].first, due[i].second, transaction, {});
            throw;
        }
        programlog::event(QStringLiteral("delivery: %1 asked to commit to %2 image(s), transaction %3")
                              .arg(self.name())
                              .arg(uids.size())
                              .arg(transaction));
    }
}

// The node failed (or the operator cut it): it is tried again by itself after
// a pause that grows with every failure in a row.
void DeliveryService::Worker::failed(const QString& failure, bool byOperator)
{
    const std::chrono::milliseconds wait = pause(byOperator ? 0 : failures);
    if (!byOperator)
        ++failures;
    retryAt = Clock::now() + wait;
    status.activity = NodeStatus::Activity::Waiting;
    status.nextTry = QDateTime::currentDateTime().addMSecs(wait.count());
    status.lastFailure = failure;
    status.lastFailureAt = QDateTime::currentDateTime();
    if (!byOperator)
        goingDown(failure);
}

// The node fails (it cannot be reached, or refuses images): told once, until
// it takes an image again.
void DeliveryService::Worker::goingDown(const QString& failure)
{
    if (status.failing)
        return;
    status.failing = true;
    status.failingSince = QDateTime::currentDateTime();
    downReason = failure;
    ++downEvents;
    programlog::event(QStringLiteral("delivery: %1 fails; it is tried again by itself").arg(node.name()));
}

// ---------------------------------------------------------------- service

// What the listener's thread shares with the service: the nodes it takes
// reports from, and how many reports it has honoured.
struct DeliveryService::Reports {
    std::mutex mutex;
    std::vector<Node> nodes;
    std::atomic<int> applied{0};
};

DeliveryService::DeliveryService(const QString& programFolder, QObject* parent)
    : QObject(parent)
    , m_folder(programFolder)
    , m_reports(std::make_shared<Reports>())
{
    m_poll.setInterval(m_timing.poll);
    connect(&m_poll, &QTimer::timeout, this, &DeliveryService::poll);
    m_poll.start();
}

DeliveryService::~DeliveryService()
{
    stop();
}

void DeliveryService::setTiming(const Timing& timing)
{
    m_timing = timing;
    m_poll.setInterval(timing.poll);
    if (!m_workers.empty())
        configure(m_nodes, m_localAETitle, m_timeouts, m_listenPort);
}

namespace {

// How the nodes' storage commitment reports come: a node reached over TLS
// reports over TLS too, so the station takes reports over TLS when every node
// asked for commitment is reached over TLS, showing the certificate and
// trusting the authorities set for the first of them. One port cannot take
// both: with some in clear text, the reports come in clear text, and
// `unheard` names the TLS nodes whose reports then cannot arrive.
TlsSettings reportsTls(const std::vector<Node>& nodes, QStringList* unheard = nullptr)
{
    std::optional<TlsSettings> tls;
    QStringList secure;
    bool clear = false;
    for (const Node& node : nodes) {
        if (!node.options.storageCommitment)
            continue;
        if (!node.options.tls.enabled) {
            clear = true;
            continue;
        }
        secure << node.name();
        if (!tls)
            tls = node.options.tls;
    }
    if (clear && tls) {
        if (unheard)
            *unheard = secure;
        return {};
    }
    return tls.value_or(TlsSettings{});
}

bool sameNodes(const std::vector<Node>& one, const std::vector<Node>& other)
{
    return std::equal(one.begin(), one.end(), other.begin(), other.end(), [](const Node& a, const Node& b) {
        return a.id() == b.id() && a.row == b.row && a.problem == b.problem && a.options == b.options;
    });
}

} // namespace

// A worker is made with everything it needs and never changed afterwards: a
// node whose settings change gets a new worker (the old one's transfer is cut,
// its image stays owed, and the new one tries at the next wake).
void DeliveryService::configure(const std::vector<Node>& nodes, const QString& localAETitle,
                                const dicom::NetworkTimeouts& timeouts, quint16 listenPort)
{
    const bool sameSettings = sameNodes(nodes, m_nodes) && localAETitle == m_localAETitle
        && timeouts.acseSeconds == m_timeouts.acseSeconds && timeouts.dimseSeconds == m_timeouts.dimseSeconds;
    std::vector<std::shared_ptr<Worker>> workers;
    for (const Node& node : nodes) {
        std::shared_ptr<Worker> worker;
        for (const auto& existing : m_workers)
            if (sameSettings && existing->node.id() == node.id() && existing->pauses == m_timing.pauses
                && existing->commitmentWait == m_timing.commitmentWait)
                worker = existing;
        if (!worker) {
            worker = std::make_shared<Worker>();
            worker->folder = m_folder;
            worker->node = node;
            worker->status.node = node;
            worker->nodes = nodes;
            worker->localAETitle = localAETitle;
            worker->timeouts = timeouts;
            worker->pauses = m_timing.pauses;
            worker->commitmentWait = m_timing.commitmentWait;
            programlog::event(node.options.tls.enabled
                                  ? QStringLiteral("delivery: %1 is sent to over TLS, trusting the authorities in %2")
                                        .arg(node.name(), node.options.tls.trustedCertificates)
                                  : QStringLiteral("delivery: %1 is sent to in clear text").arg(node.name()));
            std::thread([worker] { worker->run(); }).detach();
        }
        workers.push_back(worker);
    }
    for (const auto& old : m_workers) {
        if (std::find(workers.begin(), workers.end(), old) != workers.end())
            continue;
        old->halt(QStringLiteral("delivery: the settings of %1 changed; its transfer is cut and starts again"));
        m_events.erase(old.get());
    }
    m_workers = std::move(workers);
    {
        const std::lock_guard lock(m_reports->mutex);
        m_reports->nodes = nodes;
    }
    QStringList unheard;
    const TlsSettings tls = reportsTls(nodes, &unheard);
    const bool restart = listenPort != m_listenPort || localAETitle != m_localAETitle || !(tls == m_listenTls)
        || timeouts.acseSeconds != m_timeouts.acseSeconds || timeouts.dimseSeconds != m_timeouts.dimseSeconds;
    m_nodes = nodes;
    m_localAETitle = localAETitle;
    m_timeouts = timeouts;
    if (restart || (listenPort != 0 && !m_listener)) {
        if (listenPort != 0 && !unheard.isEmpty())
            programlog::event(QStringLiteral("commitment: %1 reached over TLS, but the station takes the reports in "
                                             "clear text for the other nodes asked for commitment; reports over TLS "
                                             "cannot arrive")
                                  .arg(unheard.join(QStringLiteral(", "))));
        listen(listenPort, tls);
    }
    poll();
}

// Takes the nodes' storage commitment reports on `port` from now on (none
// with 0), over TLS with `tls` enabled, in place of the listener so far.
void DeliveryService::listen(quint16 port, const TlsSettings& tls)
{
    m_listener.reset();
    m_listenPort = port;
    m_listenTls = tls;
    m_listenTried = Clock::now();
    if (port == 0) {
        m_listenProblem.clear();
        return;
    }
    const std::shared_ptr<Reports> reports = m_reports;
    const QString folder = m_folder;
    const auto accept = [reports](const QString& caller, const QString& address) {
        std::vector<Node> nodes;
        {
            const std::lock_guard lock(reports->mutex);
            nodes = reports->nodes;
        }
        return std::any_of(nodes.begin(), nodes.end(), [&](const Node& node) {
            return node.aeTitle == caller && dicom::hostMatches(node.host, address);
        });
    };
    const auto onReport = [reports, folder](const dicom::CommitmentReport& report) {
        const Outbox::ReportOutcome outcome
            = Outbox(folder).applyReport(report.callingAETitle, report.transactionUid, report.committed, report.failed);
        if (outcome.committed == 0 && outcome.failed == 0) {
            programlog::event(QStringLiteral("commitment: %1 at %2 reported on transaction %3, which no image in the "
                                             "outbox awaits (%4 committed, %5 failed); answered all the same")
                                  .arg(report.callingAETitle, report.address, report.transactionUid)
                                  .arg(report.committed.size())
                                  .arg(report.failed.size()));
        } else {
            programlog::event(QStringLiteral("commitment: %1 committed to %2 image(s) of transaction %3; %4 failed and "
                                             "go again")
                                  .arg(report.callingAETitle)
                                  .arg(outcome.committed)
                                  .arg(report.transactionUid)
                                  .arg(outcome.failed));
        }
        ++reports->applied;
    };
    try {
        m_listener = std::make_unique<dicom::CommitmentListener>(port, m_localAETitle, m_timeouts,
                                                                 dicom::ListenerLimits{}, accept, onReport, tls);
        m_listenProblem.clear();
    } catch (const Failure& e) {
        // Logged once; tried again now and then, as another program may let
        // go of the port.
        if (e.description() != m_listenProblem)
            programlog::event(QStringLiteral("commitment: %1; tried again every %2 s")
                                  .arg(e.description())
                                  .arg(m_timing.listenRetry.count() / 1000));
        m_listenProblem = e.description();
    }
}

quint16 DeliveryService::listening() const
{
    return m_listener ? m_listener->port() : 0;
}

void DeliveryService::wake()
{
    for (const auto& worker : m_workers) {
        const std::lock_guard lock(worker->mutex);
        worker->woken = true;
        worker->wake.notify_all();
    }
}

void DeliveryService::filmComing(const OutboxEntry& film, const dicom::Image& image)
{
    OutboxEntry entry = film;
    Outbox(m_folder).place(entry);
    for (const auto& worker : m_workers) {
        const std::lock_guard lock(worker->mutex);
        if (entry.anyNode || !entry.owedTo(worker->node, m_nodes).empty()) {
            ++worker->status.owed;
            worker->coming.insert_or_assign(entry.instanceUid, entry);
            // The copies are made here, on the thread that owns the image.
            worker->images.insert_or_assign(entry.instanceUid, image.sharedCopy());
            worker->imageOrder.push_back(entry.instanceUid);
            while (worker->imageOrder.size() > kImagesInMemory) {
                worker->images.erase(worker->imageOrder.front());
                worker->imageOrder.pop_front();
            }
        }
        worker->woken = true;
        worker->wake.notify_all();
    }
}

void DeliveryService::filmKept(const OutboxEntry& entry)
{
    Outbox outbox(m_folder);
    OutboxEntry kept = entry;
    std::vector<Outbox::Confirmation> confirmations;
    for (const auto& worker : m_workers) {
        std::optional<QString> failure;
        {
            const std::lock_guard lock(worker->mutex);
            worker->coming.erase(entry.instanceUid);
            if (const auto early = worker->confirmedEarly.find(entry.instanceUid); early != worker->confirmedEarly.end()) {
                const bool commits = worker->node.options.storageCommitment;
                confirmations.push_back({early->second, worker->node.id(), commits});
                worker->confirmedEarly.erase(early);
                if (commits) {
                    // Stored before its entry was written: asked about now.
                    worker->woken = true;
                    worker->wake.notify_all();
                }
            }
            if (const auto early = worker->failedEarly.find(entry.instanceUid); early != worker->failedEarly.end()) {
                failure = early->second;
                worker->failedEarly.erase(early);
            }
        }
        if (failure)
            outbox.noteFailure(kept, kept.owedTo(worker->node, m_nodes), *failure);
    }
    if (confirmations.empty())
        return;
    // One change of the entry for all of them: a film every node confirmed
    // while it was written goes at once.
    try {
        outbox.strikeOff(kept, confirmations);
    } catch (const Failure& e) {
        programlog::event(e.description()); // still owed: sent again, the nodes keep one copy
    }
}

void DeliveryService::filmNotKept(const QString& instanceUid)
{
    for (const auto& worker : m_workers) {
        const std::lock_guard lock(worker->mutex);
        worker->coming.erase(instanceUid);
        worker->confirmedEarly.erase(instanceUid);
        worker->failedEarly.erase(instanceUid);
        worker->images.erase(instanceUid);
    }
}

void DeliveryService::sendNow(const QSet<QString>& images)
{
    std::vector<OutboxEntry> chosen;
    if (!images.isEmpty()) {
        for (OutboxEntry& entry : Outbox(m_folder).entries())
            if (images.contains(entry.instanceUid))
                chosen.push_back(std::move(entry));
    }
    for (const auto& worker : m_workers) {
        const std::lock_guard lock(worker->mutex);
        const bool wanted = images.isEmpty() || std::any_of(chosen.begin(), chosen.end(), [&](const OutboxEntry& e) {
                                return e.anyNode || !e.owedTo(worker->node, m_nodes).empty();
                            });
        if (!wanted)
            continue;
        worker->now = true;
        for (const OutboxEntry& entry : chosen)
            worker->refused.erase(entry.instanceUid);
        worker->wake.notify_all();
    }
}

void DeliveryService::outboxEdited()
{
    const std::vector<OutboxEntry> entries = Outbox(m_folder).entries();
    for (const auto& worker : m_workers) {
        const std::lock_guard lock(worker->mutex);
        const auto owed = std::count_if(entries.begin(), entries.end(), [&](const OutboxEntry& entry) {
            return entry.anyNode || !entry.owedTo(worker->node, m_nodes).empty();
        });
        if (worker->busy)
            continue;
        worker->status.owed = static_cast<int>(owed);
        if (owed > 0)
            continue;
        worker->status.failing = false;
        worker->failures = 0;
        if (worker->status.activity == NodeStatus::Activity::Waiting)
            worker->status.activity = NodeStatus::Activity::Idle;
    }
    poll();
}

void DeliveryService::cancel(const std::optional<NodeId>& node)
{
    for (const auto& worker : m_workers) {
        const std::lock_guard lock(worker->mutex);
        if (node && !(worker->node.id() == *node))
            continue;
        if (!worker->guard)
            continue;
        worker->cancelled = true;
        worker->guard->cancel();
        programlog::event(QStringLiteral("delivery: sending to %1 cancelled by the operator").arg(worker->node.name()));
    }
}

void DeliveryService::stop(std::chrono::milliseconds grace)
{
    m_poll.stop();
    m_listener.reset();
    m_listenPort = 0;
    const auto waitForWorkers = [this](Clock::time_point deadline) {
        bool all = true;
        for (const auto& worker : m_workers) {
            std::unique_lock lock(worker->mutex);
            all = worker->wake.wait_until(lock, deadline, [&] { return worker->finished; }) && all;
        }
        return all;
    };
    for (const auto& worker : m_workers) {
        const std::lock_guard lock(worker->mutex);
        worker->ending = true;
        worker->wake.notify_all();
    }
    if (!waitForWorkers(Clock::now() + grace)) {
        for (const auto& worker : m_workers)
            worker->halt(QStringLiteral("delivery: the transfer to %1 is cut, Skiascan ends; the image stays in the "
                                        "outbox"));
        if (!waitForWorkers(Clock::now() + std::chrono::milliseconds(500)))
            programlog::event(QStringLiteral("delivery: a worker still connects; the program ends without it"));
    }
    for (const auto& worker : m_workers) {
        const std::lock_guard lock(worker->mutex);
        worker->stop = true;
        worker->images.clear();
    }
    m_workers.clear();
}

std::vector<NodeStatus> DeliveryService::status() const
{
    std::vector<NodeStatus> list;
    for (const auto& worker : m_workers) {
        const std::lock_guard lock(worker->mutex);
        NodeStatus status = worker->status;
        if (worker->guard && status.activity == NodeStatus::Activity::Sending) {
            status.done = worker->guard->bytesDone;
            status.total = worker->guard->bytesExpected;
        }
        if (status.node.options.storageCommitment && !m_listener) {
            status.reportsProblem = m_listenPort == 0
                ? QStringLiteral("no local IP-port is set for them (preferences, More..., This Station)")
                : m_listenProblem;
        } else if (status.node.options.storageCommitment && status.node.options.tls.enabled && !m_listenTls.enabled) {
            status.reportsProblem = QStringLiteral("it reports over TLS, and port %1 takes clear text for the other "
                                                   "nodes asked for commitment")
                                        .arg(m_listenPort);
        }
        list.push_back(status);
    }
    return list;
}

bool DeliveryService::quiet() const
{
    for (const NodeStatus& status : this->status())
        if (status.activity == NodeStatus::Activity::Connecting || status.activity == NodeStatus::Activity::Sending)
            return false;
    return true;
}

bool DeliveryService::settled() const
{
    int confirmed = 0;
    for (const auto& worker : m_workers) {
        const std::lock_guard lock(worker->mutex);
        if (worker->busy || worker->woken || worker->now)
            return false;
        confirmed += worker->confirmed;
        const auto seen = m_events.find(worker.get());
        if (seen == m_events.end() || seen->second != std::make_pair(worker->downEvents, worker->backEvents))
            return false;
    }
    return confirmed == m_confirmedShown && m_reports->applied == m_reportsShown && sameStatus(status(), m_shown);
}

std::map<QString, int> DeliveryService::waitingForGone() const
{
    std::map<QString, int> gone;
    for (const OutboxEntry& entry : Outbox(m_folder).entries())
        for (const OwedNode& owed : entry.owed)
            if (!nodeFor(m_nodes, owed.id()))
                ++gone[owed.id().name()];
    return gone;
}

void DeliveryService::poll()
{
    if (m_listenPort != 0 && !m_listener && Clock::now() - m_listenTried >= m_timing.listenRetry)
        listen(m_listenPort, m_listenTls);
    const std::vector<NodeStatus> now = status();
    const bool differs = !sameStatus(now, m_shown);
    m_shown = now;
    int confirmed = 0;
    std::vector<std::pair<QString, QString>> down;
    std::vector<QString> back;
    for (const auto& worker : m_workers) {
        const std::lock_guard lock(worker->mutex);
        confirmed += worker->confirmed;
        auto& [downSeen, backSeen] = m_events[worker.get()];
        if (worker->downEvents != downSeen)
            down.emplace_back(worker->node.name(), worker->downReason);
        if (worker->backEvents != backSeen)
            back.push_back(worker->node.name());
        downSeen = worker->downEvents;
        backSeen = worker->backEvents;
    }
    // A report changed the outbox: the workers look at it again (a failed
    // image goes anew) and count what they await.
    const int reports = m_reports->applied;
    const bool moreConfirmed = confirmed != m_confirmedShown || reports != m_reportsShown;
    if (reports != m_reportsShown)
        wake();
    m_confirmedShown = confirmed;
    m_reportsShown = reports;
    for (const auto& [node, reason] : down)
        emit nodeDown(node, reason);
    for (const QString& node : back)
        emit nodeBack(node);
    if (moreConfirmed)
        emit outboxChanged();
    if (differs)
        emit changed();
}

} // namespace skiascan
