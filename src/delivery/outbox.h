// The outbox keeps every image that some node has not yet confirmed, so that no
// film is ever lost.
//
// Each image in "Outbox/" of the program folder is two files named after its SOP
// Instance UID: "<uid>.dcm", the DICOM image, written once, and "<uid>.entry",
// what is still owed (see outbox_entry.h). The entry file is written after the
// image and is what makes it count; every change of it is one durable rename,
// so a crash leaves either the old or the new state. Images whose entry cannot
// be read wait in "Outbox/damaged/"; images the operator removed go to
// "Outbox/removed/". Nothing in the outbox is ever deleted but what every node
// it was owed to has confirmed.
//
// One Outbox object changes a folder's entries: the delivery service's, which
// the session, the workers, the commitment reports and the outbox window share.
// It holds its own lock for every read, write, move and removal of an entry, so
// each of them sees an entry whole and changes it from its file as it stands.
#pragma once

#include "delivery/outbox_entry.h"
#include "common/peer_options.h"
#include "dicom/image.h"
#include "dicom/orientation.h"

#include <QString>
#include <QStringList>

#include <mutex>
#include <set>
#include <vector>

namespace skiascan {

class Outbox {
public:
    /// The outbox of a program folder ("Outbox/" in it, made when needed).
    explicit Outbox(const QString& programFolder);
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    QString folder() const { return m_folder; }

    /// Fills in where an entry of this outbox lies (its image and entry files).
    void place(OutboxEntry& entry) const;

    /// Writes a new image ahead of its delivery: the image to a temporary name,
    /// flushed and renamed, then its entry. Sends may read `image` (its own
    /// copy) meanwhile. Throws Failure (kind File) when either cannot be
    /// written; nothing is left behind then. Thread-safe, as is every call
    /// below.
    void keep(dicom::Image& image, OutboxEntry& entry);

    /// The waiting entries, oldest first. An entry whose file cannot be parsed is
    /// moved to damaged/; one that cannot be read (the disk, its rights) stays
    /// and is named in `unreadable`.
    std::vector<OutboxEntry> entries(QStringList* unreadable = nullptr) const;
    int count() const;

    /// The entries in damaged/, which no worker sends.
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
    /// await a commitment to it. Throws Failure (kind File).
    bool noteCommitmentRequest(OutboxEntry& entry, const std::vector<NodeId>& owed, const QString& transactionUid,
                               const QDateTime& askedAt);

    /// What a node's report on a transaction changed.
    struct ReportOutcome {
        int committed = 0; // images struck off for it
        int failed = 0;    // images to be sent again
    };
    /// Honours the report of the configured node `reporter` (one of `nodes`)
    /// on `transactionUid`: the images `committed` are struck off for that
    /// node, if it was asked about them under the transaction; those `failed`
    /// are owed to it again, to be sent anew. Images the transaction did not
    /// ask that very node about are left alone. Throws Failure (kind File).
    ReportOutcome applyReport(const Node& reporter, const std::vector<Node>& nodes, const QString& transactionUid,
                              const std::vector<QString>& committed, const std::vector<QString>& failed);

    /// The nodes that stored images, were asked to commit to them and have
    /// not reported: asked again at once (at the start, after a report that
    /// may have been lost, or on Send now). For `images` only when given.
    /// Returns how many images are asked about again.
    int askAgainForCommitment(const QStringList& images = {});

    /// Notes why a node did not take the image, and when.
    void noteFailure(OutboxEntry& entry, const std::vector<NodeId>& owed, const QString& failure);

    /// The operator sends the image to `to` instead of `from`: the obligation
    /// to `from` becomes one to `to`; every other one stays. False when the
    /// entry no longer owes `from` (sent or removed meanwhile). Throws Failure
    /// (kind File).
    bool redirect(OutboxEntry& entry, const NodeId& from, const NodeId& to);

    /// Gives the images kept while no node was configured to `nodes`, when
    /// there are any.
    void assignToNodes(const std::vector<Node>& nodes);

    /// The operator removed the image: it goes to removed/, never deleted.
    /// Throws Failure (kind File) when it cannot be moved.
    void remove(const OutboxEntry& entry);
    /// True when the operator removed the image of that SOP Instance UID
    /// (it lies in removed/).
    bool removedByOperator(const QString& instanceUid) const;

    /// Review (outbox_review.cpp). The operator accepted the held film: it is
    /// no longer held, and the nodes it is owed to may send it (the caller
    /// wakes them). False when it is not held (accepted before) or no longer
    /// in the outbox. Throws Failure (kind File) when the entry cannot be
    /// written; the film stays held then.
    bool release(const QString& instanceUid);
    /// The operator corrects the held film (see dicom::correct()): its image
    /// is read from its file, corrected, written under a temporary name,
    /// flushed and renamed over it, and the compressed copies made of it
    /// before are removed; its UIDs stay. Only while the film is held and no
    /// node holds it or has stored it; one correction of a film at a time.
    /// The film is read and written outside the lock, which the workers and
    /// the window need meanwhile; whether it may still be changed is decided
    /// under the lock, before and at the rename. Throws Failure: kind
    /// Argument when the film may not be corrected (not held, gone, sent, a
    /// correction of it under way), File or Damaged when it cannot be read or
    /// written, Limit when there is not the memory; the image is unchanged
    /// then.
    void correct(const QString& instanceUid, dicom::Correction correction);

    /// Reads the image of an entry; its pixels stay in the file until sent.
    /// Throws Failure (kind File or Damaged).
    dicom::Image loadImage(const OutboxEntry& entry) const;

    /// The file of an entry's lossless compressed copy in `compression`
    /// ("<uid>.jls" for JPEG-LS, "<uid>.jpl" for JPEG lossless), beside its
    /// image; empty for Compression::None.
    QString copyPath(const OutboxEntry& entry, Compression compression) const;
    /// The entry's compressed copy, made from `image` (the entry's image, a
    /// copy of it for this thread) when there is none yet: once per film and
    /// compression, whichever node's worker needs it first; every node that
    /// takes the compression shares it. Returns its path, or empty when it
    /// cannot be made (logged: the image then goes uncompressed). The copy
    /// goes with its image: struck off, removed or set aside.
    QString compressedCopy(const OutboxEntry& entry, Compression compression, const dicom::Image& image);
    /// Moves an image that cannot be read as an image to damaged/.
    void setAsideDamaged(const OutboxEntry& entry, const QString& why);

    /// Tidies the outbox at start-up: removes temporary files of writes a crash
    /// cut short, and images without an entry (a write-ahead cut short, whose
    /// scan file and journal entry still exist); converts entries of the
    /// earlier form (nodes owed by row) to entries owing the nodes those rows
    /// name now.
    void tidy(const RemoteNodes& remotes);

    /// The entry file's bytes, and back (see entryToJson()).
    static QByteArray toJson(const OutboxEntry& entry) { return entryToJson(entry); }
    static bool fromJson(const QByteArray& bytes, OutboxEntry& entry) { return entryFromJson(bytes, entry); }

private:
    // Each of these expects m_lock held.
    void write(const OutboxEntry& entry);
    bool reread(OutboxEntry& entry) const;
    bool moveAside(const OutboxEntry& entry, const QString& why) const;
    std::vector<OutboxEntry> read(bool moveDamaged, QStringList* unreadable) const;
    bool strikeOffLocked(OutboxEntry& entry, const std::vector<Confirmation>& confirmations);
    QString whyNotCorrectable(OutboxEntry& entry) const;
    void removeCopies(const QString& instanceUid) const;

    void removeCopies(const OutboxEntry& entry) const;

    QString m_folder;
    mutable std::mutex m_lock;
    std::mutex m_encoding; // one copy is made at a time; a second worker wanting it waits for it
    std::set<QString> m_correcting; // films a correction reads and writes now
};

} // namespace skiascan
