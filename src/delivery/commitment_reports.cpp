#include "delivery/commitment_reports.h"

#include "common/failure.h"
#include "common/program_log.h"

#include <QScopeGuard>

#include <optional>

namespace skiascan {

namespace {

// How the nodes' reports come: over TLS when every node asked for commitment
// is reached over TLS, showing the certificate and trusting the authorities
// set for the first of them; else in clear text, and `unheard` names the TLS
// nodes whose reports then cannot arrive.
TlsSettings reportsTls(const std::vector<Node>& nodes, QStringList* unheard = nullptr)
{
    std::optional<TlsSettings> tls;
    QStringList secure;
    bool clear = false;
    for (const Node& node : nodes) {
        if (!node.options.storageCommitment)
            continue;
        if (!node.options.tls.enabled) {
            clear = true;
            continue;
        }
        secure << node.name();
        if (!tls)
            tls = node.options.tls;
    }
    if (clear && tls) {
        if (unheard)
            *unheard = secure;
        return {};
    }
    return tls.value_or(TlsSettings{});
}

} // namespace

CommitmentReports::CommitmentReports(Outbox& outbox, std::function<void(const NodeId&)> reported)
    : m_outbox(outbox)
    , m_reported(std::move(reported))
{
}

CommitmentReports::~CommitmentReports()
{
    stop();
}

void CommitmentReports::configure(const std::vector<Node>& nodes, const QString& localAETitle,
                                  const dicom::NetworkTimeouts& timeouts, quint16 port)
{
    {
        const std::lock_guard lock(m_nodesLock);
        m_nodes = nodes;
    }
    QStringList unheard;
    const TlsSettings tls = reportsTls(nodes, &unheard);
    const bool restart = port != m_port || localAETitle != m_localAETitle || !(tls == m_tls)
        || timeouts.acseSeconds != m_timeouts.acseSeconds || timeouts.dimseSeconds != m_timeouts.dimseSeconds;
    m_localAETitle = localAETitle;
    m_timeouts = timeouts;
    if (!restart && (port == 0 || m_listener))
        return;
    if (port != 0 && !unheard.isEmpty())
        programlog::event(QStringLiteral("commitment: %1 reached over TLS, but the station takes the reports in clear "
                                         "text for the other nodes asked for commitment; reports over TLS cannot arrive")
                              .arg(unheard.join(QStringLiteral(", "))));
    m_port = port;
    m_tls = tls;
    listen();
}

bool CommitmentReports::retry()
{
    if (waitingForPort())
        listen();
    return m_listener != nullptr;
}

void CommitmentReports::stop()
{
    m_listener.reset();
    m_port = 0;
}

quint16 CommitmentReports::listening() const
{
    return m_listener ? m_listener->port() : 0;
}

// Takes the reports on the port from now on, in place of the listener so far.
void CommitmentReports::listen()
{
    m_listener.reset();
    if (m_port == 0) {
        m_problem.clear();
        return;
    }
    const auto accept = [this](const QString& caller, const QString& address) {
        // Matched outside the lock: a node named by host name is looked up,
        // and a slow name server must not hold the window's settings change.
        std::vector<Node> nodes;
        {
            const std::lock_guard lock(m_nodesLock);
            nodes = m_nodes;
        }
        return nodeCalling(nodes, caller, address) != nullptr;
    };
    try {
        m_listener = std::make_unique<dicom::CommitmentListener>(
            m_port, m_localAETitle, m_timeouts, dicom::ListenerLimits{}, accept,
            [this](const dicom::CommitmentReport& report) { apply(report); }, m_tls);
        m_problem.clear();
    } catch (const Failure& e) {
        // Logged once; tried again now and then, as another program may let
        // go of the port.
        if (e.description() != m_problem)
            programlog::event(QStringLiteral("commitment: %1; tried again every 30 s").arg(e.description()));
        m_problem = e.description();
    }
}

// On the listener's thread: the report goes into the outbox, for the node
// that sent it (its AE title and its address).
void CommitmentReports::apply(const dicom::CommitmentReport& report)
{
    ++m_applying;
    const auto applied = qScopeGuard([this] { --m_applying; });
    std::vector<Node> nodes;
    {
        const std::lock_guard lock(m_nodesLock);
        nodes = m_nodes;
    }
    const Node* reporter = nodeCalling(nodes, report.callingAETitle, report.address);
    const Outbox::ReportOutcome outcome = reporter
        ? m_outbox.applyReport(*reporter, nodes, report.transactionUid, report.committed, report.failed)
        : Outbox::ReportOutcome{};
    if (outcome.committed == 0 && outcome.failed == 0) {
        programlog::event(QStringLiteral("commitment: %1 at %2 reported on transaction %3, which no image in the "
                                         "outbox awaits of it (%4 committed, %5 failed); answered all the same")
                              .arg(report.callingAETitle, report.address, report.transactionUid)
                              .arg(report.committed.size())
                              .arg(report.failed.size()));
        return;
    }
    programlog::event(QStringLiteral("commitment: %1 committed to %2 image(s) of transaction %3; %4 failed and go again")
                          .arg(reporter->name())
                          .arg(outcome.committed)
                          .arg(report.transactionUid)
                          .arg(outcome.failed));
    m_reported(reporter->id());
}

QString CommitmentReports::problemFor(const Node& node) const
{
    if (!node.options.storageCommitment)
        return {};
    if (!m_listener)
        return m_port == 0 ? QStringLiteral("no local IP-port is set for them (preferences, More..., This Station)")
                           : m_problem;
    if (node.options.tls.enabled && !m_tls.enabled)
        return QStringLiteral("it reports over TLS, and port %1 takes clear text for the other nodes asked for "
                              "commitment")
            .arg(m_port);
    return {};
}

} // namespace skiascan
