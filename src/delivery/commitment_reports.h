// The storage commitment reports of the nodes: the listener on the station's
// port, which takes them from the configured nodes only, and what a report
// changes in the outbox. The node that reported is told to its owner at once,
// so that its worker looks at the outbox again.
#pragma once

#include "common/peer_options.h"
#include "delivery/outbox.h"
#include "dicom/commitment.h"

#include <QStringList>

#include <atomic>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

namespace skiascan {

class CommitmentReports {
public:
    /// `reported` is called on the listener's thread after a report of the
    /// configured node `node` changed the outbox. `outbox` must outlive this.
    CommitmentReports(Outbox& outbox, std::function<void(const NodeId& node)> reported);
    /// stop().
    ~CommitmentReports();
    CommitmentReports(const CommitmentReports&) = delete;
    CommitmentReports& operator=(const CommitmentReports&) = delete;

    /// The nodes, the station's AE title and timeouts, and the port reports
    /// come to (0: none). The listener starts, or starts anew when what it
    /// needs changed. A node reached over TLS reports over TLS, so the port
    /// takes TLS only when every node asked for commitment is reached over
    /// TLS; one port cannot take both, and with some in clear text the TLS
    /// nodes' reports cannot arrive (logged once here, and problemFor()).
    void configure(const std::vector<Node>& nodes, const QString& localAETitle, const dicom::NetworkTimeouts& timeouts,
                   quint16 port);
    /// Tries again to open the port when another program held it. True when
    /// the listener now runs.
    bool retry();
    /// True when the port is set but could not be opened.
    bool waitingForPort() const { return m_port != 0 && !m_listener; }
    /// Stops the listener; a report under way is cut.
    void stop();

    /// The port the station takes reports on; 0 when it takes none.
    quint16 listening() const;
    /// Why the reports of `node` cannot arrive now; empty when they can (or
    /// it is not asked for commitment).
    QString problemFor(const Node& node) const;
    /// True while a report is being applied and its node not yet told.
    bool applying() const { return m_applying.load() > 0; }

private:
    void listen();
    void apply(const dicom::CommitmentReport& report);

    Outbox& m_outbox;
    std::function<void(const NodeId&)> m_reported;
    mutable std::mutex m_nodesLock; // the listener's thread reads m_nodes
    std::vector<Node> m_nodes;
    QString m_localAETitle;
    dicom::NetworkTimeouts m_timeouts;
    quint16 m_port = 0;
    TlsSettings m_tls;
    QString m_problem; // why the port could not be opened
    std::atomic<int> m_applying{0};
    std::unique_ptr<dicom::CommitmentListener> m_listener;
};

} // namespace skiascan
