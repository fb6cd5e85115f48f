// Storage commitment (Push Model, DICOM PS3.4 annex J): the request on an
// association to the node. The node's reports: commitment_listener.cpp.

#include "dicom/dcmtk_internal.h"

#include <cstring>

namespace skiascan::dicom {

void Association::requestCommitment(const QString& transactionUid, const std::vector<QString>& instanceUids)
{
    const T_ASC_PresentationContextID id = contextFor(UID_StorageCommitmentPushModelSOPClass);
    DcmDataset request;
    check(request.putAndInsertString(DCM_TransactionUID, transactionUid.toLatin1().constData()),
          QStringLiteral("Cannot build the storage commitment request"));
    for (const QString& uid : instanceUids) {
        DcmItem* reference = nullptr;
        check(request.findOrCreateSequenceItem(DCM_ReferencedSOPSequence, reference, -2),
              QStringLiteral("Cannot build the storage commitment request"));
        check(reference->putAndInsertString(DCM_ReferencedSOPClassUID, UID_SecondaryCaptureImageStorage),
              QStringLiteral("Cannot build the storage commitment request"));
        check(reference->putAndInsertString(DCM_ReferencedSOPInstanceUID, uid.toLatin1().constData()),
              QStringLiteral("Cannot build the storage commitment request"));
    }

    T_DIMSE_Message message;
    std::memset(&message, 0, sizeof message);
    message.CommandField = DIMSE_N_ACTION_RQ;
    T_DIMSE_N_ActionRQ& action = message.msg.NActionRQ;
    action.MessageID = m_assoc->nextMsgID++;
    OFStandard::strlcpy(action.RequestedSOPClassUID, UID_StorageCommitmentPushModelSOPClass,
                        sizeof action.RequestedSOPClassUID);
    OFStandard::strlcpy(action.RequestedSOPInstanceUID, UID_StorageCommitmentPushModelSOPInstance,
                        sizeof action.RequestedSOPInstanceUID);
    action.ActionTypeID = 1; // Request Storage Commitment (PS3.4 J.3.2)
    action.DataSetType = DIMSE_DATASET_PRESENT;
    OFCondition c = DIMSE_sendMessageUsingMemoryData(m_assoc, id, &message, nullptr, &request, nullptr, nullptr);
    if (c.bad())
        fail(c, QStringLiteral("N-ACTION"));

    T_DIMSE_Message response;
    std::memset(&response, 0, sizeof response);
    T_ASC_PresentationContextID answerContext = 0;
    DcmDataset* detail = nullptr;
    c = DIMSE_receiveCommand(m_assoc, DIMSE_NONBLOCKING, m_timeouts.dimseSeconds, &answerContext, &response, &detail);
    const std::unique_ptr<DcmDataset> ownDetail(detail);
    if (c.bad())
        fail(c, QStringLiteral("N-ACTION"));
    if (response.CommandField != DIMSE_N_ACTION_RSP
        || response.msg.NActionRSP.MessageIDBeingRespondedTo != action.MessageID) {
        m_broken = true;
        throw Failure(QStringLiteral("%1 answered the storage commitment request with a message that is no answer to it.")
                          .arg(m_peer),
                      Failure::Kind::Status);
    }
    if (response.msg.NActionRSP.DataSetType != DIMSE_DATASET_NULL) {
        // An action reply the request does not ask for: read past it.
        DIC_UL bytes = 0;
        DIC_UL pdvs = 0;
        c = DIMSE_ignoreDataSet(m_assoc, DIMSE_NONBLOCKING, m_timeouts.dimseSeconds, &bytes, &pdvs);
        if (c.bad())
            fail(c, QStringLiteral("N-ACTION"));
    }
    const Uint16 status = response.msg.NActionRSP.DimseStatus;
    if (status != STATUS_Success)
        throw Failure(QStringLiteral("%1 refused the storage commitment request: %2.")
                          .arg(m_peer, statusText(status, ownDetail.get())),
                      Failure::Kind::Status);
}

void requestCommitment(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle,
                       const NetworkTimeouts& timeouts, NetworkGuard& guard, const QString& transactionUid,
                       const std::vector<QString>& instanceUids, const TlsSettings& tls)
{
    ensureToolkitReady();
    Association association(host, port, calledAETitle, callingAETitle,
                            {{UID_StorageCommitmentPushModelSOPClass, kUncompressedSyntaxes}},
                            QStringLiteral("N-ACTION"), timeouts, guard, tls);
    association.requestCommitment(transactionUid, instanceUids);
    association.release();
}

} // namespace skiascan::dicom
