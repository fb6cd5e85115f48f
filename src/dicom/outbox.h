// Delivery of images to the remote nodes, and the outbox that keeps every image
// some node has not yet confirmed, so that no film is ever lost.
//
// An outbox entry is one DICOM file in "Outbox/" of the program folder. Its name
// says when it was kept, which image it is and which nodes (nodeSlots 0 to 2) still
// owe a confirmation: "20261207101530123-2.25.123...-n02.dcm". An image kept
// while no node was configured at all owes "any" node configured later. Striking
// a node off renames the file; the last one deletes it. Every change is one
// rename, so a crash leaves either the old or the new state.
#pragma once

#include "dicom/dicom_toolkit.h"

#include <QString>

#include <array>
#include <set>
#include <vector>

namespace skiascan {

using RemoteSettings = std::array<QString, 3>; // Remote0, Remote1, Remote2

/// A remote node from its setting "AET|address|port".
struct Destination {
    int slot = 0;
    QString aeTitle;
    QString host;
    qint32 port = 0;
    QString name() const { return dicom::nodeName(aeTitle, host, port); }
};

/// The nodeSlots whose setting is longer than 2 characters (so "||" is no node).
std::vector<int> configuredSlots(const RemoteSettings& remotes);

/// Parses the setting of a slot. Throws dicom::DicomError when it has fewer than
/// three fields or its port is not a number; fields after the third are ignored.
Destination parseDestination(int slot, const QString& setting);

/// Why a node did not take an image.
struct NodeFailure {
    int slot = 0;
    QString description;
    bool unreachable = false; // no association: not worth trying again this round
};

class Outbox {
public:
    struct Entry {
        QString path;
        QString sopInstanceUid;
        std::vector<int> owed; // nodeSlots still owing a confirmation
        bool anyNode = false;  // kept while no node was configured
    };

    /// The outbox of a program folder ("Outbox/" in it, created when needed).
    explicit Outbox(const QString& programFolder);

    QString folder() const { return m_folder; }

    /// Keeps an image for the given nodeSlots (none: any node configured later).
    /// Written to a temporary name, flushed to disk, then renamed into place.
    /// Throws dicom::DicomError when it cannot be written; nothing is left behind.
    void add(dicom::Image& image, const std::vector<int>& owed);

    /// The entries, oldest first. Files whose names are not entries are skipped.
    std::vector<Entry> entries() const;
    int count() const;

    /// Records that `slot` has confirmed the image: renames the entry, or deletes
    /// it when no node is owed any more. Updates `entry`.
    void strikeOff(Entry& entry, int slot);

    /// Turns an "any node" entry into one owing the given nodeSlots.
    void assign(Entry& entry, const std::vector<int>& nodeSlots);

    /// Moves an entry that cannot be read to "Outbox/damaged/". Never deletes it.
    void moveAside(const Entry& entry);

    /// The name of an entry file for these values, and back. parseName() returns
    /// false for a name that is not an entry's.
    static QString entryName(const QString& keptAt, const QString& sopInstanceUid, const std::vector<int>& owed, bool anyNode);
    static bool parseName(const QString& name, Entry& entry);

private:
    void renameEntry(Entry& entry, const std::vector<int>& owed, bool anyNode);

    QString m_folder;
};

/// What became of one image's delivery.
struct DeliveryReport {
    std::vector<NodeFailure> failures; // in slot order
    bool noNodeConfigured = false;
    bool kept = false;      // written to the outbox
    QString keepFailure;    // why it could not be kept, when it had to be
    /// True when the scanned file may go: every configured node confirmed the
    /// image, or the outbox holds it for the rest.
    bool safe() const { return kept || (failures.empty() && !noNodeConfigured); }
};

/// Sends the image to every configured node, one association each, in slot
/// order, with `localAETitle` as calling AE title. Whatever a node did not
/// confirm (and everything when no node is configured) goes to the outbox.
DeliveryReport deliverImage(dicom::Image& image, const RemoteSettings& remotes, const QString& localAETitle,
                            Outbox& outbox);

/// What one round through the outbox achieved.
struct OutboxRound {
    int delivered = 0; // confirmations received
    std::vector<NodeFailure> failures;
};

/// Sends the outbox again, oldest image first, each to the nodes it still owes,
/// with their current settings. A node in `unreachable`, or one that cannot be
/// reached during the round, is not tried again in this round. A node that is no
/// longer configured keeps its images waiting. Unreadable entries are moved aside.
OutboxRound resendOutbox(Outbox& outbox, const RemoteSettings& remotes, const QString& localAETitle,
                         std::set<int> unreachable = {});

} // namespace skiascan
