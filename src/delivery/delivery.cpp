#include "delivery/delivery.h"

#include "common/failure.h"

#include <algorithm>

namespace skiascan {

namespace {

// Sends to one node; a failure becomes a NodeFailure.
bool sendTo(dicom::Image& image, int slot, const QString& setting, const QString& localAETitle,
            std::vector<NodeFailure>& failures)
{
    try {
        const Destination node = parseDestination(slot, setting);
        image.send(node.host, node.port, node.aeTitle, localAETitle);
        return true;
    } catch (const Failure& e) {
        const bool unreachable = e.kind() == Failure::Kind::Unreachable || e.kind() == Failure::Kind::Rejected;
        failures.push_back({slot, e.description(), unreachable});
        return false;
    }
}

} // namespace

DeliveryReport deliverImage(dicom::Image& image, const RemoteSettings& remotes, const QString& localAETitle,
                            Outbox& outbox)
{
    DeliveryReport report;
    const std::vector<int> nodeSlots = configuredSlots(remotes);
    report.noNodeConfigured = nodeSlots.empty();
    std::vector<int> owed;
    for (int slot : nodeSlots)
        if (!sendTo(image, slot, remotes[static_cast<std::size_t>(slot)], localAETitle, report.failures))
            owed.push_back(slot);
    if (owed.empty() && !report.noNodeConfigured)
        return report;
    try {
        outbox.add(image, owed);
        report.kept = true;
    } catch (const Failure& e) {
        report.keepFailure = e.description();
    }
    return report;
}

OutboxRound resendOutbox(Outbox& outbox, const RemoteSettings& remotes, const QString& localAETitle,
                         std::set<int> unreachable)
{
    OutboxRound round;
    const std::vector<int> configured = configuredSlots(remotes);
    for (Outbox::Entry entry : outbox.entries()) {
        try {
            if (entry.anyNode) {
                if (configured.empty())
                    continue;
                outbox.assign(entry, configured);
            }
            std::vector<int> due;
            for (int slot : entry.owed)
                if (std::find(configured.begin(), configured.end(), slot) != configured.end() && !unreachable.count(slot))
                    due.push_back(slot);
            if (due.empty())
                continue;
            dicom::Image image;
            try {
                image = dicom::Image::loadFile(entry.path);
            } catch (const Failure&) {
                outbox.moveAside(entry);
                continue;
            }
            for (int slot : due) {
                std::vector<NodeFailure> failures;
                if (sendTo(image, slot, remotes[static_cast<std::size_t>(slot)], localAETitle, failures)) {
                    outbox.strikeOff(entry, slot);
                    ++round.delivered;
                    continue;
                }
                if (failures.front().unreachable)
                    unreachable.insert(slot);
                round.failures.push_back(failures.front());
            }
        } catch (const Failure& e) {
            // The outbox folder itself misbehaves (a rename failed): stop here and
            // keep everything as it is for the next round.
            round.failures.push_back({-1, e.description(), false});
            break;
        }
    }
    return round;
}

} // namespace skiascan
