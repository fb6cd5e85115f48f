// What a delivery worker's thread and its owner's thread share: the wakes, the
// end of the program, the operator's cut and the guard of the association
// under way, all under one mutex. A node's worker and the MPPS node's worker
// are each one of these with a thread and a pass of their own.
#pragma once

#include "common/program_log.h"
#include "delivery/destinations.h"
#include "dicom/network.h"

#include <QString>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace skiascan {

class WorkerControl {
public:
    using Clock = std::chrono::steady_clock;

    WorkerControl(const WorkerControl&) = delete;
    WorkerControl& operator=(const WorkerControl&) = delete;

    /// The node the worker sends to.
    virtual const Node& node() const = 0;
    /// How many wakes it has had so far; a status report's `served` reaches
    /// this number once it has done all they asked.
    quint64 wakes() const { return m_wakes.load(); }

    // Called from the owner's thread.

    /// Cuts the association under way within a second; the node is tried again
    /// after the first pause. False when nothing was under way.
    bool cancel()
    {
        const std::lock_guard lock(m_mutex);
        if (!m_guard)
            return false;
        m_cancelled = true;
        m_guard->cancel();
        programlog::event(QStringLiteral("%1: sending to %2 cancelled by the operator").arg(m_logName, node().name()));
        return true;
    }
    /// The program ends: the worker finishes what it was woken for, then ends.
    void finishAndEnd()
    {
        const std::lock_guard lock(m_mutex);
        m_ending = true;
        m_wake.notify_all();
    }
    /// Waits until the worker has ended, at most until `deadline`.
    bool waitUntilEnded(Clock::time_point deadline)
    {
        std::unique_lock lock(m_mutex);
        return m_wake.wait_until(lock, deadline, [this] { return m_ended; });
    }
    /// Ends now: the association under way is cut (logged as `why`, where %1
    /// names the node); what it sent stays owed. Returns at once; the
    /// destructor joins.
    void halt(const QString& why)
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
        if (m_guard) {
            m_guard->cancel();
            programlog::event(why.arg(node().name()));
        }
        m_wake.notify_all();
    }

protected:
    /// `logName` begins the worker's log lines ("delivery", "MPPS").
    explicit WorkerControl(QString logName)
        : m_logName(std::move(logName))
    {
    }
    virtual ~WorkerControl() = default;

    /// Ends now without a word: for the destructor, before it joins.
    void stopNow()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
            if (m_guard)
                m_guard->cancel();
        }
        m_wake.notify_all();
    }
    /// The guard of the association under way (nullptr: none). A worker that
    /// is stopping cuts a new one at once.
    void setGuard(dicom::NetworkGuard* guard)
    {
        const std::lock_guard lock(m_mutex);
        m_guard = guard;
        if (guard) {
            m_cancelled = false;
            if (m_stop)
                guard->cancel();
        }
    }
    /// The pause after `step` + 1 failures in a row.
    static std::chrono::milliseconds pauseAfter(const std::vector<std::chrono::milliseconds>& pauses, int step)
    {
        return pauses.empty() ? std::chrono::seconds(10)
                              : pauses[std::min<std::size_t>(static_cast<std::size_t>(step), pauses.size() - 1)];
    }

    std::atomic<quint64> m_wakes{0};

    // What the owner's thread and the worker's share, under m_mutex.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_woken = false;     // look at what is owed
    bool m_now = false;       // try at once, whatever the pause
    bool m_ending = false;    // the program ends: end once nothing is left to do
    bool m_stop = false;      // end now: nothing more is written
    bool m_ended = false;     // the thread is done
    bool m_cancelled = false; // the operator cut the association under way
    dicom::NetworkGuard* m_guard = nullptr; // of the association under way

private:
    const QString m_logName;
};

} // namespace skiascan
