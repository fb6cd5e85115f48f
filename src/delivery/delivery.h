// Delivery of images to the remote nodes: one image right after its import, and
// rounds through the outbox for what is still owed.
#pragma once

#include "delivery/destinations.h"
#include "delivery/outbox.h"

#include <QString>

#include <set>
#include <vector>

namespace skiascan {

/// Why a node did not take an image.
struct NodeFailure {
    int slot = 0;
    QString description;
    bool unreachable = false; // no association: not worth trying again this round
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
