// The delivery service's part for the performed procedure steps: the MPPS
// node's worker, made and replaced with the settings, and its events, posted
// to the service's thread with the workers' own.

#include "delivery/delivery_service.h"

#include "common/program_log.h"

namespace skiascan {

namespace {

bool sameStepNode(const std::optional<Node>& one, const std::optional<Node>& other)
{
    if (!one || !other)
        return !one && !other;
    return one->id() == other->id() && one->problem == other->problem && one->options.tls == other->options.tls;
}

} // namespace

// A worker is made with everything it needs and never changed: new settings
// get a new worker (the old one's association is cut, the step stays owed).
void DeliveryService::configureSteps(const std::optional<Node>& stepNode, bool again)
{
    if (!again && m_stepWorker && sameStepNode(stepNode, m_stepNode))
        return;
    m_stepNode = stepNode;
    if (m_stepWorker) {
        m_stepWorker->halt(QStringLiteral("MPPS: the settings of %1 changed; its association is cut and starts again"));
        m_stepWorker.reset(); // joins it
    }
    m_stepStatus = {};
    m_stepServed = 0;
    if (!stepNode)
        return;
    const quint64 id = ++m_stepWorkerId;
    m_stepStatus.node = *stepNode;
    StepWorker::Setup setup{*stepNode, m_localAETitle, m_timeouts, m_timing.pauses};
    StepWorker::Listener listener;
    listener.status = [this, id](const NodeStatus& status, quint64 served) {
        post({Event::Kind::StepStatus, id, status, served, {}, {}});
    };
    listener.outboxChanged = [this] { post({Event::Kind::OutboxChanged, 0, {}, 0, {}, {}}); };
    programlog::event(stepNode->options.tls.enabled
                          ? QStringLiteral("MPPS: performed procedure steps go to %1 over TLS, trusting the authorities in %2")
                                .arg(stepNode->name(), stepNode->options.tls.trustedCertificates)
                          : QStringLiteral("MPPS: performed procedure steps go to %1 in clear text").arg(stepNode->name()));
    m_stepWorker = std::make_unique<StepWorker>(m_steps, std::move(setup), std::move(listener));
}

std::optional<NodeStatus> DeliveryService::stepStatus() const
{
    if (!m_stepWorker)
        return std::nullopt;
    return m_stepStatus;
}

void DeliveryService::stepsChanged()
{
    if (m_stepWorker)
        m_stepWorker->wake();
    emit outboxChanged();
}

} // namespace skiascan
