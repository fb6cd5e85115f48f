// The changes of an outbox entry as delivery goes: what nodes confirmed, what
// they were asked to commit to and reported, why a try failed, and the
// operator's redirects. Each goes by the entry file as it stands, under the
// outbox's lock, and is one durable write of it.

#include "delivery/outbox.h"

#include "common/failure.h"
#include "common/program_log.h"
#include "dicom/image_attributes.h"

#include <QFile>

#include <algorithm>

namespace skiascan {

namespace {

bool isOneOf(const NodeId& node, const std::vector<NodeId>& nodes)
{
    return std::find(nodes.begin(), nodes.end(), node) != nodes.end();
}

QString fileError(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.errorString();
}

} // namespace

bool Outbox::strikeOff(OutboxEntry& entry, const std::vector<NodeId>& owed, const NodeId& by)
{
    return strikeOff(entry, std::vector<Confirmation>{{owed, by}});
}

bool Outbox::strikeOff(OutboxEntry& entry, const std::vector<Confirmation>& confirmations)
{
    const std::lock_guard lock(m_lock);
    return strikeOffLocked(entry, confirmations);
}

bool Outbox::strikeOffLocked(OutboxEntry& entry, const std::vector<Confirmation>& confirmations)
{
    // Another node's worker may have changed the entry meanwhile: go by the file.
    if (!reread(entry))
        return true;
    for (const Confirmation& confirmation : confirmations) {
        if (confirmation.commitment) {
            // Stored, not yet committed to: owed until the node's report says so.
            for (OwedNode& node : entry.owed) {
                if (isOneOf(node.id(), confirmation.owed) && !node.awaitingCommitment()) {
                    node.storedAt = QDateTime::currentDateTime();
                    node.transactionUid.clear();
                    node.askedAt = {};
                }
            }
            programlog::event(QStringLiteral("outbox: %1 stored image %2; it awaits the node's commitment")
                                  .arg(confirmation.by.name(), entry.instanceUid));
            continue;
        }
        entry.owed.erase(std::remove_if(entry.owed.begin(), entry.owed.end(),
                                        [&](const OwedNode& node) { return isOneOf(node.id(), confirmation.owed); }),
                         entry.owed.end());
        if (!entry.heldAt(confirmation.by))
            entry.heldBy.push_back({confirmation.by, QDateTime::currentDateTime()});
        programlog::event(QStringLiteral("outbox: %1 confirmed image %2").arg(confirmation.by.name(), entry.instanceUid));
    }
    entry.anyNode = false;
    if (!entry.owed.empty()) {
        write(entry);
        return false;
    }
    // The entry first: an image left without it is tidied away at the next start.
    if (!QFile::remove(entry.entryPath))
        throw Failure(QStringLiteral("Cannot remove the delivered image %1 from the outbox: %2")
                          .arg(entry.entryPath, fileError(entry.entryPath)),
                      Failure::Kind::File);
    if (!QFile::remove(entry.imagePath))
        programlog::event(QStringLiteral("outbox: the image file %1 could not be removed; the next start removes it")
                              .arg(entry.imagePath));
    removeCopies(entry);
    programlog::event(QStringLiteral("outbox: image %1 delivered to every node, removed from the outbox").arg(entry.instanceUid));
    return true;
}

bool Outbox::noteCommitmentRequest(OutboxEntry& entry, const std::vector<NodeId>& owed, const QString& transactionUid,
                                   const QDateTime& askedAt)
{
    const std::lock_guard lock(m_lock);
    if (!reread(entry))
        return false;
    bool any = false;
    for (OwedNode& node : entry.owed) {
        if (isOneOf(node.id(), owed) && node.awaitingCommitment()) {
            node.transactionUid = transactionUid;
            node.askedAt = askedAt;
            any = true;
        }
    }
    if (any)
        write(entry);
    return any;
}

Outbox::ReportOutcome Outbox::applyReport(const Node& reporter, const std::vector<Node>& nodes,
                                          const QString& transactionUid, const std::vector<QString>& committed,
                                          const std::vector<QString>& failed)
{
    const std::lock_guard lock(m_lock);
    ReportOutcome outcome;
    // Each image named is looked up by its own entry: the nodes it owes that
    // are the reporter now and were asked under the transaction; none when it
    // was delivered, removed, or asked about again since.
    const auto askedUnder = [&](const QString& uid, OutboxEntry& entry) {
        std::vector<NodeId> asked;
        entry.instanceUid = uid;
        place(entry);
        if (!dicom::isValidUid(uid) || !reread(entry))
            return asked;
        for (const OwedNode& node : entry.owed) {
            const Node* now = nodeFor(nodes, node.id());
            if (node.awaitingCommitment() && node.transactionUid == transactionUid && now
                && now->id() == reporter.id())
                asked.push_back(node.id());
        }
        return asked;
    };
    for (const QString& uid : committed) {
        OutboxEntry entry;
        const std::vector<NodeId> asked = askedUnder(uid, entry);
        if (asked.empty())
            continue;
        strikeOffLocked(entry, {{asked, reporter.id()}});
        ++outcome.committed;
    }
    for (const QString& uid : failed) {
        OutboxEntry entry;
        const std::vector<NodeId> asked = askedUnder(uid, entry);
        if (asked.empty())
            continue;
        for (OwedNode& node : entry.owed) {
            if (!isOneOf(node.id(), asked))
                continue;
            node.storedAt = {};
            node.transactionUid.clear();
            node.askedAt = {};
            node.lastFailure = QStringLiteral("the node could not commit to the image; it is sent again");
            node.lastTried = QDateTime::currentDateTime();
            ++node.commitmentFailures;
        }
        write(entry);
        ++outcome.failed;
        programlog::event(QStringLiteral("outbox: image %1 is sent again: %2 could not commit to it")
                              .arg(uid, reporter.name()));
    }
    return outcome;
}

int Outbox::askAgainForCommitment(const QStringList& images)
{
    const std::lock_guard lock(m_lock);
    int asked = 0;
    for (OutboxEntry& entry : read(false, nullptr)) {
        if (!entry.damage.isEmpty() || (!images.isEmpty() && !images.contains(entry.instanceUid)))
            continue;
        bool any = false;
        for (OwedNode& node : entry.owed) {
            if (node.awaitingCommitment() && node.askedAt.isValid()) {
                // The transaction stays: a report on it that still comes counts.
                node.askedAt = {};
                any = true;
            }
        }
        if (!any)
            continue;
        try {
            write(entry);
            ++asked;
        } catch (const Failure& e) {
            programlog::event(e.description());
        }
    }
    return asked;
}

void Outbox::noteFailure(OutboxEntry& entry, const std::vector<NodeId>& owed, const QString& failure)
{
    const std::lock_guard lock(m_lock);
    if (!reread(entry))
        return;
    for (OwedNode& node : entry.owed) {
        if (isOneOf(node.id(), owed)) {
            node.lastFailure = failure;
            node.lastTried = QDateTime::currentDateTime();
        }
    }
    try {
        write(entry);
    } catch (const Failure& e) {
        programlog::event(e.description()); // the failure is in the log at least
    }
}

bool Outbox::redirect(OutboxEntry& entry, const NodeId& from, const NodeId& to)
{
    const std::lock_guard lock(m_lock);
    if (!reread(entry))
        return false;
    const auto owed = std::find_if(entry.owed.begin(), entry.owed.end(), [&](const OwedNode& n) { return n.id() == from; });
    if (owed == entry.owed.end())
        return false;
    const bool alreadyOwed
        = std::any_of(entry.owed.begin(), entry.owed.end(), [&](const OwedNode& n) { return n.id() == to; });
    if (alreadyOwed)
        entry.owed.erase(owed);
    else
        *owed = {to.aeTitle, to.host, to.port, {}, {}};
    write(entry);
    programlog::event(QStringLiteral("outbox: image %1 of %2 redirected by the operator: to %3 instead of %4")
                          .arg(entry.instanceUid, entry.patientName, to.name(), from.name()));
    return true;
}

void Outbox::assignToNodes(const std::vector<Node>& nodes)
{
    if (nodes.empty())
        return;
    const std::lock_guard lock(m_lock);
    for (OutboxEntry& entry : read(false, nullptr)) {
        if (!entry.anyNode || !entry.damage.isEmpty())
            continue;
        entry.anyNode = false;
        for (const Node& node : nodes)
            entry.owed.push_back({node.aeTitle, node.host, node.port, {}, {}});
        try {
            write(entry);
            programlog::event(QStringLiteral("outbox: image %1, kept while no node was set, now owed to every node")
                                  .arg(entry.instanceUid));
        } catch (const Failure& e) {
            programlog::event(e.description()); // tried again at the next pass
        }
    }
}

} // namespace skiascan
