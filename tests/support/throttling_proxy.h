// A TCP proxy on a free loopback port in front of a node on 127.0.0.1, for the
// tests and benchmarks that need a remote node behind a slow link: what its
// clients send passes at a set rate, the node's answers at full speed. It can
// also stop passing anything on, as a node that hangs does.
#pragma once

#include <QString>

#include <atomic>
#include <thread>

namespace skiascan::test {

class ThrottlingProxy {
public:
    /// Forwards every connection it takes to 127.0.0.1:targetPort; what the
    /// clients send passes at most `bytesPerSecond` bytes a second, all
    /// connections together.
    ThrottlingProxy(int targetPort, qint64 bytesPerSecond);
    ~ThrottlingProxy();
    ThrottlingProxy(const ThrottlingProxy&) = delete;
    ThrottlingProxy& operator=(const ThrottlingProxy&) = delete;

    int port() const { return m_port; }
    /// The setting "AET|127.0.0.1|port" that names the node behind the proxy.
    QString setting(const QString& aeTitle) const;
    /// The bytes passed on from the clients to the node so far.
    qint64 bytesForwarded() const { return m_forwarded; }
    /// The connections taken so far.
    int connections() const { return m_connections; }
    /// While silent it still takes connections but passes nothing on, either way.
    void setSilent(bool silent);

private:
    void run();

    int m_targetPort;
    qint64 m_rate;
    int m_port = 0;
    int m_listener = -1;
    int m_wake[2] = {-1, -1};
    std::atomic<qint64> m_forwarded{0};
    std::atomic<int> m_connections{0};
    std::atomic<bool> m_silent{false};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace skiascan::test
