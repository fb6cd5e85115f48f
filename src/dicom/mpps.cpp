// Modality Performed Procedure Step on an association to the MPPS node:
// N-CREATE and N-SET (PS3.7 10.1.5, 10.1.3), their answers, and what each
// failure status means for the step.

#include "dicom/dcmtk_internal.h"
#include "dicom/mpps.h"

#include <cstring>

namespace skiascan::dicom {

namespace {

// The statuses of N-CREATE and N-SET (PS3.7 C.4, the meanings in PS3.4
// F.7.2.1.2 and F.7.2.2.2), as the operator reads them.
QString stepStatusMeaning(Uint16 status, Uint16 errorId)
{
    switch (status) {
    case 0x0105:
        return QStringLiteral("no such attribute: the node does not know an attribute of the step");
    case 0x0106:
        return QStringLiteral("invalid attribute value");
    case 0x0107:
        return QStringLiteral("attribute list error: the node left out attributes it does not know");
    case 0x0110:
        if (errorId == 0xA710) // PS3.4 F.7.2.2.4
            return QStringLiteral("processing failure: the step may no longer be updated, it has ended at the node");
        return QStringLiteral("processing failure");
    case 0x0111:
        return QStringLiteral("duplicate instance: the node holds this step already");
    case 0x0112:
        return QStringLiteral("no such object: the node does not hold this step");
    case 0x0116:
        return QStringLiteral("attribute value out of range: the node changed or left out a value");
    case 0x0117:
        return QStringLiteral("invalid SOP instance");
    case 0x0118:
        return QStringLiteral("no such SOP class");
    case 0x0119:
        return QStringLiteral("class-instance conflict");
    case 0x0120:
        return QStringLiteral("missing attribute");
    case 0x0121:
        return QStringLiteral("missing attribute value");
    case 0x0122:
        return QStringLiteral("SOP class not supported");
    case 0x0124:
        return QStringLiteral("not authorised");
    case 0x0210:
        return QStringLiteral("duplicate invocation");
    case 0x0211:
        return QStringLiteral("unrecognised operation");
    case 0x0212:
        return QStringLiteral("mistyped argument");
    case 0x0213:
        return QStringLiteral("resource limitation, try again later");
    default:
        break;
    }
    if ((status & 0xF000) == 0xA000 || (status & 0xF000) == 0xC000)
        return QStringLiteral("cannot process the request");
    return QStringLiteral("failure");
}

bool isWarning(Uint16 status)
{
    return status == 0x0107 || status == 0x0116; // PS3.7 C.4.2, C.4.3
}

// "status 0x0120 (missing attribute) (0040,0241): comment": the meaning, the
// attributes the node names and its comment.
QString describeStatus(Uint16 status, DcmDataset* detail)
{
    Uint16 errorId = 0;
    OFString comment;
    QStringList attributes;
    if (detail) {
        detail->findAndGetUint16(DCM_ErrorID, errorId);
        detail->findAndGetOFString(DCM_ErrorComment, comment);
        for (const DcmTagKey& key : {DCM_AttributeIdentifierList, DCM_OffendingElement}) {
            DcmElement* element = nullptr;
            if (detail->findAndGetElement(key, element).good() && element)
                for (unsigned long i = 0; i < element->getVM(); ++i) {
                    DcmTagKey tag;
                    if (element->getTagVal(tag, i).good())
                        attributes << tagText(tag);
                }
        }
    }
    QString text = QStringLiteral("status 0x%1 (%2)")
                       .arg(status, 4, 16, QLatin1Char('0'))
                       .arg(stepStatusMeaning(status, errorId));
    if (!attributes.isEmpty())
        text += QLatin1Char(' ') + attributes.join(QLatin1Char(' '));
    const QString said = QString::fromLatin1(comment.c_str()).trimmed();
    if (!said.isEmpty())
        text += QStringLiteral(": \"%1\"").arg(said);
    return text;
}

// The data set to send: the attributes with their text in the set that fits,
// or in UTF-8 when `utf8` says so.
DcmDataset encoded(const DataSet& attributes, bool utf8)
{
    DcmDataset set;
    DcmItem& source = *attributes.impl().item;
    for (unsigned long i = 0; i < source.card(); ++i)
        check(set.insert(static_cast<DcmElement*>(source.getElement(i)->clone()), true),
              QStringLiteral("Cannot build the performed procedure step"));
    if (utf8)
        check(set.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192"),
              QStringLiteral("Cannot set the character set"));
    else
        applyCharacterSet(set, false);
    return set;
}

bool needsUtf8(const DataSet& attributes)
{
    DcmDataset set = encoded(attributes, false);
    OFString declared;
    set.findAndGetOFString(DCM_SpecificCharacterSet, declared);
    return declared == "ISO_IR 192";
}

} // namespace

StepRefused::StepRefused(const QString& description, quint16 status, quint16 errorId)
    : Failure(description, Failure::Kind::Status)
    , m_status(status)
    , m_errorId(errorId)
{
}

QString finalCharacterSet(const PerformedStep& step)
{
    return needsUtf8(stepCreationAttributes(step)) || needsUtf8(stepFinalAttributes(step))
        ? QStringLiteral("ISO_IR 192")
        : QStringLiteral("ISO_IR 100");
}

// ------------------------------------------------------- on the association

T_DIMSE_Message Association::awaitAnswer(T_DIMSE_Command expected, DIC_US messageId, const QString& what,
                                         std::unique_ptr<DcmDataset>& detail)
{
    T_DIMSE_Message response;
    std::memset(&response, 0, sizeof response);
    T_ASC_PresentationContextID answerContext = 0;
    DcmDataset* received = nullptr;
    OFCondition c = DIMSE_receiveCommand(m_assoc, DIMSE_NONBLOCKING, m_timeouts.dimseSeconds, &answerContext,
                                         &response, &received);
    detail.reset(received);
    if (c.bad())
        fail(c, what);
    const bool answers = response.CommandField == expected
        && (expected == DIMSE_N_CREATE_RSP ? response.msg.NCreateRSP.MessageIDBeingRespondedTo
                                           : response.msg.NSetRSP.MessageIDBeingRespondedTo)
            == messageId;
    if (!answers) {
        m_broken = true;
        throw Failure(QStringLiteral("%1 answered the %2 with a message that is no answer to it.").arg(m_peer, what),
                      Failure::Kind::Status);
    }
    const T_DIMSE_DataSetType dataSet = expected == DIMSE_N_CREATE_RSP ? response.msg.NCreateRSP.DataSetType
                                                                       : response.msg.NSetRSP.DataSetType;
    if (dataSet != DIMSE_DATASET_NULL) {
        // The attributes as the node holds them now: nothing the station needs.
        DIC_UL bytes = 0;
        DIC_UL pdvs = 0;
        c = DIMSE_ignoreDataSet(m_assoc, DIMSE_NONBLOCKING, m_timeouts.dimseSeconds, &bytes, &pdvs);
        if (c.bad())
            fail(c, what);
    }
    return response;
}

Uint16 Association::createInstance(const char* sopClass, const QString& instanceUid, DcmDataset& attributes,
                                   std::unique_ptr<DcmDataset>& detail)
{
    const T_ASC_PresentationContextID id = contextFor(sopClass);
    const QByteArray uid = instanceUid.toLatin1();
    T_DIMSE_Message message;
    std::memset(&message, 0, sizeof message);
    message.CommandField = DIMSE_N_CREATE_RQ;
    T_DIMSE_N_CreateRQ& create = message.msg.NCreateRQ;
    create.MessageID = m_assoc->nextMsgID++;
    OFStandard::strlcpy(create.AffectedSOPClassUID, sopClass, sizeof create.AffectedSOPClassUID);
    OFStandard::strlcpy(create.AffectedSOPInstanceUID, uid.constData(), sizeof create.AffectedSOPInstanceUID);
    create.opts = O_NCREATE_AFFECTEDSOPINSTANCEUID;
    create.DataSetType = DIMSE_DATASET_PRESENT;
    const OFCondition c = DIMSE_sendMessageUsingMemoryData(m_assoc, id, &message, nullptr, &attributes, nullptr, nullptr);
    if (c.bad())
        fail(c, QStringLiteral("N-CREATE"));
    const T_DIMSE_Message answer = awaitAnswer(DIMSE_N_CREATE_RSP, create.MessageID, QStringLiteral("N-CREATE"), detail);
    const T_DIMSE_N_CreateRSP& created = answer.msg.NCreateRSP;
    // A node that made an instance other than the one asked for has not made this one.
    if ((created.opts & O_NCREATE_AFFECTEDSOPINSTANCEUID) && uid != created.AffectedSOPInstanceUID) {
        m_broken = true;
        throw Failure(QStringLiteral("%1 answered the N-CREATE of %2 for another instance, %3.")
                          .arg(m_peer, instanceUid, QString::fromLatin1(created.AffectedSOPInstanceUID)),
                      Failure::Kind::Status);
    }
    return created.DimseStatus;
}

Uint16 Association::setInstance(const char* sopClass, const QString& instanceUid, DcmDataset& modifications,
                                std::unique_ptr<DcmDataset>& detail)
{
    const T_ASC_PresentationContextID id = contextFor(sopClass);
    T_DIMSE_Message message;
    std::memset(&message, 0, sizeof message);
    message.CommandField = DIMSE_N_SET_RQ;
    T_DIMSE_N_SetRQ& set = message.msg.NSetRQ;
    set.MessageID = m_assoc->nextMsgID++;
    OFStandard::strlcpy(set.RequestedSOPClassUID, sopClass, sizeof set.RequestedSOPClassUID);
    OFStandard::strlcpy(set.RequestedSOPInstanceUID, instanceUid.toLatin1().constData(),
                        sizeof set.RequestedSOPInstanceUID);
    set.DataSetType = DIMSE_DATASET_PRESENT;
    const OFCondition c = DIMSE_sendMessageUsingMemoryData(m_assoc, id, &message, nullptr, &modifications, nullptr,
                                                           nullptr);
    if (c.bad())
        fail(c, QStringLiteral("N-SET"));
    return awaitAnswer(DIMSE_N_SET_RSP, set.MessageID, QStringLiteral("N-SET"), detail).msg.NSetRSP.DimseStatus;
}

// ------------------------------------------------------------ the step's part

namespace {

// Success, a warning to be logged, or the refusal thrown.
QString judge(Uint16 status, DcmDataset* detail, const QString& node, const QString& what)
{
    if (status == STATUS_Success)
        return {};
    if (isWarning(status))
        return QStringLiteral("%1 took %2 with %3.").arg(node, what, describeStatus(status, detail));
    Uint16 errorId = 0;
    if (detail)
        detail->findAndGetUint16(DCM_ErrorID, errorId);
    throw StepRefused(QStringLiteral("%1 refused %2: %3.").arg(node, what, describeStatus(status, detail)), status,
                      errorId);
}

} // namespace

StepAssociation::StepAssociation(const QString& host, qint32 port, const QString& calledAETitle,
                                 const QString& callingAETitle, const NetworkTimeouts& timeouts, NetworkGuard& guard,
                                 const TlsSettings& tls)
    : m_node(nodeName(calledAETitle, host, port))
{
    ensureToolkitReady();
    m_association = std::make_unique<Association>(
        host, port, calledAETitle, callingAETitle,
        std::vector<Association::Context>{
            {kMppsSopClass, kUncompressedSyntaxes}},
        QStringLiteral("MPPS"), timeouts, guard, tls);
}

StepAssociation::~StepAssociation() = default;

QString StepAssociation::create(const PerformedStep& step)
{
    const DataSet attributes = stepCreationAttributes(step);
    DcmDataset set = encoded(attributes, false);
    std::unique_ptr<DcmDataset> detail;
    const Uint16 status = m_association->createInstance(kMppsSopClass, step.instanceUid, set, detail);
    return judge(status, detail.get(), m_node, QStringLiteral("the step %1 (N-CREATE)").arg(step.stepId));
}

QString StepAssociation::set(const PerformedStep& step)
{
    const DataSet modifications = stepFinalAttributes(step);
    DcmDataset set = encoded(modifications, finalCharacterSet(step) == QLatin1String("ISO_IR 192"));
    std::unique_ptr<DcmDataset> detail;
    const Uint16 status = m_association->setInstance(kMppsSopClass, step.instanceUid, set, detail);
    return judge(status, detail.get(), m_node,
                 QStringLiteral("the step %1 as %2 (N-SET)").arg(step.stepId, statusText(step.status)));
}

void StepAssociation::release()
{
    m_association->release();
}

QString StepAssociation::protocol() const
{
    return m_association->protocol();
}

QString createStep(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle,
                   const NetworkTimeouts& timeouts, NetworkGuard& guard, const PerformedStep& step,
                   const TlsSettings& tls)
{
    StepAssociation association(host, port, calledAETitle, callingAETitle, timeouts, guard, tls);
    const QString warning = association.create(step);
    association.release();
    return warning;
}

QString setStep(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle,
                const NetworkTimeouts& timeouts, NetworkGuard& guard, const PerformedStep& step,
                const TlsSettings& tls)
{
    StepAssociation association(host, port, calledAETitle, callingAETitle, timeouts, guard, tls);
    const QString warning = association.set(step);
    association.release();
    return warning;
}

} // namespace skiascan::dicom
