// Storage commitment (Push Model): asking a node to take responsibility for
// images it stored (N-ACTION), and the listener that takes the node's report
// on a new association it opens to the station (N-EVENT-REPORT).
#pragma once

#include "dicom/network.h"

#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace skiascan::dicom {

/// The Storage Commitment Push Model SOP class (DICOM PS3.4 J.3).
inline constexpr const char* kStorageCommitmentSopClass = "1.2.840.10008.1.20.1";

/// The most images one commitment request names; more go in further requests.
inline constexpr int kCommitmentBatch = 500;

/// Asks a node to commit to the images `instanceUids` (Secondary Capture, the
/// only images this station makes) under `transactionUid` on an association
/// of its own (the Storage Commitment Push Model only). Returns when the node
/// has answered the request with success: it then reports later, on an
/// association it opens to the station. The association waits as `timeouts`
/// say and is bounded by `guard`, which must outlive the call. Throws Failure:
/// of kind Rejected when the node does not accept storage commitment, Status
/// when it refused the request, another kind when it cannot be reached. With
/// `tls` enabled the association goes over TLS only.
void requestCommitment(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle,
                       const NetworkTimeouts& timeouts, NetworkGuard& guard, const QString& transactionUid,
                       const std::vector<QString>& instanceUids, const TlsSettings& tls = {});

/// A node's report on one transaction, as received.
struct CommitmentReport {
    QString transactionUid;
    std::vector<QString> committed; ///< SOP Instance UIDs the node has taken responsibility for
    std::vector<QString> failed;    ///< SOP Instance UIDs it could not commit to
    QString callingAETitle;         ///< who reported
    QString address;                ///< from where (an IP address)
};

/// What a report listener may take from one association: how long it may last
/// and how many bytes one report may have. Defaults: 2 minutes, 16 MB (a
/// report on thousands of images is far below).
struct ListenerLimits {
    int deadlineSeconds = 120;
    qint64 reportBytes = 16 * 1024 * 1024;
    int messages = 1000; ///< requests on one association
};

/// Accepts associations on a port of the station, one after another on a
/// thread of its own, for the Storage Commitment Push Model and Verification
/// only. An association is accepted only when it calls the station's AE title
/// and `accept` says yes to its calling AE title and address; every other is
/// refused and logged. Each report is handed to `onReport` (on the listener's
/// thread) and answered with success, or with a processing failure when
/// `onReport` throws. Every association is held to `timeouts` and `limits`.
class CommitmentListener {
public:
    using Acceptor = std::function<bool(const QString& callingAETitle, const QString& address)>;
    using ReportHandler = std::function<void(const CommitmentReport& report)>;

    /// Opens the port (on every address) and starts listening. With `tls`
    /// enabled every caller must speak TLS and show a certificate signed by an
    /// authority of `tls`; the station shows its own certificate of `tls`,
    /// which a listener over TLS needs. Throws Failure when the port cannot be
    /// opened (in use, or below 1024 without the right) or the TLS settings
    /// cannot be used.
    CommitmentListener(quint16 port, const QString& localAETitle, const NetworkTimeouts& timeouts,
                       const ListenerLimits& limits, Acceptor accept, ReportHandler onReport,
                       const TlsSettings& tls = {});
    /// Stops: an association under way is cut; returns within about a second.
    ~CommitmentListener();
    CommitmentListener(const CommitmentListener&) = delete;
    CommitmentListener& operator=(const CommitmentListener&) = delete;

    quint16 port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace skiascan::dicom
