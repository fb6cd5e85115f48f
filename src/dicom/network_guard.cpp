// The guard that bounds a network operation and lets Cancel cut it.

#include "dicom/network.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace skiascan::dicom {

NetworkGuard::NetworkGuard()
    : m_deadline(std::chrono::steady_clock::time_point::max())
    , m_allowed(0)
{
}

NetworkGuard::NetworkGuard(std::chrono::milliseconds deadline)
    : m_deadline(std::chrono::steady_clock::now() + deadline)
    , m_allowed(deadline)
{
    const std::lock_guard lock(m_mutex);
    startWatchdogLocked();
}

NetworkGuard::~NetworkGuard()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_watchdog.joinable())
        m_watchdog.join();
    detach();
}

void NetworkGuard::startWatchdogLocked()
{
    if (!m_watchdog.joinable())
        m_watchdog = std::thread([this] { watch(); });
    m_wake.notify_all();
}

void NetworkGuard::watch()
{
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        const Clock::time_point now = Clock::now();
        if (!m_fired && now >= m_deadline) {
            fireLocked(QStringLiteral("no end within %1 seconds").arg(m_allowed.count() / 1000), Failure::Kind::Limit);
            continue;
        }
        if (!m_fired && now >= m_stageEnd) {
            fireLocked(m_stageReason, m_stageKind);
            continue;
        }
        if (!m_fired && m_stall.count() > 0) {
            if (movedLocked())
                m_lastMoved = now;
            else if (now - m_lastMoved >= m_stall) {
                fireLocked(QStringLiteral("no byte moved for %1 s").arg((m_stall.count() + 999) / 1000),
                           Failure::Kind::Limit);
                continue;
            }
        }
        const Clock::time_point until = std::min(m_deadline, m_stageEnd);
        if (m_fired)
            m_wake.wait(lock);
        else if (m_stall.count() > 0)
            m_wake.wait_until(lock, std::min(until, now + std::chrono::milliseconds(250)));
        else if (until == Clock::time_point::max())
            m_wake.wait(lock);
        else
            m_wake.wait_until(lock, until);
    }
}

void NetworkGuard::limit(std::chrono::milliseconds within, const QString& reason, Failure::Kind kind)
{
    const std::lock_guard lock(m_mutex);
    m_stageEnd = std::chrono::steady_clock::now() + within;
    m_stageReason = reason;
    m_stageKind = kind;
    startWatchdogLocked();
}

void NetworkGuard::unlimit()
{
    const std::lock_guard lock(m_mutex);
    m_stageEnd = std::chrono::steady_clock::time_point::max();
    m_wake.notify_all();
}

bool NetworkGuard::movedLocked()
{
    // What the program handed over, what still waits in the connection's
    // buffer for the peer, and what the peer sent that waits to be read.
    int queued = -1;
    int waiting = -1;
    if (m_socket >= 0) {
        ::ioctl(m_socket, SIOCOUTQ, &queued);
        ::ioctl(m_socket, SIOCINQ, &waiting);
    }
    const qint64 done = bytesDone;
    const bool moved = done != m_seenDone || queued != m_seenQueued || waiting != m_seenWaiting;
    m_seenDone = done;
    m_seenQueued = queued;
    m_seenWaiting = waiting;
    return moved;
}

void NetworkGuard::watchProgress(std::chrono::milliseconds stall)
{
    const std::lock_guard lock(m_mutex);
    m_stall = stall;
    m_lastMoved = std::chrono::steady_clock::now();
    startWatchdogLocked();
}

void NetworkGuard::progress(qint64 done, qint64 total)
{
    bytesExpected = total;
    bytesDone = done;
    if (m_onProgress)
        m_onProgress(done, total);
}

void NetworkGuard::fireLocked(const QString& reason, Failure::Kind kind)
{
    if (m_fired)
        return;
    m_reason = reason;
    m_kind = kind;
    m_fired = true;
    // Every read and write blocked on the connection returns at once.
    if (m_socket >= 0)
        ::shutdown(m_socket, SHUT_RDWR);
    m_wake.notify_all();
}

void NetworkGuard::fire(const QString& reason, Failure::Kind kind)
{
    const std::lock_guard lock(m_mutex);
    fireLocked(reason, kind);
}

void NetworkGuard::cancel()
{
    fire(QStringLiteral("cancelled by the operator"), Failure::Kind::Cancelled);
}

void NetworkGuard::trip(const QString& reason)
{
    fire(reason, Failure::Kind::Limit);
}

QString NetworkGuard::reason() const
{
    const std::lock_guard lock(m_mutex);
    return m_reason;
}

Failure::Kind NetworkGuard::kind() const
{
    const std::lock_guard lock(m_mutex);
    return m_kind;
}

void NetworkGuard::attach(int socket)
{
    const std::lock_guard lock(m_mutex);
    if (m_socket >= 0)
        ::close(m_socket);
    // shutdown() on the duplicate acts on the one socket both numbers refer to.
    m_socket = socket >= 0 ? ::fcntl(socket, F_DUPFD_CLOEXEC, 0) : -1;
    if (m_fired && m_socket >= 0)
        ::shutdown(m_socket, SHUT_RDWR);
}

void NetworkGuard::detach()
{
    const std::lock_guard lock(m_mutex);
    if (m_socket >= 0)
        ::close(m_socket);
    m_socket = -1;
}

} // namespace skiascan::dicom
