// Real DICOM peers for the tests, on free loopback ports chosen at run time and
// always stopped: DCMTK's storescp as a process, and a small storage SCP of our
// own (on DCMTK's DcmStorageSCP) that answers any status a test asks for.
#pragma once

#include "support/child_process.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace skiascan::test {

/// A TCP port on 127.0.0.1 that nothing listens on right now.
int freePort();

/// Waits until something accepts connections on 127.0.0.1:port (at most
/// `timeoutMs`). Returns false when nothing did.
bool waitForPort(int port, int timeoutMs = 10000);

/// DCMTK storescp writing what it receives into a folder of its own.
class StoreScp {
public:
    /// `options` are extra storescp options such as "--refuse" or "--sleep-during", "5".
    explicit StoreScp(const QString& aeTitle = QStringLiteral("STORE"), const QStringList& options = {});
    ~StoreScp();

    void start();
    void stop();

    int port() const { return m_port; }
    QString aeTitle() const { return m_aeTitle; }
    QString folder() const { return m_dir.path(); }
    /// The setting "AET|127.0.0.1|port" that names this node.
    QString setting() const;
    /// The files received whole so far (storescp writes a file as it
    /// receives it; one still being written is left out), sorted.
    QStringList received() const;

private:
    QString m_aeTitle;
    QStringList m_options;
    QTemporaryDir m_dir;
    int m_port;
    std::unique_ptr<ChildProcess> m_process;
};

/// A storage SCP on a thread that answers every C-STORE with one status (or
/// refuses associations for an unknown called AE title).
class StatusScp {
public:
    explicit StatusScp(unsigned short status, const QString& aeTitle = QStringLiteral("STATUS"));
    ~StatusScp();

    int port() const { return m_port; }
    QString setting() const;
    int storeRequests() const { return m_requests; }

    struct Server;

private:
    int m_port;
    QString m_aeTitle;
    std::atomic<int> m_requests{0};
    std::atomic<bool> m_stop{false};
    std::unique_ptr<Server> m_server;
    std::thread m_thread;
};

/// A worklist server (on DCMTK's DcmSCP) that ends every C-FIND with `status`,
/// after sending `matches` empty answers.
class FindStatusScp {
public:
    explicit FindStatusScp(unsigned short status, int matches = 0, const QString& aeTitle = QStringLiteral("WLSRV"));
    ~FindStatusScp();
    int port() const { return m_port; }

    struct Server;

private:
    int m_port;
    std::atomic<bool> m_stop{false};
    std::unique_ptr<Server> m_server;
    std::thread m_thread;
};

/// A peer that accepts TCP connections and then says nothing at all, as a hung
/// PACS does, or only `reply`, which need not be DICOM. Counts the connections.
class SilentPeer {
public:
    explicit SilentPeer(const QByteArray& reply = {});
    ~SilentPeer();

    int port() const { return m_port; }
    QString setting(const QString& aeTitle = QStringLiteral("SILENT")) const;
    int connections() const { return m_connections; }
    /// Waits at most `timeoutMs` until it has taken `count` connections; false
    /// when it has not.
    bool waitForConnections(int count, int timeoutMs);

private:
    int m_port;
    int m_listener = -1;
    QByteArray m_reply;
    std::atomic<int> m_connections{0};
    std::mutex m_mutex;
    std::condition_variable m_connected;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

/// A host that never answers a connection request: a port on the loopback
/// interface whose queue of connections is full, so that the kernel drops
/// every further request (as a firewall or a switched-off host does).
class UnansweredHost {
public:
    UnansweredHost();
    ~UnansweredHost();
    int port() const { return m_port; }
    QString setting(const QString& aeTitle) const;

private:
    int m_listener = -1;
    int m_port = 0;
    std::vector<int> m_queued;
};

/// Reports on a storage commitment transaction to the station listening on
/// 127.0.0.1:port, as a node would (N-EVENT-REPORT, event type 1 or 2).
/// Returns the status the station answered, -1 when it refused the
/// association or the exchange failed, or -2 when its answer does not name
/// what it answers (Affected SOP Class and Instance UID, Event Type ID), which
/// a node such as Orthanc takes for a badly formatted answer.
int sendCommitmentReport(int port, const QString& callingAETitle, const QString& calledAETitle,
                         const QString& transactionUid, const QStringList& committed, const QStringList& failed);

} // namespace skiascan::test
