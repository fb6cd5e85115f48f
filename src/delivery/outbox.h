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

#include <mutex>
#include <vector>

namespace skiascan {

/// A node an image is still owed to.
struct OwedNode {
    QString aeTitle;
    QString host; // where the node was when the image was kept for it
    qint32 port = 0;
    QString lastFailure; // why the last try failed; empty before the first
    QDateTime lastTried;
};

/// One image in the outbox.
struct OutboxEntry {
    QString instanceUid;
    QString patientName; // "last^first^middle", as the image has it
    QString patientId;
    int number = 0;      // its Instance Number in the study
    QDateTime scanned;   // when its scan started
    QDateTime kept;      // when it came into the outbox
    std::vector<OwedNode> owed;
    bool anyNode = false; // kept while no node was configured: owed to those configured later
    QString damage;       // for damaged entries: why they cannot be read
    QString imagePath;
    QString entryPath;

    const OwedNode* owedTo(const QString& aeTitle) const;
};

class Outbox {
public:
    /// The outbox of a program folder ("Outbox/" in it, made when needed).
    explicit Outbox(const QString& programFolder);

    QString folder() const { return m_folder; }

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

    /// Saves a changed entry (nodes owed, failures). Throws Failure (kind File).
    void save(const OutboxEntry& entry);

    /// Records that a node has confirmed the image. When no node is owed any
    /// more, the entry and then its image are deleted. Returns true when the
    /// entry is gone. Thread-safe with the other changes of this outbox.
    /// Throws Failure (kind File).
    bool strikeOff(OutboxEntry& entry, const QString& aeTitle);

    /// Notes why a node did not take the image, and when. Thread-safe.
    void noteFailure(OutboxEntry& entry, const QString& aeTitle, const QString& failure);

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
    mutable std::mutex m_mutex;
};

} // namespace skiascan
