// Shared by the toolkit's own .cpp files only: the DCMTK side of the toolkit.
#pragma once

#include "common/failure.h"
#include "common/peer_options.h"
#include "dicom/commitment.h"
#include "dicom/dicom_toolkit.h"

#include <dcmtk/config/osconfig.h> // must come first among DCMTK headers

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmnet/dimse.h>

#include <functional>
#include <vector>

class DcmTLSTransportLayer;

namespace skiascan::dicom {

struct DataSet::Impl {
    std::unique_ptr<DcmItem> item;
    std::vector<DcmTagKey> undecodable; // texts that could not be decoded (now empty)
};

struct Image::Impl {
    DcmFileFormat file;
    bool fitsSigned = true;
    DcmDataset& dataset() { return *file.getDataset(); }
};

/// The uncompressed transfer syntaxes, in the order of preference: Explicit VR
/// Little Endian, then Implicit VR Little Endian. Every presentation context
/// the station proposes or accepts offers these, but for Verification, which
/// proposes Implicit VR Little Endian alone.
inline const std::vector<const char*> kUncompressedSyntaxes{UID_LittleEndianExplicitTransferSyntax,
                                                            UID_LittleEndianImplicitTransferSyntax};

/// The transfer syntax UID of a lossless compression; nullptr for None.
const char* transferSyntaxOf(Compression compression);

/// Checks that the data dictionary is loaded and sets DCMTK up, once. Throws
/// Failure when the data dictionary is missing.
void ensureToolkitReady();

/// Makes and drops one network object, once, before any thread makes its own
/// (DCMTK fills shared tables at the first one, without a lock).
void prepareNetworking();

/// Marks a socket close-on-exec. DCMTK's sockets are inherited by default,
/// and the scanner program the station starts would hold them open: a
/// connection its peer then never sees closed, and a listening port that
/// stays taken while a scanner left running after Quit lives on.
void keepFromChildProcesses(int socket);

/// "(gggg,eeee)", the way a tag is named in descriptions.
QString tagText(const DcmTagKey& key);

/// Throws Failure("what: reason") when the condition is bad.
void check(const OFCondition& condition, const QString& what);

/// "status 0xA700 (out of resources): comment", the way a DIMSE status reads.
QString statusText(Uint16 status, DcmDataset* detail);

/// The description of a DCMTK condition, in words and without codes.
QString conditionText(const OFCondition& condition);

/// Attribute access with the toolkit's conversions (see dicom_toolkit.h).
void putText(DcmItem& item, const DcmTagKey& key, const QString& text);
void putDate(DcmItem& item, const DcmTagKey& key, const QDate& date);
void putSequence(DcmItem& item, const DcmTagKey& key, const DataSetCollection& items);
std::optional<QString> getText(DcmItem& item, const DcmTagKey& key);

/// A worklist answer as the program holds it: a copy whose text has been decoded
/// by its own Specific Character Set into UTF-8 (see WorklistQuery::run()).
DataSet answerDataSet(const DcmItem& answer);

/// Decodes an answer's text into UTF-8 in place; the texts that cannot be
/// decoded are emptied and named in `undecodable`.
void decodeAnswer(DcmItem& answer, std::vector<DcmTagKey>& undecodable);

/// A worklist answer as received: parsed from its encoded bytes without
/// reserving memory for lengths beyond them, cut down to the attributes that
/// `request` asks for, and decoded. Throws Failure (kind Limit) for an answer
/// that cannot be parsed, or one whose values claim more than it holds.
DataSet parseAnswer(const unsigned char* data, std::size_t size, E_TransferSyntax transferSyntax,
                    const DcmItem& request);

/// Chooses ISO_IR 100 or ISO_IR 192 for the text in `item` (stored as UTF-8 until
/// now), converts the text to it and records it in (0008,0005). With `onlyIfNeeded`,
/// text that is plain ASCII leaves (0008,0005) as it is.
void applyCharacterSet(DcmItem& item, bool onlyIfNeeded);

/// Reads a TIFF file's pixels into the image's data set (see Image::importFile).
void importTiff(const QString& path, Image::Impl& image);

/// Puts the image into its final form for a peer or a file: the IOD's Type 2
/// attributes present, Laterality as the body part needs it, and the text in
/// the character set that fits.
void prepareForTransfer(Image::Impl& image);

/// What the transport of one association saw of its connection: filled in by
/// the transport as the connection is made and, over TLS, as the handshake goes.
struct TransportWatch {
    bool connected = false; ///< the TCP connection to the peer was made
    bool tls = false;       ///< the association goes over TLS
    QString protocol;       ///< "TLS 1.3" once the handshake is done; empty in clear text
    QString refusal;        ///< why the handshake failed, when it can tell (a certificate, the peer's alert)
};

/// Takes each connection's socket from its transport the moment DCMTK has
/// made or accepted it, before the first byte of DICOM goes over it.
class SocketCatcher {
public:
    virtual ~SocketCatcher() = default;
    /// `socket` is DCMTK's; the catcher may put another connection in its
    /// place (dup2) before DCMTK uses it.
    virtual void caught(int socket) = 0;
};

/// The transport of one network object, requestor or acceptor (`role`), in
/// clear text or, with `tls` enabled, over TLS 1.2 or newer with the peer's
/// certificate verified (see setUpTlsLayer()). It hands every connection's
/// socket to `catcher`; over TLS it notes in `watch`, when given, what the
/// handshakes show. Both must outlive it. Throws Failure (kind Argument)
/// naming `peer` when the TLS settings cannot be used.
std::unique_ptr<DcmTransportLayer> makeTransport(T_ASC_NetworkRole role, const TlsSettings& tls, const QString& peer,
                                                 SocketCatcher& catcher, TransportWatch* watch = nullptr);

/// Connects to `host` (an address or a name, looked up here) at `port`
/// within kConnectSeconds. `guard` holds the socket from the moment it exists,
/// so that it cuts the lookup and the connect as well as what follows.
/// Returns the connected socket (blocking, close-on-exec). Throws Failure
/// naming `peer`: kind Unreachable when the host is not known or does not
/// take the connection, the guard's kind when it fired ("`what` `peer`
/// stopped: ...", `what` being the operation in plain words).
int connectGuarded(const QString& host, qint32 port, NetworkGuard& guard, const QString& peer, const QString& what);

/// A listening socket on the loopback interface, for DCMTK's own connect of
/// a requestor to reach at once; the connection made by connectGuarded() is
/// then put in place of the one DCMTK made (see connector.cpp).
class LoopbackDoor {
public:
    LoopbackDoor();
    ~LoopbackDoor();
    LoopbackDoor(const LoopbackDoor&) = delete;
    LoopbackDoor& operator=(const LoopbackDoor&) = delete;
    /// "127.0.0.1:port", a presentation address for DCMTK.
    QByteArray address() const;

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

/// Gives a TLS layer the authorities of `settings` to trust, the station's
/// certificate and key when set, TLS 1.2 or newer (BCP 195, non-downgrading)
/// and the demand that every peer's certificate verify. Throws Failure (kind
/// Argument) naming `peer` when the settings cannot be used.
void setUpTlsLayer(DcmTLSTransportLayer& layer, const TlsSettings& settings, const QString& peer);

/// One association with a peer, released (or aborted) when destroyed.
class Association {
public:
    /// A presentation context to propose: one abstract syntax, its transfer syntaxes.
    struct Context {
        const char* abstractSyntax;
        std::vector<const char*> transferSyntaxes;
    };

    /// Connects and negotiates. `operation` names what the association is for in
    /// failure descriptions ("C-STORE"). The association waits for the peer as
    /// `timeouts` say; `guard` bounds everything it does from the connect on and
    /// must outlive it. Throws Failure.
    /// With `watchedByGuard`, the guard watches the connection's progress once
    /// the association stands (NetworkGuard::watchProgress()): reads and writes
    /// then wait as long as bytes move, however slowly, instead of being held
    /// to fixed timeouts.
    /// With `tls` enabled the association goes over TLS and nowhere else: a
    /// peer that does not speak it, or whose certificate does not verify, is a
    /// Failure (kind Unreachable) that says so.
    Association(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle,
                const std::vector<Context>& contexts, const QString& operation, const NetworkTimeouts& timeouts,
                NetworkGuard& guard, const TlsSettings& tls, bool watchedByGuard = false);
    ~Association();
    Association(const Association&) = delete;
    Association& operator=(const Association&) = delete;

    /// The accepted presentation context for an abstract syntax. Throws Failure
    /// (kind Rejected) when the peer accepted none.
    T_ASC_PresentationContextID contextFor(const char* abstractSyntax) const;

    /// True when the peer accepted a presentation context for `abstractSyntax`.
    bool accepts(const char* abstractSyntax) const;

    /// The presentation context for `abstractSyntax` that the peer accepted
    /// with exactly `transferSyntax`; 0 when there is none.
    T_ASC_PresentationContextID acceptedContext(const char* abstractSyntax, const char* transferSyntax) const;

    /// C-ECHO; throws unless the status is success.
    void echo();
    /// N-ACTION asking for storage commitment; throws unless the status is success.
    void requestCommitment(const QString& transactionUid, const std::vector<QString>& instanceUids);
    /// C-STORE of a data set on presentation context `context` (0: any the
    /// peer accepted for its SOP class); throws unless the status is success
    /// or a warning.
    void store(DcmDataset& dataset, T_ASC_PresentationContextID context = 0);
    /// C-FIND held to `limits` through the association's guard: each answer's
    /// bytes are counted as they arrive, then parsed with parseAnswer();
    /// `onMatch` receives each answer, decoded. Throws unless the final
    /// status is success.
    void find(const char* abstractSyntax, DcmDataset& identifier, const QueryLimits& limits,
              const std::function<void(DataSet&&)>& onMatch);

    /// N-CREATE of the instance `instanceUid` of `sopClass` with `attributes`,
    /// and N-SET of it with `modifications` (mpps.cpp). Return the status the
    /// peer answered, with its detail (Error ID, Error Comment, the attributes
    /// it names) in `detail`; throw Failure when no answer to the request comes.
    Uint16 createInstance(const char* sopClass, const QString& instanceUid, DcmDataset& attributes,
                          std::unique_ptr<DcmDataset>& detail);
    Uint16 setInstance(const char* sopClass, const QString& instanceUid, DcmDataset& modifications,
                       std::unique_ptr<DcmDataset>& detail);

    /// Releases the association; after a failure the destructor aborts instead.
    void release();

    /// "TLS 1.3" when the association goes over TLS; empty in clear text.
    QString protocol() const { return m_watch.protocol; }

private:
    [[noreturn]] void fail(const OFCondition& condition, const QString& what);
    // The answer to the request `messageId` of an N-service (mpps.cpp).
    T_DIMSE_Message awaitAnswer(T_DIMSE_Command expected, DIC_US messageId, const QString& what,
                                std::unique_ptr<DcmDataset>& detail);
    void close();

    class Catcher;

    T_ASC_Network* m_net = nullptr;
    T_ASC_Association* m_assoc = nullptr;
    TransportWatch m_watch;
    std::unique_ptr<Catcher> m_catcher;
    std::unique_ptr<DcmTransportLayer> m_transport; // outlives m_net, which uses it
    QString m_peer;
    NetworkTimeouts m_timeouts;
    NetworkGuard& m_guard;
    bool m_watched = false;
    bool m_broken = false;
};

} // namespace skiascan::dicom
