// A node's worker on one association: the C-STORE of each image of its queue,
// what the node confirmed or refused, and the commitment requests after them.

#include "delivery/node_worker.h"

#include "common/failure.h"
#include "common/program_log.h"
#include "common/text.h"
#include "delivery/commitment_requests.h"

namespace skiascan {

namespace {

// The image under way as the outbox window shows it: "Smith, John (4711), image 2".
QString filmName(const OutboxEntry& entry)
{
    return QStringLiteral("%1 (%2), image %3").arg(personName(entry.patientName), entry.patientId).arg(entry.number);
}

} // namespace

// Sends the queue on one association. Throws Failure when the association
// cannot be had or is lost; an image the node refuses is noted and the next
// one goes. `current` names the image under way when it throws.
void NodeWorker::sendQueue(std::vector<OutboxEntry>& queue, dicom::NetworkGuard& guard, OutboxEntry*& current)
{
    const Node& self = m_setup.node;
    const bool commits = self.options.storageCommitment;
    // A node that cannot be reached has its failure noted on the oldest image
    // it owes, not on every one of them.
    current = queue.empty() ? nullptr : &queue.front();
    dicom::StoreAssociation association(self.host, self.port, self.aeTitle, m_setup.localAETitle, m_setup.timeouts,
                                        guard, self.options.tls, commits, self.options.compression);
    const QString over = association.protocol().isEmpty() ? QString() : QStringLiteral(" over ") + association.protocol();
    // The node's answer decides: compressed when it took the syntax offered.
    const Compression compression = association.acceptedCompression();
    if (self.options.compression != Compression::None && compression == Compression::None)
        programlog::event(QStringLiteral("delivery: %1 takes no %2; its images go uncompressed")
                              .arg(self.name(), compressionName(self.options.compression)));
    m_failures = 0;
    // Quit, a settings change or the operator's Cancel ends the association
    // between two images (and before an encoding, which cannot be cut).
    const auto endWhenCut = [&] {
        if (m_stop || m_cancelled) {
            guard.cancel(); // the association is dropped, not released
            throw Failure(QStringLiteral("Sending to %1 stopped: cancelled by the operator.").arg(self.name()),
                          Failure::Kind::Cancelled);
        }
    };

    for (OutboxEntry& entry : queue) {
        current = nullptr;
        dicom::Image image;
        bool inMemory = false;
        bool stillComing = false;
        {
            const std::lock_guard lock(m_mutex);
            endWhenCut();
            stillComing = m_coming.count(entry.instanceUid) > 0;
        }
        if (!m_outbox.refresh(entry) && !stillComing)
            continue; // delivered or removed meanwhile
        const std::vector<NodeId> owed = entry.unsentTo(self, m_setup.nodes);
        if (owed.empty())
            continue; // sent elsewhere by the operator meanwhile
        {
            const std::lock_guard lock(m_mutex);
            if (auto kept = m_images.find(entry.instanceUid); kept != m_images.end()) {
                image = std::move(kept->second);
                m_images.erase(kept);
                inMemory = true;
            }
        }
        m_status.activity = NodeStatus::Activity::Sending;
        m_status.image = filmName(entry);
        m_status.done = m_status.total = 0;
        publish();
        if (!inMemory) {
            try {
                image = m_outbox.loadImage(entry);
            } catch (const Failure& e) {
                if (e.kind() == Failure::Kind::Damaged)
                    m_outbox.setAsideDamaged(entry, e.description());
                else
                    programlog::event(QStringLiteral("delivery: %1").arg(e.description()));
                continue;
            }
        }
        current = &entry;
        // The compressed copy is made once, by the first worker that needs
        // it, from the image at hand; a copy that cannot be made leaves the
        // image to go uncompressed.
        if (compression != Compression::None) {
            const std::lock_guard lock(m_mutex);
            endWhenCut();
        }
        const QString copy = compression == Compression::None
            ? QString()
            : m_outbox.compressedCopy(entry, compression, image);
        dicom::StoreAssociation::Stored stored;
        try {
            stored = association.store(image, copy);
        } catch (const Failure& e) {
            if (e.kind() != Failure::Kind::Status)
                throw;
            refusedImage(entry, owed, e.description());
            continue;
        }
        current = nullptr;
        if (!stored.copyUnused.isEmpty())
            programlog::event(QStringLiteral("compression: the copy of image %1 was not sent (%2)")
                                  .arg(entry.instanceUid, stored.copyUnused));
        m_status.sentAs = compressionName(stored.syntax);
        programlog::event(QStringLiteral("sent image %1 to %2%3 as %4")
                              .arg(entry.instanceUid, self.name(), over, m_status.sentAs));
        sent(entry, owed);
    }
    if (commits)
        askForCommitment(m_outbox, self, m_setup.nodes, m_setup.localAETitle, m_setup.timeouts, m_setup.commitmentWait,
                         association, [this, &guard](dicom::NetworkGuard* own) {
                             // A request on an association of its own is cut
                             // as the stores were; then the stores' guard is
                             // the one to cut again, until their release.
                             const std::lock_guard lock(m_mutex);
                             m_guard = own ? own : &guard;
                             if (m_stop || m_cancelled)
                                 m_guard->cancel();
                         });
    association.release();
}

// The node confirmed the image: it is struck off for the node (a node asked
// for commitment keeps it owed until it commits), or, for a film still being
// written ahead, once it is kept.
void NodeWorker::sent(OutboxEntry& entry, const std::vector<NodeId>& owed)
{
    const Node& self = m_setup.node;
    bool early = false;
    {
        const std::lock_guard lock(m_mutex);
        if (m_coming.count(entry.instanceUid)) {
            m_confirmedEarly[entry.instanceUid] = owed;
            early = true;
        }
    }
    if (!early) {
        try {
            m_outbox.strikeOff(entry, {{owed, self.id(), self.options.storageCommitment}});
        } catch (const Failure& e) {
            // Still owed in the outbox: sent again later, the node keeps one copy.
            programlog::event(e.description());
        }
    }
    m_refused.erase(entry.instanceUid);
    m_status.owed = std::max(0, m_status.owed - 1);
    if (m_status.failing) {
        m_status.failing = false;
        programlog::event(QStringLiteral("delivery: %1 is back").arg(self.name()));
        if (m_listener.back)
            m_listener.back();
    }
    publish();
    if (!early && m_listener.outboxChanged)
        m_listener.outboxChanged();
}

// The node refused this one image: it waits for a pause of its own, and the
// next one goes.
void NodeWorker::refusedImage(OutboxEntry& entry, const std::vector<NodeId>& owed, const QString& why)
{
    m_outbox.noteFailure(entry, owed, why);
    programlog::event(QStringLiteral("sending image %1 to %2 failed: %3").arg(entry.instanceUid, node().name(), why));
    Refusal& refusal = m_refused[entry.instanceUid];
    refusal.until = Clock::now() + pause(refusal.count++);
    if (!m_refusedRetry || refusal.until < *m_refusedRetry)
        m_refusedRetry = refusal.until;
    m_status.lastFailure = why;
    m_status.lastFailureAt = QDateTime::currentDateTime();
    goingDown(why);
    publish();
}

} // namespace skiascan
