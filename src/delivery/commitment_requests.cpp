#include "delivery/commitment_requests.h"

#include "common/failure.h"
#include "common/program_log.h"
#include "dicom/commitment.h"
#include "dicom/network.h"
#include "dicom/uid_generator.h"

namespace skiascan {

namespace {

// When a node that stored an image is to be asked (again) to commit to it.
QDateTime askDue(const OwedNode& node, std::chrono::milliseconds wait)
{
    if (node.transactionUid.isEmpty() || !node.askedAt.isValid())
        return node.storedAt;
    return node.askedAt.addMSecs(wait.count());
}

} // namespace

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

void askForCommitment(Outbox& outbox, const Node& self, const std::vector<Node>& all, const QString& calling,
                      const dicom::NetworkTimeouts& timeouts, std::chrono::milliseconds wait,
                      dicom::StoreAssociation& association, const std::function<void(dicom::NetworkGuard*)>& current)
{
    const QDateTime now = QDateTime::currentDateTime();
    std::vector<std::pair<OutboxEntry, std::vector<NodeId>>> due;
    for (OutboxEntry& entry : outbox.entries()) {
        std::vector<NodeId> ids;
        for (const OwedNode* node : entry.awaitingAt(self, all))
            if (askDue(*node, wait) <= now)
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
                current(&guard);
                try {
                    dicom::requestCommitment(self.host, self.port, self.aeTitle, calling, timeouts, guard, transaction,
                                             uids, self.options.tls);
                } catch (...) {
                    current(nullptr);
                    throw;
                }
                current(nullptr);
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

} // namespace skiascan
