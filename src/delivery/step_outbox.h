// The performed procedure steps the MPPS node (the RIS) is still owed, kept
// beside the images in "Outbox/steps/", one file per step named after its SOP
// Instance UID ("<uid>.step", JSON). A step is written there before anything
// of it is sent, and every change of it is one durable rename, so a crash
// leaves either the old or the new state. The file says what the step holds
// (dicom::PerformedStep: IN PROGRESS until its study ends here), which node it
// is owed to, whether the node has confirmed its N-CREATE, and the last
// failure. Once the node has confirmed the final N-SET the file is deleted.
//
// One StepOutbox per outbox, the delivery service's, shared by the session
// (which opens, extends and ends steps), the MPPS node's worker and the
// outbox window. It holds its own lock for every read and change of a file.
#pragma once

#include "delivery/destinations.h"
#include "delivery/outbox.h"
#include "dicom/performed_step.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <mutex>
#include <optional>
#include <vector>

namespace skiascan {

/// One step in the outbox.
struct StepEntry {
    dicom::PerformedStep step; ///< as it stands here
    NodeId node;               ///< the MPPS node it is owed to
    bool created = false;      ///< the node has confirmed its N-CREATE
    QString lastFailure;       ///< why the last try failed; empty before the first
    QDateTime lastTried;
    QDateTime opened;          ///< when it was written ahead
    QString path;              ///< its file

    /// True once its study has ended here: the final N-SET is owed.
    bool ended() const { return dicom::isFinal(step.status); }
    /// True while the node is owed a message of it: the N-CREATE, or the
    /// final N-SET once the step has ended.
    bool owed() const { return !created || ended(); }
    /// True when `mpps`, the MPPS node configured now, is the node it is
    /// owed to: the same AE title (at another address it has moved), or any
    /// node for a step opened while the node had no AE title set.
    bool owedTo(const NodeId& mpps) const { return node.aeTitle.isEmpty() || node.aeTitle == mpps.aeTitle; }
    /// What the outbox window says of it: "step in progress", "step completed,
    /// waiting for RIS", "step discontinued, waiting for RIS".
    QString stateText() const;
    /// "step 261207104205123 of Doe^Jane (PID-1)", for the log.
    QString logName() const;
};

class StepOutbox {
public:
    /// The steps of `outbox` ("steps/" in its folder), which must outlive it;
    /// it tells which images the operator removed.
    explicit StepOutbox(const Outbox& outbox);
    StepOutbox(const StepOutbox&) = delete;
    StepOutbox& operator=(const StepOutbox&) = delete;

    QString folder() const { return m_folder; }

    /// Writes a new step ahead of its sending; fills in its path. Throws
    /// Failure (kind File) when it cannot be written; nothing is left then.
    /// Thread-safe, as is every call below.
    void open(StepEntry& entry);

    /// The steps, oldest first. A file that cannot be read as a step is moved
    /// to steps/damaged/ (and logged); one the disk refuses stays and is
    /// named in `unreadable`.
    std::vector<StepEntry> entries(QStringList* unreadable = nullptr) const;
    /// The steps still in progress; of `studyUid` only when it is given.
    std::vector<StepEntry> inProgress(const QString& studyUid = {}) const;
    int count() const;

    /// Reads the entry anew from its file. False when it is gone.
    bool refresh(StepEntry& entry) const;

    /// Adds a film to a step in progress: its series, unless the step lists
    /// one of its images already. False when nothing was added (the step
    /// lists it, has ended, or is gone). Throws Failure (kind File).
    bool addSeries(StepEntry& entry, const dicom::PerformedSeries& series);

    /// The step's study has ended here at `at`: the step is ended as
    /// finalForm() says. False when it had ended already or is gone. Throws
    /// Failure (kind File).
    bool end(StepEntry& entry, const QDateTime& at);

    /// `step` as its final N-SET reports it now: the images the operator
    /// removed from the outbox left out (a series left without images goes,
    /// unless none keeps any); COMPLETED, or DISCONTINUED with
    /// dicom::imagesRemovedReason() when no image is left.
    dicom::PerformedStep finalForm(const dicom::PerformedStep& step) const;

    /// True while a film of the step waits for the operator's review: the
    /// RIS hears the step's end once every film of it is accepted or rejected.
    bool waitsForReview(const StepEntry& entry) const;

    /// The ended step as it goes now: finalForm() of it, written to its file
    /// first when it changed (an image was removed since it ended). Returns
    /// nothing when the step is gone. Throws Failure (kind File).
    std::optional<dicom::PerformedStep> finalToSend(StepEntry& entry);

    /// Records whether the node holds the step (its N-CREATE confirmed, or
    /// not: the node lost it). False when the step is gone. Throws Failure
    /// (kind File).
    bool noteCreated(StepEntry& entry, bool created);
    /// Notes why the node did not take a message of the step, and when.
    void noteFailure(StepEntry& entry, const QString& failure);
    /// The node has confirmed the final N-SET: the step leaves the outbox.
    void finished(const StepEntry& entry);

    /// Start-up: removes writes a crash cut short.
    void tidy();

    /// A step file's bytes, and back; fromJson() throws Failure (kind
    /// Damaged) for bytes that are no step.
    static QByteArray toJson(const StepEntry& entry);
    static StepEntry fromJson(const QByteArray& bytes);

private:
    // Each of these expects m_lock held.
    void write(const StepEntry& entry);
    bool reread(StepEntry& entry) const;
    std::vector<StepEntry> read(QStringList* unreadable) const;

    const Outbox& m_outbox;
    QString m_folder;
    mutable std::mutex m_lock;
};

} // namespace skiascan
