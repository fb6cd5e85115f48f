#include "delivery/delivery.h"

#include "common/failure.h"
#include "common/program_log.h"

#include <atomic>
#include <thread>

namespace skiascan {

// ----------------------------------------------------------------- progress

DeliveryProgress::DeliveryProgress() = default;
DeliveryProgress::~DeliveryProgress() = default;

std::vector<DeliveryProgress::Row> DeliveryProgress::rows() const
{
    const std::lock_guard lock(m_mutex);
    std::vector<Row> rows = m_rows;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (const dicom::NetworkGuard* guard = m_guards[i]) {
            rows[i].done = guard->bytesDone;
            rows[i].total = guard->bytesExpected;
        }
    }
    return rows;
}

void DeliveryProgress::cancel()
{
    const std::lock_guard lock(m_mutex);
    m_cancelled = true;
    for (dicom::NetworkGuard* guard : m_guards)
        if (guard)
            guard->cancel();
}

bool DeliveryProgress::cancelled() const
{
    const std::lock_guard lock(m_mutex);
    return m_cancelled;
}

int DeliveryProgress::begin(const QString& film, const QString& node, dicom::NetworkGuard* guard)
{
    const std::lock_guard lock(m_mutex);
    m_rows.push_back({film, node, 0, 0, {}});
    m_guards.push_back(guard);
    if (m_cancelled && guard)
        guard->cancel();
    return static_cast<int>(m_rows.size()) - 1;
}

void DeliveryProgress::end(int row, const QString& state)
{
    const std::lock_guard lock(m_mutex);
    Row& r = m_rows[static_cast<std::size_t>(row)];
    if (const dicom::NetworkGuard* guard = m_guards[static_cast<std::size_t>(row)]) {
        r.done = guard->bytesDone;
        r.total = guard->bytesExpected;
    }
    r.state = state;
    m_guards[static_cast<std::size_t>(row)] = nullptr;
}

// ----------------------------------------------------------------- sending

namespace {

QString filmName(const OutboxEntry& entry)
{
    return QStringLiteral("%1 (%2), image %3").arg(entry.patientName, entry.patientId).arg(entry.number);
}

// Sends one image to one node, bounded by a guard of its own.
NodeResult sendTo(dicom::Image& image, const Node& node, const QString& localAETitle,
                  const dicom::NetworkTimeouts& timeouts, const OutboxEntry& entry, DeliveryProgress* progress)
{
    NodeResult result;
    result.node = node;
    if (!node.problem.isEmpty()) {
        result.failure = node.problem;
        result.stopsTheRound = true;
        return result;
    }
    dicom::NetworkGuard guard(timeouts.sendDeadline(image.pixelBytes()));
    const int row = progress ? progress->begin(filmName(entry), node.name(), &guard) : -1;
    try {
        image.send(node.host, node.port, node.aeTitle, localAETitle, timeouts, &guard);
        result.confirmed = true;
    } catch (const Failure& e) {
        result.failure = e.description();
        // A node that refused this one image may take the next; any other
        // failure says the node cannot be reached now.
        result.stopsTheRound = e.kind() != Failure::Kind::Status;
    } catch (const std::exception& e) {
        result.failure = describe(e);
        result.stopsTheRound = true;
    }
    if (progress)
        progress->end(row, result.confirmed ? QStringLiteral("confirmed") : QStringLiteral("failed"));
    programlog::event(result.confirmed
                          ? QStringLiteral("sent image %1 to %2").arg(entry.instanceUid, node.name())
                          : QStringLiteral("sending image %1 to %2 failed: %3").arg(entry.instanceUid, node.name(), result.failure));
    return result;
}

std::vector<OwedNode> owedTo(const std::vector<Node>& nodes)
{
    std::vector<OwedNode> owed;
    for (const Node& node : nodes)
        owed.push_back({node.aeTitle, node.host, node.port, {}, {}});
    return owed;
}

} // namespace

bool FilmDelivery::safe() const
{
    if (kept)
        return true;
    if (noNodeConfigured)
        return false;
    for (const NodeResult& r : results)
        if (!r.confirmed)
            return false;
    return true;
}

std::vector<NodeResult> FilmDelivery::failures() const
{
    std::vector<NodeResult> failed;
    for (const NodeResult& r : results)
        if (!r.confirmed)
            failed.push_back(r);
    return failed;
}

FilmDelivery deliverFilm(const dicom::Image& image, OutboxEntry entry, const std::vector<Node>& nodes,
                         const QString& localAETitle, const dicom::NetworkTimeouts& timeouts, Outbox& outbox,
                         DeliveryProgress* progress)
{
    FilmDelivery delivery;
    delivery.noNodeConfigured = nodes.empty();
    entry.kept = QDateTime::currentDateTime();
    entry.owed = owedTo(nodes);
    entry.anyNode = nodes.empty();

    // Each thread works on a copy of its own, all reading the one pixel buffer.
    dicom::Image forOutbox = image.sharedCopy();
    std::vector<dicom::Image> copies;
    for (std::size_t i = 0; i < nodes.size(); ++i)
        copies.push_back(image.sharedCopy());
    delivery.results.resize(nodes.size());
    // The senders' copy of the entry, made before the writer starts: the writer
    // fills in where the entry lies.
    const OutboxEntry film = entry;

    std::thread writer([&] {
        try {
            outbox.keep(forOutbox, entry);
            delivery.kept = true;
        } catch (const Failure& e) {
            delivery.keepFailure = e.description();
        }
    });
    std::vector<std::thread> senders;
    for (std::size_t i = 0; i < nodes.size(); ++i)
        senders.emplace_back(
            [&, i] { delivery.results[i] = sendTo(copies[i], nodes[i], localAETitle, timeouts, film, progress); });
    writer.join();
    for (std::thread& sender : senders)
        sender.join();

    if (delivery.kept) {
        for (const NodeResult& r : delivery.results) {
            if (!r.confirmed)
                outbox.noteFailure(entry, r.node.aeTitle, r.failure);
        }
        for (const NodeResult& r : delivery.results) {
            if (!r.confirmed)
                continue;
            try {
                if (outbox.strikeOff(entry, r.node.aeTitle))
                    break;
            } catch (const Failure& e) {
                // Still owed in the outbox: sent again by a later round.
                programlog::event(e.description());
            }
        }
    }
    delivery.cancelled = progress && progress->cancelled();
    return delivery;
}

RoundReport runRound(Outbox& outbox, const std::vector<Node>& nodes, const QString& localAETitle,
                     const dicom::NetworkTimeouts& timeouts, DeliveryProgress* progress, const QSet<QString>& skip,
                     const QSet<QString>& only)
{
    RoundReport report;
    std::vector<OutboxEntry> entries = outbox.entries(&report.unreadable);
    for (OutboxEntry& entry : entries) {
        if (entry.anyNode && !nodes.empty()) {
            entry.anyNode = false;
            entry.owed = owedTo(nodes);
            try {
                outbox.save(entry);
            } catch (const Failure& e) {
                report.unreadable << e.description();
            }
        }
        for (const OwedNode& owed : entry.owed)
            if (!nodeWithTitle(nodes, owed.aeTitle))
                ++report.waitingForGone[owed.aeTitle];
    }

    std::mutex mutex; // guards report and `aside`
    QSet<QString> aside;
    std::atomic<int> confirmed{0};
    std::vector<NodeResult> firstFailure(nodes.size());
    std::vector<std::thread> workers;
    for (std::size_t n = 0; n < nodes.size(); ++n) {
        const Node& node = nodes[n];
        if (skip.contains(node.aeTitle))
            continue;
        std::vector<OutboxEntry> queue;
        for (const OutboxEntry& entry : entries)
            if (entry.owedTo(node.aeTitle) && (only.isEmpty() || only.contains(entry.instanceUid)))
                queue.push_back(entry);
        if (queue.empty())
            continue;
        workers.emplace_back([&, n, queue]() mutable {
            for (OutboxEntry& entry : queue) {
                if (progress && progress->cancelled())
                    break;
                dicom::Image image;
                try {
                    {
                        const std::lock_guard lock(mutex);
                        if (aside.contains(entry.instanceUid))
                            continue;
                    }
                    image = outbox.loadImage(entry);
                } catch (const Failure& e) {
                    const std::lock_guard lock(mutex);
                    if (e.kind() == Failure::Kind::Damaged) {
                        // Only what cannot be parsed goes aside; a disk that
                        // cannot be read now may be readable in the next round.
                        if (!aside.contains(entry.instanceUid))
                            outbox.moveAside(entry, e.description());
                        aside.insert(entry.instanceUid);
                    } else {
                        report.unreadable << e.description();
                    }
                    continue;
                }
                const NodeResult result = sendTo(image, nodes[n], localAETitle, timeouts, entry, progress);
                if (result.confirmed) {
                    ++confirmed;
                    try {
                        outbox.strikeOff(entry, nodes[n].aeTitle);
                    } catch (const Failure& e) {
                        const std::lock_guard lock(mutex);
                        report.unreadable << e.description();
                    }
                    continue;
                }
                outbox.noteFailure(entry, nodes[n].aeTitle, result.failure);
                if (firstFailure[n].failure.isEmpty())
                    firstFailure[n] = result;
                if (result.stopsTheRound)
                    break;
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    report.confirmed = confirmed;
    for (const NodeResult& failure : firstFailure)
        if (!failure.failure.isEmpty())
            report.failures.push_back(failure);
    report.cancelled = progress && progress->cancelled();
    return report;
}

} // namespace skiascan
