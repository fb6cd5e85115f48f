// The network services on an association: C-ECHO, C-STORE and C-FIND, each
// checked by the status the peer answered, and the operations built on them.

#include "dicom/compression.h"
#include "dicom/dcmtk_internal.h"
#include "dicom/performed_step.h"

#include <dcmtk/dcmdata/dcostrmb.h>

#include <cstring>
#include <optional>

namespace skiascan::dicom {

namespace {

struct DetailGuard {
    DcmDataset* detail = nullptr;
    ~DetailGuard() { delete detail; }
};

// Keeps the guard's byte counts up to date while a C-STORE sends.
void onStoreProgress(void* data, T_DIMSE_StoreProgress* progress, T_DIMSE_C_StoreRQ*)
{
    static_cast<NetworkGuard*>(data)->progress(static_cast<qint64>(progress->progressBytes),
                                               static_cast<qint64>(progress->totalBytes));
}

} // namespace

void Association::echo()
{
    contextFor(UID_VerificationSOPClass); // throws when the peer did not accept verification
    DIC_US status = 0;
    DetailGuard detail;
    const OFCondition c = DIMSE_echoUser(m_assoc, m_assoc->nextMsgID++, DIMSE_NONBLOCKING, m_timeouts.dimseSeconds,
                                         &status, &detail.detail);
    if (c.bad())
        fail(c, QStringLiteral("C-ECHO"));
    if (status != STATUS_Success)
        throw Failure(QStringLiteral("%1 answered the verification with %2.").arg(m_peer, statusText(status, detail.detail)),
                         Failure::Kind::Status);
}

T_ASC_PresentationContextID Association::acceptedContext(const char* abstractSyntax, const char* transferSyntax) const
{
    // DCMTK's own search by transfer syntax falls back to any context of the
    // abstract syntax; the choice between a compressed and an uncompressed
    // context needs the exact one. Proposed contexts have the odd ids 1, 3, ...
    if (!m_assoc)
        return 0;
    for (int id = 1; id <= 255; id += 2) {
        T_ASC_PresentationContext context;
        if (ASC_findAcceptedPresentationContext(m_assoc->params, static_cast<T_ASC_PresentationContextID>(id), &context)
                .good()
            && context.resultReason == ASC_P_ACCEPTANCE && std::strcmp(context.abstractSyntax, abstractSyntax) == 0
            && std::strcmp(context.acceptedTransferSyntax, transferSyntax) == 0)
            return static_cast<T_ASC_PresentationContextID>(id);
    }
    return 0;
}

void Association::store(DcmDataset& dataset, T_ASC_PresentationContextID context)
{
    OFString sopClass;
    OFString sopInstance;
    dataset.findAndGetOFString(DCM_SOPClassUID, sopClass);
    dataset.findAndGetOFString(DCM_SOPInstanceUID, sopInstance);
    const T_ASC_PresentationContextID id = context != 0 ? context : contextFor(sopClass.c_str());

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
    // The bytes the data set takes on the wire, for the progress shown (DCMTK
    // would guess them from the SOP class).
    T_ASC_PresentationContext accepted;
    ASC_findAcceptedPresentationContext(m_assoc->params, id, &accepted);
    const long bytes = static_cast<long>(
        dataset.calcElementLength(DcmXfer(accepted.acceptedTransferSyntax).getXfer(), EET_ExplicitLength));
    // Watched by its guard, the store waits as long as bytes move; else it is
    // held to the DIMSE timeout.
    const OFCondition c = DIMSE_storeUser(m_assoc, id, &request, nullptr, &dataset, onStoreProgress, &m_guard,
                                          m_watched ? DIMSE_BLOCKING : DIMSE_NONBLOCKING, m_timeouts.dimseSeconds,
                                          &response, &detail.detail, nullptr, bytes);
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

// What the answer on its way may still take: checked with every piece that
// arrives, so that the guard stops a server going beyond it at once, before
// DCMTK has the rest in memory.
struct AnswerBudget {
    NetworkGuard* guard;
    qint64 answerBytes; // the most one answer may have
    qint64 leftInAll;   // what the answers may have together, less what came so far
    qint64 received = 0;
};

void onAnswerProgress(void* data, unsigned long bytes)
{
    auto* budget = static_cast<AnswerBudget*>(data);
    budget->received = static_cast<qint64>(bytes);
    if (budget->received > budget->answerBytes)
        budget->guard->trip(QStringLiteral("the server sent an answer of more than %1 KB, far more than a worklist "
                                           "entry holds")
                                .arg(budget->answerBytes / 1024));
    else if (budget->received > budget->leftInAll)
        budget->guard->trip(QStringLiteral("the server sent more than %1 MB of answers")
                                .arg((budget->leftInAll + budget->received) / (1024 * 1024)));
}

} // namespace

void Association::find(const char* abstractSyntax, DcmDataset& identifier, const QueryLimits& limits,
                       const std::function<void(DataSet&&)>& onMatch)
{
    const T_ASC_PresentationContextID id = contextFor(abstractSyntax);
    T_DIMSE_Message request;
    std::memset(&request, 0, sizeof request);
    request.CommandField = DIMSE_C_FIND_RQ;
    T_DIMSE_C_FindRQ& find = request.msg.CFindRQ;
    find.MessageID = m_assoc->nextMsgID++;
    OFStandard::strlcpy(find.AffectedSOPClassUID, abstractSyntax, sizeof find.AffectedSOPClassUID);
    find.DataSetType = DIMSE_DATASET_PRESENT;
    find.Priority = DIMSE_PRIORITY_MEDIUM;
    OFCondition c = DIMSE_sendMessageUsingMemoryData(m_assoc, id, &request, nullptr, &identifier, nullptr, nullptr);
    if (c.bad())
        fail(c, QStringLiteral("C-FIND"));

    // One answer at most, and one PDU more (the guard stops the one after it).
    std::vector<unsigned char> buffer(static_cast<std::size_t>(limits.answerBytes) + ASC_MAXIMUMPDUSIZE + 1024);
    const int timeout = m_timeouts.dimseSeconds;
    int answers = 0;
    qint64 received = 0;
    for (;;) {
        T_DIMSE_Message response;
        std::memset(&response, 0, sizeof response);
        T_ASC_PresentationContextID answerContext = 0;
        DetailGuard detail;
        c = DIMSE_receiveCommand(m_assoc, DIMSE_NONBLOCKING, timeout, &answerContext, &response, &detail.detail);
        if (c.bad())
            fail(c, QStringLiteral("C-FIND"));
        if (response.CommandField != DIMSE_C_FIND_RSP
            || response.msg.CFindRSP.MessageIDBeingRespondedTo != find.MessageID) {
            m_broken = true;
            throw Failure(QStringLiteral("%1 answered the query with a message that is no answer to it.").arg(m_peer),
                          Failure::Kind::Status);
        }
        const Uint16 status = response.msg.CFindRSP.DimseStatus;
        if (status == STATUS_Success)
            return;
        if (!DICOM_PENDING_STATUS(status))
            throw Failure(QStringLiteral("%1 answered the query with %2.").arg(m_peer, statusText(status, detail.detail)),
                          Failure::Kind::Status);
        if (++answers > limits.answers) {
            m_broken = true;
            throw Failure(QStringLiteral("The worklist query to %1 stopped: the server sent more than %2 answers, far "
                                         "more than a day's worklist holds.")
                              .arg(m_peer)
                              .arg(limits.answers),
                          Failure::Kind::Limit);
        }
        AnswerBudget budget{&m_guard, limits.answerBytes, limits.totalBytes - received};
        DcmOutputBufferStream out(buffer.data(), static_cast<offile_off_t>(buffer.size()));
        c = DIMSE_receiveDataSetInFile(m_assoc, DIMSE_NONBLOCKING, timeout, &answerContext, &out, onAnswerProgress,
                                       &budget);
        if (c.bad() || m_guard.fired())
            fail(c.bad() ? c : OFCondition(DIMSE_READPDVFAILED), QStringLiteral("C-FIND"));
        received += budget.received;
        T_ASC_PresentationContext context;
        if (ASC_findAcceptedPresentationContext(m_assoc->params, answerContext, &context).bad()) {
            m_broken = true;
            throw Failure(QStringLiteral("%1 sent an answer outside the query.").arg(m_peer), Failure::Kind::Status);
        }
        try {
            onMatch(parseAnswer(buffer.data(), static_cast<std::size_t>(out.filled()),
                                DcmXfer(context.acceptedTransferSyntax).getXfer(), identifier));
        } catch (const Failure& e) {
            m_broken = true;
            throw Failure(QStringLiteral("The worklist query to %1 stopped: %2").arg(m_peer, e.description()), e.kind());
        }
    }
}

StoreAssociation::StoreAssociation(const QString& host, qint32 port, const QString& calledAETitle,
                                   const QString& callingAETitle, const NetworkTimeouts& timeouts, NetworkGuard& guard,
                                   const TlsSettings& tls, bool askCommitment, Compression compression)
    : m_peer(nodeName(calledAETitle, host, port))
    , m_offered(compression)
{
    ensureToolkitReady();
    // With a compression, the node is offered two contexts for the images, the
    // compressed one first; it accepts either or both, and store() sends in
    // the compressed one when it can. An accepted context carries one transfer
    // syntax (PS3.8 9.3.3.2), so each choice needs a context of its own.
    std::vector<Association::Context> contexts;
    if (const char* syntax = transferSyntaxOf(compression))
        contexts.push_back({UID_SecondaryCaptureImageStorage, {syntax}});
    contexts.push_back({UID_SecondaryCaptureImageStorage, kUncompressedSyntaxes});
    if (askCommitment)
        contexts.push_back({UID_StorageCommitmentPushModelSOPClass, kUncompressedSyntaxes});
    m_association = std::make_unique<Association>(host, port, calledAETitle, callingAETitle, contexts,
                                                  QStringLiteral("C-STORE"), timeouts, guard, tls, true);
}

Compression StoreAssociation::acceptedCompression() const
{
    const char* syntax = transferSyntaxOf(m_offered);
    return syntax && m_association->acceptedContext(UID_SecondaryCaptureImageStorage, syntax) != 0 ? m_offered
                                                                                                   : Compression::None;
}

bool StoreAssociation::acceptsCommitment() const
{
    return m_association->accepts(UID_StorageCommitmentPushModelSOPClass);
}

void StoreAssociation::requestCommitment(const QString& transactionUid, const std::vector<QString>& instanceUids)
{
    m_association->requestCommitment(transactionUid, instanceUids);
}

StoreAssociation::~StoreAssociation() = default;

StoreAssociation::Stored StoreAssociation::store(Image& image, const QString& compressedCopy)
{
    Stored stored;
    const Compression accepted = acceptedCompression();
    if (accepted != Compression::None && !compressedCopy.isEmpty()) {
        // The copy goes only when it is this image in the syntax the node took.
        std::optional<Image> copy;
        try {
            copy = loadCopy(compressedCopy, accepted);
            if (copy->text(0x0008, 0x0018) != image.text(0x0008, 0x0018))
                throw Failure(QStringLiteral("%1 is a copy of another image").arg(compressedCopy));
        } catch (const Failure& e) {
            copy.reset();
            stored.copyUnused = e.description();
        }
        if (copy) {
            m_association->store(copy->m_impl->dataset(),
                                 m_association->acceptedContext(UID_SecondaryCaptureImageStorage,
                                                                transferSyntaxOf(accepted)));
            stored.syntax = accepted;
            return stored;
        }
    }
    T_ASC_PresentationContextID context = 0;
    for (const char* syntax : kUncompressedSyntaxes)
        if (!context)
            context = m_association->acceptedContext(UID_SecondaryCaptureImageStorage, syntax);
    if (!context)
        throw Failure(QStringLiteral("%1 takes Secondary Capture images only as %2, and no compressed copy of this image "
                                     "is at hand%3")
                          .arg(m_peer, compressionName(accepted),
                               stored.copyUnused.isEmpty() ? QStringLiteral(".") : QStringLiteral(" (%1).").arg(stored.copyUnused)),
                      Failure::Kind::Status);
    prepareForTransfer(*image.m_impl);
    m_association->store(image.m_impl->dataset(), context);
    return stored;
}

void StoreAssociation::release()
{
    m_association->release();
}

QString StoreAssociation::protocol() const
{
    return m_association->protocol();
}

void Image::send(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle,
                 const NetworkTimeouts& timeouts, NetworkGuard* guard)
{
    std::unique_ptr<NetworkGuard> own;
    if (!guard) {
        own = std::make_unique<NetworkGuard>();
        guard = own.get();
    }
    StoreAssociation association(host, port, calledAETitle, callingAETitle, timeouts, *guard);
    association.store(*this);
    association.release();
}

DataSetCollection WorklistQuery::run(const DataSet& identifier, NetworkGuard* guard) const
{
    ensureToolkitReady();
    if (root.compare(QLatin1String("WORKLIST"), Qt::CaseInsensitive) != 0)
        throw Failure(QStringLiteral("The query root \"%1\" is not known; only WORKLIST is.").arg(root));
    std::unique_ptr<NetworkGuard> own;
    if (!guard) {
        own = std::make_unique<NetworkGuard>(std::chrono::seconds(limits.deadlineSeconds));
        guard = own.get();
    }
    DcmDataset request;
    DcmItem& source = *identifier.impl().item;
    for (unsigned long i = 0; i < source.card(); ++i)
        check(request.insert(static_cast<DcmElement*>(source.getElement(i)->clone()), true),
              QStringLiteral("Cannot build the worklist query"));
    applyCharacterSet(request, true);

    Association association(host, port, calledAETitle, callingAETitle,
                            {{UID_FINDModalityWorklistInformationModel, kUncompressedSyntaxes}}, QStringLiteral("C-FIND"),
                            timeouts, *guard, tls);
    DataSetCollection results;
    association.find(UID_FINDModalityWorklistInformationModel, request, limits,
                     [&](DataSet&& answer) { results.addNewItem() = std::move(answer); });
    association.release();
    return results;
}

Verification verify(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle,
                    const NetworkTimeouts& timeouts, NetworkGuard* guard, const TlsSettings& tls, VerifiedService also)
{
    ensureToolkitReady();
    std::unique_ptr<NetworkGuard> own;
    if (!guard) {
        own = std::make_unique<NetworkGuard>(kVerifyDeadline);
        guard = own.get();
    }
    const char* service = also == VerifiedService::Mpps ? kMppsSopClass : UID_StorageCommitmentPushModelSOPClass;
    Association association(host, port, calledAETitle, callingAETitle,
                            {{UID_VerificationSOPClass, {UID_LittleEndianImplicitTransferSyntax}},
                             {service, kUncompressedSyntaxes}},
                            QStringLiteral("C-ECHO"), timeouts, *guard, tls);
    association.echo();
    Verification verification;
    verification.protocol = association.protocol();
    verification.acceptsCommitment = association.accepts(UID_StorageCommitmentPushModelSOPClass);
    verification.acceptsMpps = association.accepts(kMppsSopClass);
    association.release();
    return verification;
}

} // namespace skiascan::dicom
