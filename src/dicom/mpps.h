// Telling the RIS about a performed procedure step: the N-CREATE that opens
// it and the N-SET that ends it (Modality Performed Procedure Step SOP class,
// DICOM PS3.4 F.7), their data sets, and what a refusal means.
#pragma once

#include "dicom/data_set.h"
#include "dicom/network.h"
#include "dicom/performed_step.h"

#include <QString>

#include <memory>

namespace skiascan::dicom {

/// The N-CREATE attribute list of `step` (PS3.4 Table F.7.2-1): every Type 1
/// and Type 2 attribute, the Scheduled Step Attribute Sequence with the order
/// of a scheduled study or, for a study made here, one item with the study's
/// UID and the other values empty (unscheduled, PS3.4 F.7.2.1.1), the status
/// IN PROGRESS, the end date and time present and empty, the Performed Series
/// Sequence empty. Text as the program holds it (UTF-8); sending puts it into
/// the character set that fits (see createStep()). Throws Failure (kind
/// Argument) naming a Type 1 value the step lacks (its UID, ID, station AE
/// title, study UID, start date and time, modality).
DataSet stepCreationAttributes(const PerformedStep& step);

/// The final N-SET modification list of `step`, which must be COMPLETED or
/// DISCONTINUED: the status, the end date and time, the whole Performed Series
/// Sequence (each series with its images' SOP class and instance UIDs) and,
/// for DISCONTINUED, the discontinuation reason. Text as above. Throws Failure
/// (kind Argument) for a step still in progress or lacking a Type 1 value (end
/// date and time, a series' or an image's UIDs).
DataSet stepFinalAttributes(const PerformedStep& step);

/// The character set the N-SET of `step` declares: ISO_IR 192 when its own
/// text or the N-CREATE's needs more than Latin-1 (so that a RIS applying it
/// to the whole step reads every text right), else ISO_IR 100.
QString finalCharacterSet(const PerformedStep& step);

/// A MPPS node answered N-CREATE or N-SET with a failure status. A Failure of
/// kind Status whose description names the node and the status in words
/// ("no such object: the node does not hold this step").
class StepRefused : public Failure {
public:
    StepRefused(const QString& description, quint16 status, quint16 errorId);

    /// The DIMSE status, and the Error ID (0000,0903) that came with it (0 for none).
    quint16 status() const { return m_status; }
    quint16 errorId() const { return m_errorId; }

    /// 0x0111 on N-CREATE: the node holds the step already; an earlier
    /// N-CREATE of it arrived, whose answer was lost.
    bool alreadyCreated() const { return m_status == 0x0111; }
    /// 0x0110 with Error ID 0xA710 on N-SET: the step has ended at the node
    /// (an earlier final N-SET arrived, or the RIS closed it itself) and may no
    /// longer be updated (PS3.4 F.7.2.2.4).
    bool noLongerUpdatable() const { return m_status == 0x0110 && m_errorId == 0xA710; }
    /// 0x0112 on N-SET: the node does not hold the step (its N-CREATE has not
    /// arrived, or the RIS dropped it).
    bool unknownStep() const { return m_status == 0x0112; }

private:
    quint16 m_status;
    quint16 m_errorId;
};

class Association;

/// An association with a MPPS node for one or more messages, the Modality
/// Performed Procedure Step SOP class proposed with Explicit and Implicit VR
/// Little Endian. It waits for the node as `timeouts` say and is bounded by
/// `guard`, which must outlive it. With `tls` enabled it goes over TLS only
/// (see verify()). Throws Failure when the node cannot be reached or refuses
/// the association (kind Rejected also when it does not accept the SOP class).
class StepAssociation {
public:
    StepAssociation(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle,
                    const NetworkTimeouts& timeouts, NetworkGuard& guard, const TlsSettings& tls = {});
    ~StepAssociation();
    StepAssociation(const StepAssociation&) = delete;
    StepAssociation& operator=(const StepAssociation&) = delete;

    /// N-CREATE of `step` with stepCreationAttributes(), its text in ISO_IR 100
    /// when Latin-1 holds it, else ISO_IR 192, declared in (0008,0005).
    /// Returns when the node has created it: an empty text for success, the
    /// status in words for a warning (0x0107 attribute list error, 0x0116
    /// value out of range), to be logged. Throws StepRefused for a failure
    /// status, Failure of another kind when the association is lost or the
    /// step lacks a Type 1 value.
    QString create(const PerformedStep& step);
    /// The final N-SET of `step` with stepFinalAttributes(), in the set
    /// finalCharacterSet() names. Returns and throws as create().
    QString set(const PerformedStep& step);
    /// Releases the association politely.
    void release();
    /// "TLS 1.3" when the association goes over TLS; empty in clear text.
    QString protocol() const;

private:
    QString m_node;
    std::unique_ptr<Association> m_association;
};

/// N-CREATE of `step` on an association of its own (see StepAssociation).
QString createStep(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle,
                   const NetworkTimeouts& timeouts, NetworkGuard& guard, const PerformedStep& step,
                   const TlsSettings& tls = {});

/// The final N-SET of `step` on an association of its own (see StepAssociation).
QString setStep(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle,
                const NetworkTimeouts& timeouts, NetworkGuard& guard, const PerformedStep& step,
                const TlsSettings& tls = {});

} // namespace skiascan::dicom
