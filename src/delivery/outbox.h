// The outbox keeps every image that some node has not yet confirmed, so that no
// film is ever lost.
//
// Each image in "Outbox/" of the program folder is two files named after its SOP
// Instance UID: "<uid>.dcm", the DICOM image, written once, and "<uid>.entry",
// what is still owed: the nodes (by AE title, with the address they had), the
// last failure of each, and who the image shows. The entry file is written after
// the image and is what makes it count; every change of it is one durable
// rename, so a crash leaves either the old or the new state. Images whose entry
// cannot be read wait in "Outbox/damaged/"; images the operator removed go to
// "Outbox/removed/". Nothing in the outbox is ever deleted but what every node
// it was owed to has confirmed.
#pragma once

#include "delivery/destinations.h"
#include "dicom/image.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

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
};

class Outbox {
public:
    /// The outbox of a program folder ("Outbox/" in it, made when needed).
    explicit Outbox(const QString& programFolder);

    QString folder() const { return m_folder; }

    /// Fills in where an entry of this outbox lies (its image and entry files).
    void place(OutboxEntry& entry) const;

    /// Writes a new image ahead of its delivery: the image to a temporary name,
    /// flushed and renamed, then its entry. Sends may read `image` (its own
    /// copy) meanwhile. Throws Failure (kind File) when either cannot be
    /// written; nothing is left behind then.
    void keep(dicom::Image& image, OutboxEntry& entry);

    /// The waiting entries, oldest first. An entry whose file cannot be parsed is
    /// moved to damaged/; one that cannot be read (the disk, its rights) stays
    /// and is named in `unreadable`.
    std::vector<OutboxEntry> entries(QStringList* unreadable = nullptr) const;
    int count() const;

    /// The entries in damaged/, which no round sends.
    std::vector<OutboxEntry> damaged() const;
    int damagedCount() const;

    /// True when an image of that SOP Instance UID waits in the outbox.
    bool holds(const QString& instanceUid) const;

    /// Reads the entry anew from its file. False when it is gone (delivered
    /// or removed meanwhile).
    bool refresh(OutboxEntry& entry) const;

    /// Records that `by` has confirmed the image for the nodes `owed`. When no
    /// node is owed any more, the entry and then its image are deleted.
    /// Returns true when the entry is gone (also when the operator removed it
    /// meanwhile). Goes by the entry file, not by `entry`, which it updates.
    /// Thread-safe with every other change of any outbox of the process.
    /// Throws Failure (kind File).
    bool strikeOff(OutboxEntry& entry, const std::vector<NodeId>& owed, const NodeId& by);
    /// The same for several nodes at once, in one change of the entry.
    /// With `commitment`, the node is asked to commit to the image: it stays
    /// owed, awaiting the node's commitment.
    struct Confirmation {
        std::vector<NodeId> owed;
        NodeId by;
        bool commitment = false;
    };
    bool strikeOff(OutboxEntry& entry, const std::vector<Confirmation>& confirmations);

    /// Records that the nodes `owed`, which stored the image, were asked to
    /// commit to it under `transactionUid` at `askedAt` (invalid: the request
    /// did not go, ask again at the next pass). False when they no longer
    /// await a commitment to it. Thread-safe. Throws Failure (kind File).
    bool noteCommitmentRequest(OutboxEntry& entry, const std::vector<NodeId>& owed, const QString& transactionUid,
                               const QDateTime& askedAt);

    /// What a node's report on a transaction changed.
    struct ReportOutcome {
        int committed = 0; // images struck off for it
        int failed = 0;    // images to be sent again
    };
    /// Honours the report of the node `reporter` (its AE title) on
    /// `transactionUid`: the images `committed` are struck off for the node
    /// of that AE title that was asked under it; those `failed` are owed to
    /// it again, to be sent anew. Images the transaction did not ask that
    /// node about are left alone. Thread-safe. Throws Failure (kind File).
    ReportOutcome applyReport(const QString& reporter, const QString& transactionUid,
                              const std::vector<QString>& committed, const std::vector<QString>& failed);

    /// Notes why a node did not take the image, and when. Thread-safe.
    void noteFailure(OutboxEntry& entry, const std::vector<NodeId>& owed, const QString& failure);

    /// The operator sends the image to `to` instead of `from`: the obligation
    /// to `from` becomes one to `to`; every other one stays. False when the
    /// entry no longer owes `from` (sent or removed meanwhile). Throws Failure
    /// (kind File).
    bool redirect(OutboxEntry& entry, const NodeId& from, const NodeId& to);

    /// Gives the images kept while no node was configured to `nodes`, when
    /// there are any.
    void assignToNodes(const std::vector<Node>& nodes);

    /// Moves an entry (image and entry file) aside: to damaged/ when it cannot
    /// be read, to removed/ when the operator removed it. Never deletes it.
    void moveAside(const OutboxEntry& entry, const QString& why) const;
    void remove(const OutboxEntry& entry);

    /// Reads the image of an entry; its pixels stay in the file until sent.
    /// Throws Failure (kind File or Damaged).
    dicom::Image loadImage(const OutboxEntry& entry) const;

    /// Tidies the outbox at start-up: removes temporary files of writes a crash
    /// cut short, and images without an entry (a write-ahead cut short, whose
    /// scan file and journal entry still exist); converts entries of the
    /// earlier form (nodes owed by row) to entries owing the nodes those rows
    /// name now.
    void tidy(const RemoteNodes& remotes);

    /// The entry file's bytes, and back; fromJson() returns false for bytes that
    /// are not an entry.
    static QByteArray toJson(const OutboxEntry& entry);
    static bool fromJson(const QByteArray& bytes, OutboxEntry& entry);

private:
    void write(const OutboxEntry& entry);
    std::vector<OutboxEntry> read(const QString& folder, QStringList* unreadable, bool moveDamaged) const;

    QString m_folder;
};

} // namespace skiascan
