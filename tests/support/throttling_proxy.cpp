#include "support/throttling_proxy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace skiascan::test {

namespace {

constexpr size_t kBufferBytes = 16 * 1024;

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// A non-blocking connection to 127.0.0.1:port, or -1 when none is made within
// a second (a connection on the loopback is made at once or refused).
int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return fd;
    int error = errno;
    socklen_t length = sizeof error;
    pollfd p{fd, POLLOUT, 0};
    if (error == EINPROGRESS && ::poll(&p, 1, 1000) == 1)
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error == 0)
        return fd;
    ::close(fd);
    return -1;
}

// Ends the proxy's wait in poll() at once. A full pipe has done so already.
void wake(int fd)
{
    if (::write(fd, "x", 1) < 0 && errno != EAGAIN)
        ADD_FAILURE() << "the proxy could not be woken";
}

// One way through a connection: what was read from `from` and not yet written
// to `to`.
struct Direction {
    int from;
    int to;
    bool throttled;
    std::vector<char> pending{};
    size_t written = 0;
    bool ended = false; // `from` closed its side, and the proxy its side towards `to`
};

struct Link {
    Direction up;   // client to node, throttled
    Direction down; // node to client
};

bool wantsToRead(const Direction& d)
{
    return !d.ended && d.pending.empty();
}

// Writes what it can of what is pending, without blocking. False when the
// receiver failed.
bool flush(Direction& d, std::atomic<qint64>& forwarded)
{
    if (d.pending.empty())
        return true;
    const ssize_t n = ::send(d.to, d.pending.data() + d.written, d.pending.size() - d.written, MSG_NOSIGNAL);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK;
    d.written += static_cast<size_t>(n);
    if (d.throttled)
        forwarded += n;
    if (d.written == d.pending.size()) {
        d.pending.clear();
        d.written = 0;
    }
    return true;
}

// Passes on one way what it can without blocking: what is pending, then, once
// all of it is written, what the sender has sent since (on the throttled way
// no more than the tokens allow). False when a side failed.
bool pump(Direction& d, double& tokens, std::atomic<qint64>& forwarded)
{
    if (!flush(d, forwarded))
        return false;
    const size_t allowance = d.throttled ? static_cast<size_t>(std::min<double>(tokens, kBufferBytes)) : kBufferBytes;
    if (!wantsToRead(d) || allowance == 0)
        return true;
    d.pending.resize(allowance);
    const ssize_t n = ::recv(d.from, d.pending.data(), allowance, 0);
    const int error = errno;
    d.pending.resize(n > 0 ? static_cast<size_t>(n) : 0);
    if (n < 0)
        return error == EAGAIN || error == EWOULDBLOCK;
    if (n == 0) {
        // The sender closed its side: so does the proxy towards the receiver.
        d.ended = true;
        ::shutdown(d.to, SHUT_WR);
        return true;
    }
    if (d.throttled)
        tokens -= static_cast<double>(n);
    return flush(d, forwarded);
}

} // namespace

ThrottlingProxy::ThrottlingProxy(int targetPort, qint64 bytesPerSecond)
    : m_targetPort(targetPort)
    , m_rate(bytesPerSecond)
{
    EXPECT_EQ(::pipe2(m_wake, O_NONBLOCK | O_CLOEXEC), 0);
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    // A small receive window, inherited by every accepted connection: the
    // sender's data is taken (and acknowledged) at the link's pace, as over a
    // slow line, instead of vanishing at once into a large loopback buffer.
    const int window = 16 * 1024;
    ::setsockopt(m_listener, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    ::listen(m_listener, 16);
    m_thread = std::thread([this] { run(); });
}

ThrottlingProxy::~ThrottlingProxy()
{
    m_stop = true;
    wake(m_wake[1]);
    m_thread.join();
    ::close(m_listener);
    ::close(m_wake[0]);
    ::close(m_wake[1]);
}

QString ThrottlingProxy::setting(const QString& aeTitle) const
{
    return QStringLiteral("%1|127.0.0.1|%2").arg(aeTitle).arg(m_port);
}

void ThrottlingProxy::setSilent(bool silent)
{
    m_silent = silent;
    wake(m_wake[1]);
}

// One loop for all connections: it waits in poll() for what each one can do
// now, then moves the bytes of each without blocking.
void ThrottlingProxy::run()
{
    using Clock = std::chrono::steady_clock;
    // A bucket of a twentieth of a second's bytes, filled all the time: the
    // bytes pass in small pieces at an even pace, never in a burst.
    const double bucket = std::max(1.0, static_cast<double>(m_rate) / 20);
    double tokens = bucket;
    auto filled = Clock::now();
    std::vector<Link> links;
    while (!m_stop) {
        const auto now = Clock::now();
        tokens = std::min(bucket, tokens + std::chrono::duration<double>(now - filled).count() * m_rate);
        filled = now;
        const bool silent = m_silent;
        std::vector<pollfd> fds{{m_wake[0], POLLIN, 0}, {m_listener, POLLIN, 0}};
        bool starved = false;
        for (const Link& link : links) {
            if (silent)
                break;
            const bool clientReads = wantsToRead(link.up) && tokens >= 1;
            starved = starved || (wantsToRead(link.up) && !clientReads);
            const short client = (clientReads ? POLLIN : 0) | (link.down.pending.empty() ? 0 : POLLOUT);
            const short target = (wantsToRead(link.down) ? POLLIN : 0) | (link.up.pending.empty() ? 0 : POLLOUT);
            if (client)
                fds.push_back({link.up.from, client, 0});
            if (target)
                fds.push_back({link.up.to, target, 0});
        }
        // Short waits while a client waits for tokens; the wake pipe ends any wait.
        ::poll(fds.data(), fds.size(), starved ? 10 : 50);
        char drained[64];
        if ((fds[0].revents & POLLIN) && ::read(m_wake[0], drained, sizeof drained) < 0)
            ADD_FAILURE() << "the proxy's wake pipe failed";
        if (fds[1].revents & POLLIN) {
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK);
            if (client >= 0) {
                ++m_connections;
                const int target = connectTo(m_targetPort);
                if (target < 0)
                    ::close(client);
                else
                    links.push_back({{client, target, true}, {target, client, false}});
            }
        }
        if (silent)
            continue;
        std::erase_if(links, [&](Link& link) {
            const bool ok = pump(link.up, tokens, m_forwarded) && pump(link.down, tokens, m_forwarded);
            if (ok && !(link.up.ended && link.down.ended))
                return false;
            // A side failed, or both have closed theirs: the proxy closes both.
            ::close(link.up.from);
            ::close(link.up.to);
            return true;
        });
    }
    for (const Link& link : links) {
        ::close(link.up.from);
        ::close(link.up.to);
    }
}

} // namespace skiascan::test
