// The MPPS node's worker: when it looks at the step outbox, what one pass
// sends, what the node's answers mean for each step, and the pauses after
// failures.

#include "delivery/step_worker.h"

#include "common/failure.h"
#include "common/program_log.h"
#include "common/text.h"
#include "dicom/mpps.h"

namespace skiascan {

namespace {

// The step for the status line and the outbox window: "the step of Jane Doe (PID-1)".
QString stepName(const StepEntry& entry)
{
    return QStringLiteral("the step of %1 (%2)").arg(personName(entry.step.patient.name), entry.step.patient.id);
}

QString imageList(const dicom::PerformedStep& step)
{
    QStringList uids;
    for (const dicom::PerformedSeries& series : step.series)
        for (const dicom::ImageReference& image : series.images)
            uids << image.sopInstanceUid;
    return uids.isEmpty() ? QStringLiteral("no image") : uids.join(QStringLiteral(", "));
}

} // namespace

StepWorker::StepWorker(StepOutbox& steps, Setup setup, Listener listener)
    : WorkerControl(QStringLiteral("MPPS"))
    , m_steps(steps)
    , m_setup(std::move(setup))
    , m_listener(std::move(listener))
{
    m_status.node = m_setup.node;
    m_thread = std::thread([this] { run(); });
}

StepWorker::~StepWorker()
{
    stopNow();
    m_thread.join();
}

void StepWorker::wake(bool now)
{
    ++m_wakes;
    const std::lock_guard lock(m_mutex);
    m_woken = true;
    m_now = m_now || now;
    m_wake.notify_all();
}

void StepWorker::checkStopped(dicom::NetworkGuard& guard)
{
    const std::lock_guard lock(m_mutex);
    if (m_stop || m_cancelled) {
        guard.cancel();
        throw Failure(QStringLiteral("Sending to %1 stopped: cancelled by the operator.").arg(node().name()),
                      Failure::Kind::Cancelled);
    }
}

std::optional<StepWorker::Clock::time_point> StepWorker::wakeAt() const
{
    if (m_status.activity == NodeStatus::Activity::Waiting)
        return m_retryAt;
    return m_refusedRetry;
}

void StepWorker::publish()
{
    if (m_listener.status)
        m_listener.status(m_status, m_serving);
}

void StepWorker::run()
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
        // A step that ends does not cut a failed node's pause short.
        if (m_status.activity == NodeStatus::Activity::Waiting && !forced && !due()) {
            lock.unlock();
            publish();
            lock.lock();
            continue;
        }
        m_refusedRetry.reset();
        lock.unlock();
        pass(forced);
        publish();
        lock.lock();
    }
    m_ended = true;
    m_wake.notify_all();
}

// One pass: every step that owes this node a message, oldest first, on one
// association.
void StepWorker::pass(bool forced)
{
    const Node& self = m_setup.node;
    if (forced)
        m_refused.clear();
    std::vector<StepEntry> queue;
    for (StepEntry& entry : m_steps.entries()) {
        // A step is owed to the node it was opened for; a node of that AE
        // title at another address is the same node moved.
        if (entry.owed() && entry.owedTo(self.id()))
            queue.push_back(std::move(entry));
    }
    m_status.owed = static_cast<int>(queue.size());
    const bool anythingOwed = !queue.empty();
    const Clock::time_point now = Clock::now();
    std::erase_if(queue, [&](const StepEntry& entry) {
        // Created but ended while a film of it waits for review: nothing to
        // send until the operator has decided.
        if (entry.created && entry.ended() && m_steps.waitsForReview(entry))
            return true;
        const auto refusal = m_refused.find(entry.step.instanceUid);
        if (refusal == m_refused.end() || refusal->second.until <= now)
            return false;
        if (!m_refusedRetry || refusal->second.until < *m_refusedRetry)
            m_refusedRetry = refusal->second.until;
        return true;
    });
    if (queue.empty()) {
        m_status.activity = NodeStatus::Activity::Idle;
        if (!anythingOwed) {
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
    setGuard(&guard);
    m_status.activity = NodeStatus::Activity::Connecting;
    m_status.image.clear();
    publish();

    QString failure;
    StepEntry* current = nullptr;
    try {
        sendQueue(queue, guard, current);
    } catch (const Failure& e) {
        failure = e.description();
        programlog::event(QStringLiteral("MPPS: %1: %2").arg(self.name(), logText(e)));
    } catch (const std::exception& e) {
        failure = describe(e);
        programlog::event(QStringLiteral("MPPS: %1: %2").arg(self.name(), failure));
    }
    bool stopped = false;
    bool byOperator = false;
    {
        const std::lock_guard lock(m_mutex);
        m_guard = nullptr;
        stopped = m_stop;
        byOperator = m_cancelled;
    }
    m_status.image.clear();
    if (stopped)
        return; // the program ends, or the settings changed: nothing more is written
    if (failure.isEmpty()) {
        m_status.activity = NodeStatus::Activity::Idle;
        return;
    }
    if (current)
        m_steps.noteFailure(*current, failure);
    failed(failure, byOperator);
}

// Sends the queue on one association. Throws Failure when the association
// cannot be had or is lost; a step the node refuses is noted and the next one
// goes. `current` names the step under way when it throws.
void StepWorker::sendQueue(std::vector<StepEntry>& queue, dicom::NetworkGuard& guard, StepEntry*& current)
{
    const Node& self = m_setup.node;
    // A node that cannot be reached has its failure noted on the oldest step.
    current = &queue.front();
    dicom::StepAssociation association(self.host, self.port, self.aeTitle, m_setup.localAETitle, m_setup.timeouts,
                                       guard, self.options.tls);
    m_failures = 0;
    if (m_status.failing) {
        m_status.failing = false;
        programlog::event(QStringLiteral("MPPS: %1 is back").arg(self.name()));
    }
    for (StepEntry& entry : queue) {
        current = nullptr;
        checkStopped(guard);
        if (!m_steps.refresh(entry) || !entry.owed())
            continue; // gone meanwhile
        current = &entry;
        m_status.activity = NodeStatus::Activity::Sending;
        m_status.image = stepName(entry);
        publish();
        // The final N-SET goes only once the node has confirmed the N-CREATE.
        if (!entry.created && !create(association, entry))
            continue;
        // Its end waits while a film of it waits for review: a film the
        // operator rejects then is not reported as made.
        if (entry.ended() && m_steps.waitsForReview(entry))
            continue;
        if (entry.ended() && !end(association, entry))
            continue;
        m_refused.erase(entry.step.instanceUid);
        m_status.owed = std::max(0, m_status.owed - 1);
        current = nullptr;
    }
    association.release();
}

// The N-CREATE of the step. False when the node refused it. A node that holds
// the step already got an earlier N-CREATE whose answer was lost: it counts as
// created, so that the step is not offered again and again.
bool StepWorker::create(dicom::StepAssociation& association, StepEntry& entry)
{
    const Node& self = m_setup.node;
    try {
        const QString warning = association.create(entry.step);
        programlog::event(QStringLiteral("MPPS: %1 created %2, IN PROGRESS%3")
                              .arg(self.name(), entry.logName(), warning.isEmpty() ? QString() : QStringLiteral(": ") + warning));
    } catch (const dicom::StepRefused& e) {
        if (!e.alreadyCreated()) {
            refused(entry, e.description());
            return false;
        }
        programlog::event(QStringLiteral("MPPS: %1 holds %2 already (an earlier N-CREATE arrived, its answer was lost); "
                                         "it counts as created")
                              .arg(self.name(), entry.logName()));
    } catch (const Failure& e) {
        if (e.kind() != Failure::Kind::Argument)
            throw;
        refused(entry, e.description()); // the step itself lacks a value: no node takes it
        return false;
    }
    entry.created = true;
    try {
        m_steps.noteCreated(entry, true);
    } catch (const Failure& e) {
        // Created again at the next pass; the node answers that it holds it.
        programlog::event(e.description());
    }
    if (m_listener.outboxChanged)
        m_listener.outboxChanged();
    return true;
}

// The final N-SET of an ended step, without the images the operator removed.
// False when the node refused it. A node that says the step may no longer be
// updated has it ended already (an earlier final N-SET whose answer was lost,
// or the RIS closed it): it is done. A node that does not hold the step lost
// it: it is created again, once per pass, and then ended.
bool StepWorker::end(dicom::StepAssociation& association, StepEntry& entry)
{
    const Node& self = m_setup.node;
    for (int attempt = 0;; ++attempt) {
        std::optional<dicom::PerformedStep> final;
        try {
            final = m_steps.finalToSend(entry);
        } catch (const Failure& e) {
            refused(entry, e.description());
            return false;
        }
        if (!final)
            return true; // gone meanwhile
        try {
            const QString warning = association.set(*final);
            programlog::event(QStringLiteral("MPPS: %1 took the end of %2: %3 with %4 (%5)%6; it leaves the outbox")
                                  .arg(self.name(), entry.logName(), dicom::statusText(final->status),
                                       countOf(final->imageCount(), QStringLiteral("image"), QStringLiteral("images")),
                                       imageList(*final), warning.isEmpty() ? QString() : QStringLiteral(": ") + warning));
            break;
        } catch (const dicom::StepRefused& e) {
            if (e.noLongerUpdatable()) {
                programlog::event(QStringLiteral("MPPS: %1 says %2 may no longer be updated: it has ended there already; "
                                                 "it counts as done and leaves the outbox")
                                      .arg(self.name(), entry.logName()));
                break;
            }
            if (e.unknownStep() && attempt == 0) {
                programlog::event(QStringLiteral("MPPS: %1 does not hold %2; it is created again").arg(self.name(), entry.logName()));
                try {
                    m_steps.noteCreated(entry, false);
                } catch (const Failure& f) {
                    programlog::event(f.description());
                }
                entry.created = false;
                if (!create(association, entry))
                    return false;
                continue;
            }
            refused(entry, e.description());
            return false;
        } catch (const Failure& e) {
            if (e.kind() != Failure::Kind::Argument)
                throw;
            refused(entry, e.description());
            return false;
        }
    }
    m_steps.finished(entry);
    if (m_listener.outboxChanged)
        m_listener.outboxChanged();
    return true;
}

// The node refused a message of this one step: it waits for a pause of its
// own, and the next step goes.
void StepWorker::refused(StepEntry& entry, const QString& why)
{
    m_steps.noteFailure(entry, why);
    programlog::event(QStringLiteral("MPPS: %1 failed: %2").arg(entry.logName(), why));
    Refusal& refusal = m_refused[entry.step.instanceUid];
    refusal.until = Clock::now() + pause(refusal.count++);
    if (!m_refusedRetry || refusal.until < *m_refusedRetry)
        m_refusedRetry = refusal.until;
    m_status.lastFailure = why;
    m_status.lastFailureAt = QDateTime::currentDateTime();
    if (!m_status.failing) {
        m_status.failing = true;
        m_status.failingSince = QDateTime::currentDateTime();
    }
    publish();
    if (m_listener.outboxChanged)
        m_listener.outboxChanged();
}

// The node failed (or the operator cut it): it is tried again by itself after
// a pause that grows with every failure in a row.
void StepWorker::failed(const QString& failure, bool byOperator)
{
    const std::chrono::milliseconds wait = pause(byOperator ? 0 : m_failures);
    if (!byOperator)
        ++m_failures;
    m_retryAt = Clock::now() + wait;
    m_status.activity = NodeStatus::Activity::Waiting;
    m_status.nextTry = QDateTime::currentDateTime().addMSecs(wait.count());
    m_status.lastFailure = failure;
    m_status.lastFailureAt = QDateTime::currentDateTime();
    if (!byOperator && !m_status.failing) {
        m_status.failing = true;
        m_status.failingSince = QDateTime::currentDateTime();
        programlog::event(QStringLiteral("MPPS: %1 fails; it is tried again by itself").arg(node().name()));
    }
    if (m_listener.outboxChanged)
        m_listener.outboxChanged(); // the step tried notes why
}

} // namespace skiascan
