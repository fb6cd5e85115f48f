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
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmnet/dimse.h>

#include <functional>

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

/// Gives a connection just made the association's read and write timeouts
/// (none when `socketSeconds` is 0), hands its socket to `guard` and notes it
/// in `watch`.
void prepareConnection(int socket, int socketSeconds, NetworkGuard& guard, TransportWatch& watch);

/// A TLS layer for one association with `peer` (named in failures), requestor
/// side: trusts the authorities of `settings`, shows the station's certificate
/// when one is set, proposes TLS 1.2 or newer (BCP 195, non-downgrading) and
/// requires the peer's certificate to verify. Its connections are prepared
/// with prepareConnection(); `guard` and `watch` must outlive it. Throws
/// Failure (kind Argument) when the settings cannot be used: no trusted
/// authorities, a file that cannot be read, a key that does not fit.
std::unique_ptr<DcmTransportLayer> makeTlsTransport(const TlsSettings& settings, const QString& peer, int socketSeconds,
                                                    NetworkGuard& guard, TransportWatch& watch);

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

    /// C-ECHO; throws unless the status is success.
    void echo();
    /// N-ACTION asking for storage commitment; throws unless the status is success.
    void requestCommitment(const QString& transactionUid, const std::vector<QString>& instanceUids);
    /// C-STORE of a data set; throws unless the status is success or a warning.
    void store(DcmDataset& dataset);
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

    T_ASC_Network* m_net = nullptr;
    T_ASC_Association* m_assoc = nullptr;
    TransportWatch m_watch;
    std::unique_ptr<DcmTransportLayer> m_transport; // outlives m_net, which uses it
    QString m_peer;
    NetworkTimeouts m_timeouts;
    NetworkGuard& m_guard;
    bool m_watched = false;
    bool m_broken = false;
};

} // namespace skiascan::dicom
