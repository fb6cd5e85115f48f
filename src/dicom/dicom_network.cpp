// Associations with DICOM peers: connect and negotiate, C-ECHO, C-STORE and
// C-FIND, each with timeouts, and descriptions of every way they can fail.

#include "dicom/dcmtk_internal.h"

#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/dul.h>

#include <cstring>

namespace skiascan::dicom {

namespace {

QString rejectReason(const T_ASC_RejectParameters& rejection)
{
    switch (rejection.reason) {
    case ASC_REASON_SU_CALLEDAETITLENOTRECOGNIZED:
        return QStringLiteral("called AE title not recognised");
    case ASC_REASON_SU_CALLINGAETITLENOTRECOGNIZED:
        return QStringLiteral("calling AE title (this station's) not recognised");
    case ASC_REASON_SU_APPCONTEXTNAMENOTSUPPORTED:
        return QStringLiteral("application context not supported");
    case ASC_REASON_SP_ACSE_PROTOCOLVERSIONNOTSUPPORTED:
        return QStringLiteral("protocol version not supported");
    case ASC_REASON_SP_PRES_TEMPORARYCONGESTION:
        return QStringLiteral("temporary congestion, try again later");
    case ASC_REASON_SP_PRES_LOCALLIMITEXCEEDED:
        return QStringLiteral("too many associations at the peer, try again later");
    case ASC_REASON_SU_NOREASON:
    case ASC_REASON_SP_ACSE_NOREASON:
    default:
        return QStringLiteral("no reason given");
    }
}

// The innermost reason in a chain of DCMTK conditions, which is the one that
// says what happened ("Connection refused" rather than "Failed to establish
// association").
QString innermostReason(const OFCondition& condition)
{
    OFString chain;
    DimseCondition::dump(chain, condition);
    QString last;
    for (const QString& line : QString::fromLocal8Bit(chain.c_str()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        // Each line reads "mmmm:cccc Text".
        const qsizetype space = line.indexOf(QLatin1Char(' '));
        last = (space > 0 ? line.mid(space + 1) : line).trimmed();
    }
    if (last.isEmpty())
        last = conditionText(condition);
    // DCMTK's words for the usual ways a peer fails, put as an operator would.
    if (last.contains(QLatin1String("Connection refused"), Qt::CaseInsensitive))
        return QStringLiteral("connection refused (nothing listens on that port)");
    if (last.contains(QLatin1String("network read timeout"), Qt::CaseInsensitive))
        return QStringLiteral("no answer within %1 seconds").arg(networkTimeouts().acseSeconds);
    if (last.contains(QLatin1String("Unrecognized PDU type"), Qt::CaseInsensitive))
        return QStringLiteral("the peer does not answer in DICOM (%1)").arg(last);
    if (last.contains(QLatin1String("network closed"), Qt::CaseInsensitive)
        || last.contains(QLatin1String("Peer aborted"), Qt::CaseInsensitive))
        return QStringLiteral("the peer closed the connection");
    return last;
}

QString statusMeaning(Uint16 status)
{
    switch (status) {
    case 0x0122:
        return QStringLiteral("SOP class not supported");
    case 0x0124:
        return QStringLiteral("not authorised");
    case 0x0117:
        return QStringLiteral("invalid SOP class");
    case 0x0210:
        return QStringLiteral("duplicate invocation");
    case 0x0211:
        return QStringLiteral("unrecognised operation");
    case 0x0212:
        return QStringLiteral("mistyped argument");
    case 0xFE00:
        return QStringLiteral("cancelled");
    default:
        break;
    }
    switch (status & 0xFF00) {
    case 0xA700:
        return QStringLiteral("out of resources");
    case 0xA900:
        return QStringLiteral("data set does not match the SOP class");
    default:
        break;
    }
    if ((status & 0xF000) == 0xC000)
        return QStringLiteral("cannot understand or process the request");
    return QStringLiteral("failure");
}

QString statusText(Uint16 status, DcmDataset* detail)
{
    QString text = QStringLiteral("status 0x%1 (%2)").arg(status, 4, 16, QLatin1Char('0')).arg(statusMeaning(status));
    OFString comment;
    if (detail && detail->findAndGetOFString(DCM_ErrorComment, comment).good() && !comment.empty())
        text += QStringLiteral(": ") + QString::fromLatin1(comment.c_str()).trimmed();
    return text;
}

void checkAETitle(const QString& title, const QString& role)
{
    if (title.trimmed().isEmpty())
        throw DicomError(QStringLiteral("The %1 AE title is empty.").arg(role));
    if (title.size() > 16)
        throw DicomError(QStringLiteral("The %1 AE title \"%2\" is longer than 16 characters.").arg(role, title));
    for (QChar c : title)
        if (c.unicode() < 0x20 || c.unicode() > 0x7E || c == QLatin1Char('\\'))
            throw DicomError(QStringLiteral("The %1 AE title \"%2\" holds a character that AE titles cannot hold.").arg(role, title));
}

struct DetailGuard {
    DcmDataset* detail = nullptr;
    ~DetailGuard() { delete detail; }
};

} // namespace

Association::Association(const QString& host, qint32 port, const QString& calledAETitle,
                         const QString& callingAETitle, const std::vector<Context>& contexts,
                         const QString& operation)
    : m_peer(nodeName(calledAETitle, host, port))
    , m_operation(operation)
{
    ensureToolkitReady();
    checkAETitle(calledAETitle, QStringLiteral("called"));
    checkAETitle(callingAETitle, QStringLiteral("calling (Local AET)"));
    if (host.trimmed().isEmpty())
        throw DicomError(QStringLiteral("No address is set for %1.").arg(m_peer));
    if (port < 1 || port > 65535)
        throw DicomError(QStringLiteral("The port of %1 is not a port number from 1 to 65535.").arg(m_peer));

    const NetworkTimeouts timeouts = networkTimeouts();
    // Process-wide in DCMTK: the connect timeout, and socket timeouts that end a
    // write to a peer that has stopped reading.
    dcmConnectionTimeout.set(timeouts.connectSeconds);
    dcmSocketSendTimeout.set(timeouts.dimseSeconds);
    dcmSocketReceiveTimeout.set(timeouts.dimseSeconds);
    OFCondition c = ASC_initializeNetwork(NET_REQUESTOR, 0, timeouts.acseSeconds, &m_net);
    if (c.bad())
        throw DicomError(QStringLiteral("Cannot start networking for %1: %2").arg(operation, innermostReason(c)));

    T_ASC_Parameters* params = nullptr;
    c = ASC_createAssociationParameters(&params, ASC_MAXIMUMPDUSIZE);
    if (c.bad()) {
        ASC_dropNetwork(&m_net);
        throw DicomError(QStringLiteral("Cannot prepare the association with %1: %2").arg(m_peer, innermostReason(c)));
    }
    const QByteArray calling = callingAETitle.toLatin1();
    const QByteArray called = calledAETitle.toLatin1();
    const QByteArray address = QStringLiteral("%1:%2").arg(host.trimmed()).arg(port).toLatin1();
    ASC_setAPTitles(params, calling.constData(), called.constData(), nullptr);
    ASC_setPresentationAddresses(params, "localhost", address.constData());
    T_ASC_PresentationContextID id = 1;
    for (const Context& context : contexts) {
        std::vector<const char*> syntaxes = context.transferSyntaxes;
        ASC_addPresentationContext(params, id, context.abstractSyntax, syntaxes.data(),
                                   static_cast<int>(syntaxes.size()));
        id += 2;
    }

    c = ASC_requestAssociation(m_net, params, &m_assoc);
    if (c.bad()) {
        QString description;
        DicomError::Kind kind = DicomError::Kind::Unreachable;
        if (c == DUL_ASSOCIATIONREJECTED) {
            T_ASC_RejectParameters rejection;
            ASC_getRejectParameters(params, &rejection);
            description = QStringLiteral("Association rejected by %1: %2").arg(m_peer, rejectReason(rejection));
            kind = DicomError::Kind::Rejected;
        } else {
            description = QStringLiteral("Cannot connect to %1 for %2: %3").arg(m_peer, operation, innermostReason(c));
        }
        if (m_assoc)
            ASC_destroyAssociation(&m_assoc); // frees the parameters too
        else
            ASC_destroyAssociationParameters(&params);
        ASC_dropNetwork(&m_net);
        throw DicomError(description, kind);
    }
    if (ASC_countAcceptedPresentationContexts(m_assoc->params) == 0) {
        m_broken = true;
        const QString description = QStringLiteral("%1 accepted the association but none of what it is for (%2).")
                                        .arg(m_peer, operation);
        close();
        throw DicomError(description, DicomError::Kind::Rejected);
    }
}

Association::~Association()
{
    close();
}

void Association::close()
{
    if (m_assoc) {
        // After a network failure the peer is in no state for a polite goodbye:
        // an abort would wait for it to close the connection, so just close it.
        if (m_broken || ASC_releaseAssociation(m_assoc).bad())
            ASC_dropAssociation(m_assoc);
        ASC_destroyAssociation(&m_assoc);
        m_assoc = nullptr;
    }
    if (m_net)
        ASC_dropNetwork(&m_net);
    m_net = nullptr;
}

void Association::release()
{
    if (!m_assoc)
        return;
    if (ASC_releaseAssociation(m_assoc).bad())
        ASC_dropAssociation(m_assoc);
    ASC_destroyAssociation(&m_assoc);
    m_assoc = nullptr;
}

void Association::fail(const OFCondition& condition, const QString& what)
{
    m_broken = true;
    QString reason = innermostReason(condition);
    if (condition == DIMSE_NODATAAVAILABLE)
        reason = QStringLiteral("no answer within %1 seconds").arg(networkTimeouts().dimseSeconds);
    throw DicomError(QStringLiteral("%1 to %2 failed: %3").arg(what, m_peer, reason), DicomError::Kind::Unreachable);
}

T_ASC_PresentationContextID Association::contextFor(const char* abstractSyntax) const
{
    const T_ASC_PresentationContextID id = ASC_findAcceptedPresentationContextID(m_assoc, abstractSyntax);
    if (id == 0) {
        const char* name = dcmFindNameOfUID(abstractSyntax, abstractSyntax);
        throw DicomError(QStringLiteral("%1 does not accept %2.").arg(m_peer, QString::fromLatin1(name)),
                         DicomError::Kind::Rejected);
    }
    return id;
}

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
        throw DicomError(QStringLiteral("%1 answered the verification with %2.").arg(m_peer, statusText(status, detail.detail)),
                         DicomError::Kind::Status);
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
    const OFCondition c = DIMSE_storeUser(m_assoc, id, &request, nullptr, &dataset, nullptr, nullptr,
                                          DIMSE_NONBLOCKING, networkTimeouts().dimseSeconds, &response,
                                          &detail.detail, nullptr, 0);
    if (c.bad())
        fail(c, QStringLiteral("C-STORE"));
    const Uint16 status = response.DimseStatus;
    // Success, and the warnings under which the image is stored (PS3.4 B.2.3).
    if (status == STATUS_Success || status == 0xB000 || status == 0xB006 || status == 0xB007)
        return;
    throw DicomError(QStringLiteral("%1 refused the image: %2.").arg(m_peer, statusText(status, detail.detail)),
                     DicomError::Kind::Status);
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
        throw DicomError(QStringLiteral("%1 answered the query with %2.").arg(m_peer, statusText(response.DimseStatus, detail.detail)),
                         DicomError::Kind::Status);
}

} // namespace skiascan::dicom
