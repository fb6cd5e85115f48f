// The network services on an association: C-ECHO, C-STORE and C-FIND, each
// checked by the status the peer answered, and the operations built on them.

#include "dicom/dcmtk_internal.h"

#include <cstring>

namespace skiascan::dicom {

namespace {

struct DetailGuard {
    DcmDataset* detail = nullptr;
    ~DetailGuard() { delete detail; }
};

// Keeps the guard's byte counts up to date while a C-STORE sends.
void onStoreProgress(void* data, T_DIMSE_StoreProgress* progress, T_DIMSE_C_StoreRQ*)
{
    if (auto* guard = static_cast<NetworkGuard*>(data)) {
        guard->bytesExpected = progress->totalBytes;
        guard->bytesDone = progress->progressBytes;
    }
}

} // namespace

void Association::echo()
{
    const T_ASC_PresentationContextID id = contextFor(UID_VerificationSOPClass);
    (void)id;
    DIC_US status = 0;
    DetailGuard detail;
    const OFCondition c = DIMSE_echoUser(m_assoc, m_assoc->nextMsgID++, DIMSE_NONBLOCKING,
                                         networkTimeouts().dimseSeconds, &status, &detail.detail);
    if (c.bad())
        fail(c, QStringLiteral("C-ECHO"));
    if (status != STATUS_Success)
        throw Failure(QStringLiteral("%1 answered the verification with %2.").arg(m_peer, statusText(status, detail.detail)),
                         Failure::Kind::Status);
}

void Association::store(DcmDataset& dataset)
{
    OFString sopClass;
    OFString sopInstance;
    dataset.findAndGetOFString(DCM_SOPClassUID, sopClass);
    dataset.findAndGetOFString(DCM_SOPInstanceUID, sopInstance);
    const T_ASC_PresentationContextID id = contextFor(sopClass.c_str());

    T_DIMSE_C_StoreRQ request;
    std::memset(&request, 0, sizeof request);
    request.MessageID = m_assoc->nextMsgID++;
    OFStandard::strlcpy(request.AffectedSOPClassUID, sopClass.c_str(), sizeof request.AffectedSOPClassUID);
    OFStandard::strlcpy(request.AffectedSOPInstanceUID, sopInstance.c_str(), sizeof request.AffectedSOPInstanceUID);
    request.DataSetType = DIMSE_DATASET_PRESENT;
    request.Priority = DIMSE_PRIORITY_MEDIUM;

    T_DIMSE_C_StoreRSP response;
    std::memset(&response, 0, sizeof response);
    DetailGuard detail;
    const OFCondition c = DIMSE_storeUser(m_assoc, id, &request, nullptr, &dataset, onStoreProgress, m_guard,
                                          DIMSE_NONBLOCKING, networkTimeouts().dimseSeconds, &response,
                                          &detail.detail, nullptr, 0);
    if (c.bad())
        fail(c, QStringLiteral("C-STORE"));
    const Uint16 status = response.DimseStatus;
    // Success, and the warnings under which the image is stored (PS3.4 B.2.3).
    if (status == STATUS_Success || status == 0xB000 || status == 0xB006 || status == 0xB007)
        return;
    throw Failure(QStringLiteral("%1 refused the image: %2.").arg(m_peer, statusText(status, detail.detail)),
                     Failure::Kind::Status);
}

namespace {

struct FindContext {
    const std::function<void(DcmDataset&)>* onMatch;
    std::exception_ptr failure;
};

void onFindResponse(void* data, T_DIMSE_C_FindRQ*, int, T_DIMSE_C_FindRSP*, DcmDataset* identifier)
{
    auto* context = static_cast<FindContext*>(data);
    if (!identifier || context->failure)
        return;
    try {
        (*context->onMatch)(*identifier);
    } catch (...) {
        context->failure = std::current_exception();
    }
}

} // namespace

void Association::find(const char* abstractSyntax, DcmDataset& identifier,
                       const std::function<void(DcmDataset&)>& onMatch)
{
    const T_ASC_PresentationContextID id = contextFor(abstractSyntax);
    T_DIMSE_C_FindRQ request;
    std::memset(&request, 0, sizeof request);
    request.MessageID = m_assoc->nextMsgID++;
    OFStandard::strlcpy(request.AffectedSOPClassUID, abstractSyntax, sizeof request.AffectedSOPClassUID);
    request.DataSetType = DIMSE_DATASET_PRESENT;
    request.Priority = DIMSE_PRIORITY_MEDIUM;

    T_DIMSE_C_FindRSP response;
    std::memset(&response, 0, sizeof response);
    DetailGuard detail;
    FindContext context{&onMatch, nullptr};
    int responses = 0;
    const OFCondition c = DIMSE_findUser(m_assoc, id, &request, &identifier, responses, onFindResponse, &context,
                                         DIMSE_NONBLOCKING, networkTimeouts().dimseSeconds, &response,
                                         &detail.detail);
    if (context.failure) {
        m_broken = true;
        std::rethrow_exception(context.failure);
    }
    if (c.bad())
        fail(c, QStringLiteral("C-FIND"));
    if (response.DimseStatus != STATUS_Success)
        throw Failure(QStringLiteral("%1 answered the query with %2.").arg(m_peer, statusText(response.DimseStatus, detail.detail)),
                         Failure::Kind::Status);
}

void Image::send(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle,
                 NetworkGuard* guard)
{
    ensureToolkitReady();
    prepareForTransfer(*m_impl);
    Association association(host, port, calledAETitle, callingAETitle,
                            {{UID_SecondaryCaptureImageStorage,
                              {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax}}},
                            QStringLiteral("C-STORE"), guard);
    association.store(m_impl->dataset());
    association.release();
}

DataSetCollection WorklistQuery::run(const DataSet& identifier) const
{
    ensureToolkitReady();
    if (root.compare(QLatin1String("WORKLIST"), Qt::CaseInsensitive) != 0)
        throw Failure(QStringLiteral("The query root \"%1\" is not known; only WORKLIST is.").arg(root));
    DcmDataset request;
    DcmItem& source = *identifier.impl().item;
    for (unsigned long i = 0; i < source.card(); ++i)
        check(request.insert(static_cast<DcmElement*>(source.getElement(i)->clone()), true),
              QStringLiteral("Cannot build the worklist query"));
    applyCharacterSet(request, true);

    Association association(host, port, calledAETitle, callingAETitle,
                            {{UID_FINDModalityWorklistInformationModel,
                              {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax}}},
                            QStringLiteral("C-FIND"));
    DataSetCollection results;
    association.find(UID_FINDModalityWorklistInformationModel, request,
                     [&](DcmDataset& answer) { results.addNewItem() = answerDataSet(answer); });
    association.release();
    return results;
}

void verify(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle,
            NetworkGuard* guard)
{
    ensureToolkitReady();
    Association association(host, port, calledAETitle, callingAETitle,
                            {{UID_VerificationSOPClass, {UID_LittleEndianImplicitTransferSyntax}}},
                            QStringLiteral("C-ECHO"), guard);
    association.echo();
    association.release();
}

} // namespace skiascan::dicom
