// Storage commitment requests: which images a node stored and has not yet
// committed to, when each is to be asked about, and the N-ACTION batches that
// ask. The reports come back through commitment_reports.h.
#pragma once

#include "delivery/outbox.h"

#include <QDateTime>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

namespace skiascan {

namespace dicom {
class NetworkGuard;
class StoreAssociation;
struct NetworkTimeouts;
} // namespace dicom

/// The images a node stored and has not yet committed to.
struct Awaiting {
    int count = 0;
    QDateTime since;               ///< when the oldest was stored
    bool due = false;              ///< one is to be asked about now
    std::optional<QDateTime> next; ///< else when the first is
};

/// What `entries` await of `self` (one of `all`), with a node silent for
/// `wait` on a request asked again.
Awaiting awaitingAt(const std::vector<OutboxEntry>& entries, const Node& self, const std::vector<Node>& all,
                    std::chrono::milliseconds wait);

/// Asks `self` to commit to every image it stored whose request is due (new
/// ones, and those it was silent on for `wait`), in batches, each under a new
/// transaction. Each image's entry names the transaction before the request
/// goes, so that a report after a restart is honoured. On `association` when
/// the node accepted commitment there, else on an association of its own,
/// whose guard is handed to `current` while it lasts (so that Cancel and a
/// stop can cut it). Throws Failure when a request does not go.
void askForCommitment(Outbox& outbox, const Node& self, const std::vector<Node>& all, const QString& calling,
                      const dicom::NetworkTimeouts& timeouts, std::chrono::milliseconds wait,
                      dicom::StoreAssociation& association, const std::function<void(dicom::NetworkGuard*)>& current);

} // namespace skiascan
