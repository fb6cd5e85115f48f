// One image in the outbox as its entry file records it: who it shows, which
// nodes it is still owed to and why the last try failed, which nodes hold it,
// and the entry file's bytes (JSON).
#pragma once

#include "delivery/destinations.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <vector>

namespace skiascan {

/// A node an image is still owed to.
struct OwedNode {
    QString aeTitle;
    QString host; // where the node was when the image was kept for it
    qint32 port = 0;
    QString lastFailure; // why the last try failed; empty before the first
    QDateTime lastTried;
    // Storage commitment: the node stored the image and is asked to take
    // responsibility for it; the image stays owed until it has.
    QDateTime storedAt{};   // when it stored it; invalid while it has not
    QString transactionUid{}; // the request that asked it last; empty before the first
    QDateTime askedAt{};    // when that request went; invalid: ask at the next pass
    int commitmentFailures = 0; // reports in a row that it could not commit to the image: it goes again after a pause
    NodeId id() const { return {aeTitle, host, port}; }
    bool awaitingCommitment() const { return storedAt.isValid(); }
};

/// A node that holds the image: it has confirmed it.
struct HoldingNode {
    NodeId node;
    QDateTime confirmed;
};

/// One image in the outbox.
struct OutboxEntry {
    QString instanceUid;
    QString patientName; // "last^first^middle", as the image has it
    QString patientId;
    QString studyUid;    // the study it belongs to
    QString study;       // what names the study: the scheduled procedure, else the Study Description
    int number = 0;      // its Instance Number in the study
    QDateTime scanned;   // when its scan started
    QDateTime kept;      // when it came into the outbox
    std::vector<OwedNode> owed;
    std::vector<HoldingNode> heldBy; // the nodes that have confirmed it so far
    bool anyNode = false; // kept while no node was configured: owed to those configured later
    // Review: a held film is owed to its nodes, but none gets it until the
    // operator accepts it (Outbox::release()).
    bool held = false;
    bool looksBlank = false; // held because its pixels are almost uniform
    int film = 0;            // its place in its stack, from 1; 0 when not known (an older entry)
    int films = 0;           // the films of that stack
    QString damage;       // for damaged entries: why they cannot be read
    QString imagePath;
    QString entryPath;

    /// The nodes owed that `nodes` send to `node` now (see nodeFor()).
    std::vector<NodeId> owedTo(const Node& node, const std::vector<Node>& nodes) const;
    /// Those of them that still wait for the image itself, not for a
    /// commitment to the image they stored.
    std::vector<NodeId> unsentTo(const Node& node, const std::vector<Node>& nodes) const;
    /// Those of them that stored the image and have not yet committed to it.
    std::vector<const OwedNode*> awaitingAt(const Node& node, const std::vector<Node>& nodes) const;
    /// True when `node` has confirmed the image.
    bool heldAt(const NodeId& node) const;
    /// The film as the operator knows it, to begin a sentence with: "Film 2
    /// of Müller, Jürgen"; "The film" when the entry was not read.
    QString filmText() const;
    /// The nodes it is owed to, for the log: "ARCHIVE, ORTHANC", or "the
    /// first node configured".
    QString owedText() const;
};

/// The entry file's bytes, and back; entryFromJson() returns false for bytes
/// that are not an entry.
QByteArray entryToJson(const OutboxEntry& entry);
bool entryFromJson(const QByteArray& bytes, OutboxEntry& entry);

} // namespace skiascan
