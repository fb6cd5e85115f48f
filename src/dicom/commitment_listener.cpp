// The listener for storage commitment reports (DICOM PS3.4 J.3.3): a node
// that was asked to commit reports on an association it opens to the station.

#include "dicom/dcmtk_internal.h"

#include "common/program_log.h"

#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/dcmnet/dulstruc.h>
#include <dcmtk/dcmtls/tlslayer.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include <sys/socket.h>

namespace skiascan::dicom {

namespace {

// The failure status of a report's answer (PS3.7 10.1.1.1.8).
constexpr Uint16 kProcessingFailure = 0x0110;

} // namespace

namespace {

// The listener's catcher: it keeps the socket of the connection accepted last,
// so that the association's guard can cut it, and a stop can cut a peer that
// connected and says nothing.
class AcceptedSockets : public SocketCatcher {
public:
    void caught(int socket) override
    {
        keepFromChildProcesses(socket);
        const std::lock_guard lock(m_mutex);
        m_socket = socket;
        if (m_cut)
            ::shutdown(m_socket, SHUT_RDWR);
    }

    /// The connection accepted last, forgotten here; -1 when none.
    int take()
    {
        const std::lock_guard lock(m_mutex);
        return std::exchange(m_socket, -1);
    }

    /// Cuts the connection that is being accepted, and every one after it.
    void cut()
    {
        const std::lock_guard lock(m_mutex);
        m_cut = true;
        if (m_socket >= 0)
            ::shutdown(m_socket, SHUT_RDWR);
    }

private:
    std::mutex m_mutex;
    int m_socket = -1; // until the association is served or dropped
    bool m_cut = false;
};

} // namespace

struct CommitmentListener::Impl {
    quint16 port = 0;
    QString localAETitle;
    NetworkTimeouts timeouts;
    ListenerLimits limits;
    Acceptor accept;
    ReportHandler onReport;
    T_ASC_Network* network = nullptr;
    AcceptedSockets sockets;
    std::unique_ptr<DcmTransportLayer> layer;
    bool secure = false;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    NetworkGuard* guard = nullptr; // of the association under way, cut on stop
    std::thread thread;

    void run();
    void serve(T_ASC_Association* association);
    bool negotiate(T_ASC_Association* association);
    Uint16 report(T_ASC_Association* association, T_ASC_PresentationContextID context,
                  const T_DIMSE_N_EventReportRQ& request, NetworkGuard& guard, const QString& caller,
                  const QString& address);
};

namespace {

// Counts a report's bytes while it arrives and trips the guard past the limit,
// before DCMTK has it all in memory.
struct ReportBudget {
    NetworkGuard* guard;
    qint64 limit;
};

void onReportProgress(void* data, unsigned long bytes)
{
    auto* budget = static_cast<ReportBudget*>(data);
    if (static_cast<qint64>(bytes) > budget->limit)
        budget->guard->trip(QStringLiteral("the report has more than %1 MB").arg(budget->limit / (1024 * 1024)));
}

std::vector<QString> referencedInstances(DcmItem& report, const DcmTagKey& sequence)
{
    std::vector<QString> uids;
    DcmSequenceOfItems* items = nullptr;
    if (report.findAndGetSequence(sequence, items).bad() || !items)
        return uids;
    for (unsigned long i = 0; i < items->card(); ++i) {
        OFString uid;
        if (items->getItem(i)->findAndGetOFString(DCM_ReferencedSOPInstanceUID, uid).good() && !uid.empty())
            uids.push_back(QString::fromLatin1(uid.c_str()));
    }
    return uids;
}

} // namespace

CommitmentListener::CommitmentListener(quint16 port, const QString& localAETitle, const NetworkTimeouts& timeouts,
                                       const ListenerLimits& limits, Acceptor accept, ReportHandler onReport,
                                       const TlsSettings& tls)
    : m_impl(std::make_unique<Impl>())
{
    ensureToolkitReady();
    prepareNetworking();
    // The caller's numeric address is what the nodes are checked against; a
    // reverse lookup would only cost time.
    dcmDisableGethostbyaddr.set(OFTrue);
    Impl& impl = *m_impl;
    impl.port = port;
    impl.localAETitle = localAETitle;
    impl.timeouts = timeouts;
    impl.limits = limits;
    impl.accept = std::move(accept);
    impl.onReport = std::move(onReport);
    impl.layer = makeTransport(NET_ACCEPTOR, tls, QStringLiteral("the nodes reporting on port %1").arg(port),
                               impl.sockets);
    impl.secure = tls.enabled;
    const OFCondition c = ASC_initializeNetwork(NET_ACCEPTOR, port, timeouts.acseSeconds, &impl.network);
    if (c.bad())
        throw Failure(QStringLiteral("Cannot take storage commitment reports on port %1: %2")
                          .arg(port)
                          .arg(conditionText(c)),
                      Failure::Kind::Unreachable);
    keepFromChildProcesses(
        static_cast<int>(reinterpret_cast<PRIVATE_NETWORKKEY*>(impl.network->network)->networkSpecific.TCP.listenSocket));
    ASC_setTransportLayer(impl.network, impl.layer.get(), 0);
    impl.thread = std::thread([&impl] { impl.run(); });
    programlog::event(QStringLiteral("commitment: listening for reports on port %1%2")
                          .arg(port)
                          .arg(impl.secure ? QStringLiteral(" over TLS only") : QString()));
}

CommitmentListener::~CommitmentListener()
{
    m_impl->stop = true;
    {
        const std::lock_guard lock(m_impl->mutex);
        if (m_impl->guard)
            m_impl->guard->cancel();
    }
    m_impl->sockets.cut();
    m_impl->thread.join();
    ASC_dropNetwork(&m_impl->network);
}

quint16 CommitmentListener::port() const
{
    return m_impl->port;
}

void CommitmentListener::Impl::run()
{
    while (!stop) {
        T_ASC_Association* association = nullptr;
        // Waits a second at most for a caller, so that a stop is seen soon;
        // a caller's association request then has the ACSE timeout, which a
        // stop cuts short.
        const OFCondition c = ASC_receiveAssociation(network, &association, ASC_DEFAULTMAXPDU, nullptr, nullptr,
                                                     secure ? OFTrue : OFFalse, DUL_NOBLOCK, 1);
        if (c.good()) {
            serve(association);
        } else if (c != DUL_NOASSOCIATIONREQUEST) {
            programlog::event(QStringLiteral("commitment: an association on port %1 failed: %2")
                                  .arg(port)
                                  .arg(conditionText(c)));
        }
        sockets.take(); // closed now, if serve() did not have it
        if (association) {
            ASC_dropSCPAssociation(association);
            ASC_destroyAssociation(&association);
        }
    }
}

// Accepts the association when it calls this station from a configured node,
// for what the listener serves; refuses it otherwise. True when accepted.
bool CommitmentListener::Impl::negotiate(T_ASC_Association* association)
{
    T_ASC_Parameters* params = association->params;
    const QString caller = QString::fromLatin1(params->DULparams.callingAPTitle).trimmed();
    const QString called = QString::fromLatin1(params->DULparams.calledAPTitle).trimmed();
    const QString address = QString::fromLatin1(params->DULparams.callingPresentationAddress);
    T_ASC_RejectParameters rejection{ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER, ASC_REASON_SU_NOREASON};
    QString why;
    if (called != localAETitle) {
        rejection.reason = ASC_REASON_SU_CALLEDAETITLENOTRECOGNIZED;
        why = QStringLiteral("it calls %1, not this station (%2)").arg(called, localAETitle);
    } else if (!accept(caller, address)) {
        rejection.reason = ASC_REASON_SU_CALLINGAETITLENOTRECOGNIZED;
        why = QStringLiteral("%1 at %2 is no configured node").arg(caller, address);
    } else {
        // Storage commitment and verification only; the node proposes the
        // commitment context in the SCP role, as the sender of reports.
        for (int i = 0; i < ASC_countPresentationContexts(params); ++i) {
            T_ASC_PresentationContext context;
            ASC_getPresentationContext(params, i, &context);
            const bool served = std::strcmp(context.abstractSyntax, UID_StorageCommitmentPushModelSOPClass) == 0
                || std::strcmp(context.abstractSyntax, UID_VerificationSOPClass) == 0;
            if (!served)
                continue;
            for (const char* syntax : kUncompressedSyntaxes) {
                const bool proposed = std::any_of(context.proposedTransferSyntaxes,
                                                  context.proposedTransferSyntaxes + context.transferSyntaxCount,
                                                  [&](const char* p) { return std::strcmp(p, syntax) == 0; });
                if (!proposed)
                    continue;
                const T_ASC_SC_ROLE role = context.proposedRole == ASC_SC_ROLE_SCP ? ASC_SC_ROLE_SCP : ASC_SC_ROLE_DEFAULT;
                ASC_acceptPresentationContext(params, context.presentationContextID, syntax, role);
                break;
            }
        }
        if (ASC_countAcceptedPresentationContexts(params) > 0)
            return ASC_acknowledgeAssociation(association).good();
        why = QStringLiteral("%1 at %2 proposed nothing this station serves").arg(caller, address);
    }
    programlog::event(QStringLiteral("commitment: association refused: %1").arg(why));
    ASC_rejectAssociation(association, &rejection);
    return false;
}

void CommitmentListener::Impl::serve(T_ASC_Association* association)
{
    NetworkGuard associationGuard(std::chrono::seconds(limits.deadlineSeconds));
    associationGuard.attach(sockets.take());
    {
        const std::lock_guard lock(mutex);
        guard = &associationGuard;
        if (stop)
            associationGuard.cancel();
    }
    const QString caller = QString::fromLatin1(association->params->DULparams.callingAPTitle).trimmed();
    const QString address = QString::fromLatin1(association->params->DULparams.callingPresentationAddress);
    if (negotiate(association)) {
        for (int messages = 0;; ++messages) {
            T_DIMSE_Message message;
            std::memset(&message, 0, sizeof message);
            T_ASC_PresentationContextID context = 0;
            const OFCondition c = DIMSE_receiveCommand(association, DIMSE_NONBLOCKING, timeouts.dimseSeconds, &context,
                                                       &message, nullptr);
            if (c == DUL_PEERREQUESTEDRELEASE) {
                ASC_acknowledgeRelease(association);
                break;
            }
            if (c.bad()) {
                if (c != DUL_PEERABORTEDASSOCIATION)
                    programlog::event(QStringLiteral("commitment: the association with %1 at %2 ended: %3")
                                          .arg(caller, address,
                                               associationGuard.fired() ? associationGuard.reason() : conditionText(c)));
                ASC_abortAssociation(association);
                break;
            }
            OFCondition sent = EC_Normal;
            if (messages >= limits.messages) {
                programlog::event(QStringLiteral("commitment: %1 at %2 sent more than %3 requests on one association")
                                      .arg(caller, address)
                                      .arg(limits.messages));
                sent = DIMSE_BADCOMMANDTYPE;
            } else if (message.CommandField == DIMSE_C_ECHO_RQ) {
                sent = DIMSE_sendEchoResponse(association, context, &message.msg.CEchoRQ, STATUS_Success, nullptr);
            } else if (message.CommandField == DIMSE_N_EVENT_REPORT_RQ) {
                const T_DIMSE_N_EventReportRQ& request = message.msg.NEventReportRQ;
                const Uint16 status = report(association, context, request, associationGuard, caller, address);
                if (associationGuard.fired()) {
                    sent = DIMSE_READPDVFAILED;
                } else {
                    // Built by hand: the answer names the SOP class and instance
                    // and the event type it answers (PS3.7 10.1.1.2).
                    T_DIMSE_Message answer;
                    std::memset(&answer, 0, sizeof answer);
                    answer.CommandField = DIMSE_N_EVENT_REPORT_RSP;
                    T_DIMSE_N_EventReportRSP& rsp = answer.msg.NEventReportRSP;
                    rsp.MessageIDBeingRespondedTo = request.MessageID;
                    OFStandard::strlcpy(rsp.AffectedSOPClassUID, request.AffectedSOPClassUID,
                                        sizeof rsp.AffectedSOPClassUID);
                    OFStandard::strlcpy(rsp.AffectedSOPInstanceUID, request.AffectedSOPInstanceUID,
                                        sizeof rsp.AffectedSOPInstanceUID);
                    rsp.EventTypeID = request.EventTypeID;
                    rsp.DimseStatus = status;
                    rsp.DataSetType = DIMSE_DATASET_NULL;
                    rsp.opts = O_NEVENTREPORT_AFFECTEDSOPCLASSUID | O_NEVENTREPORT_AFFECTEDSOPINSTANCEUID
                        | O_NEVENTREPORT_EVENTTYPEID;
                    sent = DIMSE_sendMessageUsingMemoryData(association, context, &answer, nullptr, nullptr, nullptr,
                                                            nullptr);
                }
            } else {
                programlog::event(QStringLiteral("commitment: %1 at %2 sent a request this station does not serve")
                                      .arg(caller, address));
                sent = DIMSE_BADCOMMANDTYPE;
            }
            if (sent.bad()) {
                ASC_abortAssociation(association);
                break;
            }
        }
    }
    const std::lock_guard lock(mutex);
    guard = nullptr;
    associationGuard.detach();
}

// Receives one report and hands it on. Returns the status to answer it with.
Uint16 CommitmentListener::Impl::report(T_ASC_Association* association, T_ASC_PresentationContextID context,
                                        const T_DIMSE_N_EventReportRQ& request, NetworkGuard& associationGuard,
                                        const QString& caller, const QString& address)
{
    if (request.DataSetType == DIMSE_DATASET_NULL)
        return kProcessingFailure;
    DcmDataset* received = nullptr;
    ReportBudget budget{&associationGuard, limits.reportBytes};
    const OFCondition c = DIMSE_receiveDataSetInMemory(association, DIMSE_NONBLOCKING, timeouts.dimseSeconds, &context,
                                                       &received, onReportProgress, &budget);
    const std::unique_ptr<DcmDataset> data(received);
    if (c.bad() || associationGuard.fired() || !data) {
        programlog::event(QStringLiteral("commitment: the report of %1 at %2 did not arrive: %3")
                              .arg(caller, address,
                                   associationGuard.fired() ? associationGuard.reason() : conditionText(c)));
        associationGuard.trip(QStringLiteral("the report did not arrive"));
        return kProcessingFailure;
    }
    CommitmentReport report;
    OFString transaction;
    data->findAndGetOFString(DCM_TransactionUID, transaction);
    report.transactionUid = QString::fromLatin1(transaction.c_str()).trimmed();
    report.committed = referencedInstances(*data, DCM_ReferencedSOPSequence);
    report.failed = referencedInstances(*data, DCM_FailedSOPSequence);
    report.callingAETitle = caller;
    report.address = address;
    if (std::strcmp(request.AffectedSOPClassUID, UID_StorageCommitmentPushModelSOPClass) != 0
        || report.transactionUid.isEmpty()) {
        programlog::event(QStringLiteral("commitment: %1 at %2 sent a report that is no storage commitment report")
                              .arg(caller, address));
        return kProcessingFailure;
    }
    try {
        onReport(report);
    } catch (const std::exception& e) {
        programlog::event(QStringLiteral("commitment: the report of %1 on transaction %2 could not be recorded: %3")
                              .arg(caller, report.transactionUid, describe(e)));
        return kProcessingFailure;
    }
    return STATUS_Success;
}

} // namespace skiascan::dicom
