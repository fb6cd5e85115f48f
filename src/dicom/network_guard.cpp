// The watchdog that bounds a network operation as a whole.

#include "dicom/network.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace skiascan::dicom {

std::chrono::milliseconds NetworkTimeouts::sendDeadline(qint64 bytes) const
{
    const qint64 rate = sendBytesPerSecond > 0 ? sendBytesPerSecond : 1;
    return std::chrono::milliseconds(qint64(sendBaseSeconds) * 1000 + bytes * 1000 / rate);
}

NetworkGuard::NetworkGuard(std::chrono::milliseconds deadline)
    : m_deadline(std::chrono::steady_clock::now() + deadline)
    , m_allowed(deadline)
{
    m_watchdog = std::thread([this] { watch(); });
}

NetworkGuard::~NetworkGuard()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_watchdog.join();
    detach();
}

void NetworkGuard::watch()
{
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        if (!m_fired && std::chrono::steady_clock::now() >= m_deadline) {
            fireLocked(QStringLiteral("no end within %1 seconds").arg(m_allowed.count() / 1000), Failure::Kind::Limit);
            continue;
        }
        if (m_fired)
            m_wake.wait(lock);
        else
            m_wake.wait_until(lock, m_deadline);
    }
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
