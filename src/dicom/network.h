// The network services: verification (C-ECHO) and the worklist query (C-FIND),
// and what bounds them: the timeouts each association is given, the limits of a
// query, and the guard that watches an operation as a whole. Storage is
// Image::send().
#pragma once

#include "common/failure.h"
#include "common/peer_options.h"
#include "dicom/data_set.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace skiascan::dicom {

/// How long an association waits for its peer, in seconds. Handed to each
/// operation (and through it to its association); the defaults are the
/// workstation's: ACSE 30, DIMSE 60. A transfer has no overall limit: it is cut
/// only when no byte moves for dimseSeconds, so that a node behind a slow link
/// gets every film, however large.
struct NetworkTimeouts {
    int acseSeconds = 30;  ///< negotiating the association
    int dimseSeconds = 60; ///< each DIMSE message, and each blocked read or write on the connection
};

/// How long connecting to a peer may take. DCMTK reads its connect timeout from
/// one process-wide setting at every connect, so it is the same for every
/// association and set once; the operation's guard bounds the rest.
inline constexpr int kConnectSeconds = 10;

/// What a worklist server may do in one query: an overall deadline, and how
/// many answers of what size it may send. Defaults: 2 minutes, 20,000 answers,
/// 64 KB each, 64 MB in all.
struct QueryLimits {
    int deadlineSeconds = 120;
    int answers = 20000;
    qint64 answerBytes = 64 * 1024;
    qint64 totalBytes = 64 * 1024 * 1024;
};

/// The overall deadline of a verification (C-ECHO).
inline constexpr std::chrono::seconds kVerifyDeadline{30};

/// Bounds one network operation and lets other threads watch and stop it: an
/// overall deadline (when it has one), a cancel switch, and a trip for limits the operation
/// checks itself (bytes received). When one of them fires, the guard shuts the
/// operation's connection down, so that every read and write blocked in DCMTK
/// returns at once; the operation then fails with a Failure of kind Cancelled
/// or Limit whose description says what happened. One guard serves one
/// operation at a time. Thread-safe.
class NetworkGuard {
public:
    /// A guard without a deadline: the operation ends when it ends, is cut by
    /// its connection's own timeouts, or is cancelled.
    NetworkGuard();
    /// A guard whose deadline is `deadline` from now.
    explicit NetworkGuard(std::chrono::milliseconds deadline);
    ~NetworkGuard();
    NetworkGuard(const NetworkGuard&) = delete;
    NetworkGuard& operator=(const NetworkGuard&) = delete;

    /// Stops the operation as soon as possible, from any thread.
    void cancel();
    /// Stops the operation because it went beyond a bound, which `reason` names.
    void trip(const QString& reason);

    /// True once the guard has fired (cancelled, tripped, or past its deadline).
    bool fired() const { return m_fired.load(); }
    /// Why it fired, and the kind of failure that makes; empty while it has not.
    QString reason() const;
    Failure::Kind kind() const;

    /// The bytes moved so far and the bytes expected, for a progress bar.
    std::atomic<qint64> bytesDone{0};
    std::atomic<qint64> bytesExpected{0};
    /// Notes the bytes of a transfer moved so far, of `total`, and tells the
    /// progress handler. Called on the operation's thread.
    void progress(qint64 done, qint64 total);
    /// Called at each progress(), on the operation's thread; set it before the
    /// operation starts.
    void setProgressHandler(std::function<void(qint64 done, qint64 total)> handler)
    {
        m_onProgress = std::move(handler);
    }

    /// The connection to shut down when the guard fires. Set by the association
    /// as soon as it is connected; a guard that has already fired shuts it down
    /// at once. The guard keeps a duplicate of `socket` until detach(), so that
    /// it never reaches a socket that has been closed and whose number was
    /// given to another connection meanwhile.
    void attach(int socket);
    /// Forgets the connection; the association calls it before it closes it.
    void detach();

    /// From now on, cuts the operation when no byte has moved on its
    /// connection for `stall`: nothing sent or received, and nothing that was
    /// sent leaving the connection's buffer towards the peer. A slow transfer,
    /// or the wait for an answer while the last bytes still travel, goes on.
    void watchProgress(std::chrono::milliseconds stall);

    /// Bounds one stage of the operation (the association request, a TLS
    /// handshake included): when it has not ended `within` from now, the
    /// guard fires with `reason` and `kind`. unlimit() ends the stage.
    void limit(std::chrono::milliseconds within, const QString& reason, Failure::Kind kind);
    void unlimit();

private:
    void fireLocked(const QString& reason, Failure::Kind kind);
    void fire(const QString& reason, Failure::Kind kind);
    void startWatchdogLocked();
    void watch();
    bool movedLocked(); // true when bytes moved since the last look

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    const std::chrono::steady_clock::time_point m_deadline;
    const std::chrono::milliseconds m_allowed; // zero: no overall deadline
    int m_socket = -1; // our duplicate of the connection's socket
    std::chrono::milliseconds m_stall{0}; // zero: progress is not watched
    std::chrono::steady_clock::time_point m_stageEnd = std::chrono::steady_clock::time_point::max();
    QString m_stageReason;
    Failure::Kind m_stageKind = Failure::Kind::Limit;
    std::chrono::steady_clock::time_point m_lastMoved;
    qint64 m_seenDone = -1;
    int m_seenQueued = -1;
    int m_seenWaiting = -1;
    bool m_stop = false;
    std::atomic<bool> m_fired{false};
    QString m_reason;
    Failure::Kind m_kind = Failure::Kind::Limit;
    std::thread m_watchdog;
    std::function<void(qint64, qint64)> m_onProgress;
};

class Association;
class Image;

/// An association for storing images at one node, one image after another
/// (Secondary Capture storage, Explicit and Implicit VR Little Endian
/// proposed; with `askCommitment`, the Storage Commitment Push Model too;
/// with a `compression`, a second context for Secondary Capture in that
/// lossless syntax, proposed first). The association waits for the node as
/// `timeouts` say; `guard` bounds it from the connect on, counts the bytes of
/// the image under way and lets another thread cancel it; it must outlive the
/// association. With `tls` enabled the association goes over TLS only (see
/// verify()). Throws Failure when the node cannot be reached or refuses the
/// association, or when TLS cannot be set up or the node's certificate does
/// not verify.
class StoreAssociation {
public:
    StoreAssociation(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle,
                     const NetworkTimeouts& timeouts, NetworkGuard& guard, const TlsSettings& tls = {},
                     bool askCommitment = false, Compression compression = Compression::None);
    ~StoreAssociation();
    StoreAssociation(const StoreAssociation&) = delete;
    StoreAssociation& operator=(const StoreAssociation&) = delete;

    /// The compression in which the node accepted Secondary Capture images on
    /// this association: the one offered when it accepted it, else None (it
    /// takes them uncompressed only, or none was offered). Known as soon as the
    /// association stands, before the first image, so that a caller can see to
    /// the compressed copies it will need.
    Compression acceptedCompression() const;

    /// What store() sent.
    struct Stored {
        Compression syntax = Compression::None; ///< the transfer syntax the image went in; None: uncompressed
        QString copyUnused; ///< why the compressed copy given was not sent although the node took its syntax; else empty
    };

    /// Stores `image` and returns when the node has confirmed it with a success
    /// or warning status. `compressedCopy` is the path of a copy of the image
    /// written by encodeCopy() (dicom/compression.h), or empty. When the node
    /// accepted the offered compression and the copy is this image in that
    /// syntax, the copy is sent in place of the image; otherwise the image goes
    /// uncompressed, and `copyUnused` says why the copy did not go when one was
    /// given (it cannot be read, is damaged, or is another syntax or image).
    /// Throws Failure: of kind Status when the node refused this image (the
    /// association may go on with the next), also when the node takes images
    /// only compressed and no usable copy was given; of any other kind when the
    /// association is lost.
    Stored store(Image& image, const QString& compressedCopy = {});
    /// True when the node accepted the Storage Commitment Push Model on this
    /// association (it was proposed with `askCommitment`).
    bool acceptsCommitment() const;
    /// Asks the node to commit to `instanceUids` (N-ACTION, see requestCommitment()
    /// in dicom/commitment.h). Throws Failure: of kind Status when the node
    /// refused the request, another kind when the association is lost.
    void requestCommitment(const QString& transactionUid, const std::vector<QString>& instanceUids);
    /// Releases the association politely.
    void release();
    /// "TLS 1.3" when the association goes over TLS; empty in clear text.
    QString protocol() const;

private:
    QString m_peer;
    Compression m_offered = Compression::None;
    std::unique_ptr<Association> m_association;
};

/// A query of a worklist server (Modality Worklist Information Model, C-FIND).
/// Its properties are set before run().
class WorklistQuery {
public:
    QString host;
    qint32 port = 0;
    QString calledAETitle;
    QString callingAETitle;
    QString root; ///< the query root; "WORKLIST" is the only one known
    NetworkTimeouts timeouts; ///< of the query's association
    QueryLimits limits;       ///< what the server may send, and for how long
    TlsSettings tls;          ///< the query goes over TLS only when enabled (see verify())

    /// Sends the identifier and returns every matching data set, in the order the
    /// server sent them. Each answer's text is decoded by its own Specific
    /// Character Set (Latin-1, UTF-8, and the other sets DCMTK can convert); an
    /// answer without one is read as UTF-8 when it is valid UTF-8, else as
    /// Latin-1; what cannot be decoded is named by DataSet::undecodable(). The
    /// query is held to `limits`, checked while the answers arrive, so that no
    /// server can hold the workstation or fill its memory. `guard`, when given,
    /// bounds the query in place of the deadline of `limits` and lets another
    /// thread cancel it; it must outlive the call.
    /// Throws Failure when the server cannot be reached, refuses the query, does
    /// not answer in time, goes beyond the limits (kind Limit), is cancelled
    /// (kind Cancelled) or ends the query with a failure status.
    DataSetCollection run(const DataSet& identifier, NetworkGuard* guard = nullptr) const;
};

/// What a verification found out besides the node's answer.
struct Verification {
    QString protocol;               ///< "TLS 1.3" when it went over TLS; empty in clear text
    bool acceptsCommitment = false; ///< it accepted the Storage Commitment Push Model
    bool acceptsMpps = false;       ///< it accepted the Modality Performed Procedure Step SOP class
};

/// The service a verification asks about besides the echo: what the node is
/// configured for.
enum class VerifiedService {
    StorageCommitment, ///< a storage node: the Storage Commitment Push Model
    Mpps,              ///< a RIS: the Modality Performed Procedure Step SOP class
};

/// Sends a C-ECHO to a node and returns when it has answered with success; the
/// association proposes `also` too (the Storage Commitment Push Model unless
/// told otherwise), and the answer says whether the node accepted it. Throws
/// Failure otherwise. The
/// association waits as `timeouts` say; the whole exchange is bounded by
/// `guard` when one is given, else by kVerifyDeadline.
/// With `tls` enabled nothing goes in clear text: TLS 1.2 or newer, the
/// node's certificate verified against the trusted authorities of `tls` (the
/// station shows its own certificate when `tls` names one). A node that does
/// not speak TLS, or whose certificate does not verify, is a Failure of kind
/// Unreachable that says why ("the node's certificate expired on ...");
/// settings that cannot be used (no trusted authorities, a file that cannot
/// be read) are a Failure of kind Argument, before any connection.
Verification verify(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle,
                    const NetworkTimeouts& timeouts = {}, NetworkGuard* guard = nullptr, const TlsSettings& tls = {},
                    VerifiedService also = VerifiedService::StorageCommitment);

/// "AET (host:port)", the name a node goes by in messages.
QString nodeName(const QString& aeTitle, const QString& host, qint32 port);

} // namespace skiascan::dicom
