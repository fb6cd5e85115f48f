// The transport of every network object, requestor or acceptor, in clear text
// or over TLS: DCMTK's own layer, which hands each connection's socket to a
// catcher the moment the connection exists, before the first byte of DICOM
// goes over it. The catcher gives the socket to the guard that can cut it.

#include "dicom/dcmtk_internal.h"

#include <dcmtk/dcmtls/tlslayer.h>

#include <openssl/ssl.h>

namespace skiascan::dicom {

// In tls_transport.cpp: OpenSSL's callbacks, which note in the TransportWatch
// that a context's app data points to why a handshake failed.
int noteCertificateProblem(int ok, X509_STORE_CTX* store);
void noteHandshake(const SSL* ssl, int where, int value);

namespace {

template <class Base>
class CatchingTransport : public Base {
public:
    template <class... Args>
    explicit CatchingTransport(SocketCatcher& catcher, Args&&... args)
        : Base(std::forward<Args>(args)...)
        , m_catcher(catcher)
    {
    }

    DcmTransportConnection* createConnection(DcmNativeSocketType socket, OFBool useSecureLayer) override
    {
        // The catcher may put another connection in place of this socket's:
        // it comes first, so that the layer wraps the one that is used.
        m_catcher.caught(static_cast<int>(socket));
        return Base::createConnection(socket, useSecureLayer);
    }

private:
    SocketCatcher& m_catcher;
};

} // namespace

std::unique_ptr<DcmTransportLayer> makeTransport(T_ASC_NetworkRole role, const TlsSettings& tls, const QString& peer,
                                                 SocketCatcher& catcher, TransportWatch* watch)
{
    if (!tls.enabled)
        return std::make_unique<CatchingTransport<DcmTransportLayer>>(catcher);
    const auto unusable = [&](const QString& why) {
        return Failure(QStringLiteral("TLS to %1 cannot be set up: %2.").arg(peer, why), Failure::Kind::Argument);
    };
    if (tls.trustedCertificates.trimmed().isEmpty())
        throw unusable(QStringLiteral("no file of trusted authorities is set, and a peer whose certificate cannot be "
                                      "verified is not trusted"));
    if (tls.certificate.trimmed().isEmpty() != tls.privateKey.trimmed().isEmpty())
        throw unusable(QStringLiteral("the station's certificate and its private key go together; only one is set"));
    if (role == NET_ACCEPTOR && tls.certificate.trimmed().isEmpty())
        throw unusable(QStringLiteral("no certificate of this station is set, and a station that takes TLS "
                                      "connections must show one"));
    auto layer = std::make_unique<CatchingTransport<DcmTLSTransportLayer>>(
        catcher, role == NET_ACCEPTOR ? NET_ACCEPTOR : NET_REQUESTOR, nullptr, OFTrue);
    setUpTlsLayer(*layer, tls, peer);
    if (watch) {
        watch->tls = true;
        // Our own callbacks, for the reasons a handshake fails; the context is
        // this network object's alone, so it can point at its watch.
        SSL_CTX* context = layer->getNativeHandle();
        SSL_CTX_set_app_data(context, watch);
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, &noteCertificateProblem);
        SSL_CTX_set_info_callback(context, &noteHandshake);
    }
    return layer;
}

} // namespace skiascan::dicom
