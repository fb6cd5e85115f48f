// DICOM over TLS: the TLS layer of one association, set up with the station's
// trusted authorities and its own certificate, and the words for the ways a
// handshake fails. TLS 1.2 or newer with the non-downgrading BCP 195 profile
// (PS3.15 B.9); the peer's certificate must verify, or nothing is sent.

#include "dicom/dcmtk_internal.h"

#include <dcmtk/dcmtls/tlslayer.h>

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

namespace skiascan::dicom {

namespace {

// The moment an ASN1_TIME stands for, or an invalid QDateTime.
QDateTime timeOf(const ASN1_TIME* time)
{
    struct tm parts {};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1)
        return {};
    return QDateTime(QDate(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday),
                     QTime(parts.tm_hour, parts.tm_min, parts.tm_sec), Qt::UTC);
}

QString dayOf(const ASN1_TIME* time)
{
    const QDateTime moment = timeOf(time);
    return moment.isValid() ? moment.date().toString(Qt::ISODate) : QStringLiteral("an unreadable date");
}

// The first reason OpenSSL found to distrust the peer's certificate chain, put
// as an operator would read it.
QString certificateProblem(int error, X509* certificate, int depth)
{
    const QString whose = depth == 0 ? QStringLiteral("the node's certificate")
                                     : QStringLiteral("the authority that signed the node's certificate");
    switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return QStringLiteral("%1 expired on %2").arg(whose, dayOf(certificate ? X509_get0_notAfter(certificate) : nullptr));
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return QStringLiteral("%1 is valid only from %2 on")
            .arg(whose, dayOf(certificate ? X509_get0_notBefore(certificate) : nullptr));
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return QStringLiteral("the node's certificate is not signed by an authority this station trusts");
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return QStringLiteral("%1 carries a signature that does not verify").arg(whose);
    case X509_V_ERR_CERT_REVOKED:
        return QStringLiteral("%1 has been revoked").arg(whose);
    default:
        return QStringLiteral("%1 does not verify (%2)").arg(whose, QString::fromLatin1(X509_verify_cert_error_string(error)));
    }
}

// The TLS alerts by which a peer says it does not accept this station's
// certificate (RFC 8446 6.2).
bool refusesOurCertificate(int alert)
{
    switch (alert) {
    case 42:  // bad_certificate
    case 43:  // unsupported_certificate
    case 44:  // certificate_revoked
    case 45:  // certificate_expired
    case 46:  // certificate_unknown
    case 48:  // unknown_ca
    case 49:  // access_denied
    case 116: // certificate_required
        return true;
    default:
        return false;
    }
}

// DCMTK's TLS layer for one association, which prepares each connection the
// way the plain one does (socket timeouts, the guard), and notes what the
// handshake showed in the association's watch.
class TlsTransport : public DcmTLSTransportLayer {
public:
    TlsTransport(int socketSeconds, NetworkGuard& guard, TransportWatch& watch)
        : DcmTLSTransportLayer(NET_REQUESTOR, nullptr, OFTrue)
        , m_socketSeconds(socketSeconds)
        , m_guard(guard)
        , m_watch(watch)
    {
        m_watch.tls = true;
    }

    DcmTransportConnection* createConnection(DcmNativeSocketType socket, OFBool useSecureLayer) override
    {
        DcmTransportConnection* connection = DcmTLSTransportLayer::createConnection(socket, useSecureLayer);
        if (connection)
            prepareConnection(static_cast<int>(socket), m_socketSeconds, m_guard, m_watch);
        return connection;
    }

    // Called by OpenSSL for every certificate of the peer's chain; the first
    // failure is the one worth telling. The verdict stays OpenSSL's.
    static int onVerify(int ok, X509_STORE_CTX* store)
    {
        if (!ok) {
            auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
            auto* self = ssl ? static_cast<TlsTransport*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl))) : nullptr;
            if (self && self->m_watch.refusal.isEmpty())
                self->m_watch.refusal = certificateProblem(X509_STORE_CTX_get_error(store),
                                                           X509_STORE_CTX_get_current_cert(store),
                                                           X509_STORE_CTX_get_error_depth(store));
        }
        return ok;
    }

    // Called by OpenSSL as the handshake goes: notes the protocol once it is
    // done, and the alert with which the peer ends it.
    static void onState(const SSL* ssl, int where, int value)
    {
        auto* self = static_cast<TlsTransport*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
        if (!self)
            return;
        if (where & SSL_CB_HANDSHAKE_DONE)
            self->m_watch.protocol = QString::fromLatin1(SSL_get_version(ssl)).replace(QLatin1String("TLSv"),
                                                                                        QLatin1String("TLS "));
        // A fatal alert only: a warning such as close_notify is a polite goodbye.
        if ((where & SSL_CB_READ_ALERT) && (value >> 8) == SSL3_AL_FATAL && self->m_watch.refusal.isEmpty()) {
            const int alert = value & 0xFF;
            const QString name = QString::fromLatin1(SSL_alert_desc_string_long(value));
            self->m_watch.refusal = refusesOurCertificate(alert)
                ? QStringLiteral("the node does not accept this station's certificate (%1)").arg(name)
                : QStringLiteral("the node broke off the TLS connection (%1)").arg(name);
        }
    }

private:
    int m_socketSeconds;
    NetworkGuard& m_guard;
    TransportWatch& m_watch;
};

QString fileProblem(const QString& what, const QString& path)
{
    const QFileInfo file(path);
    if (!file.exists())
        return QStringLiteral("the %1 file \"%2\" does not exist").arg(what, path);
    if (!file.isReadable())
        return QStringLiteral("the %1 file \"%2\" cannot be read").arg(what, path);
    return QStringLiteral("the %1 file \"%2\" is not a PEM file that holds one").arg(what, path);
}

} // namespace

std::unique_ptr<DcmTransportLayer> makeTlsTransport(const TlsSettings& settings, const QString& peer, int socketSeconds,
                                                    NetworkGuard& guard, TransportWatch& watch)
{
    const auto unusable = [&](const QString& why) {
        return Failure(QStringLiteral("TLS to %1 cannot be set up: %2.").arg(peer, why), Failure::Kind::Argument);
    };
    if (settings.trustedCertificates.trimmed().isEmpty())
        throw unusable(QStringLiteral("no file of trusted authorities is set, and a node whose certificate cannot be "
                                      "verified gets no images"));
    if (settings.certificate.trimmed().isEmpty() != settings.privateKey.trimmed().isEmpty())
        throw unusable(QStringLiteral("the station's certificate and its private key go together; only one is set"));

    auto layer = std::make_unique<TlsTransport>(socketSeconds, guard, watch);
    setUpTlsLayer(*layer, settings, peer);
    // Our own callbacks, for the reasons a handshake fails; the context is
    // this association's alone, so it can point back at its layer.
    SSL_CTX* context = layer->getNativeHandle();
    SSL_CTX_set_app_data(context, layer.get());
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, &TlsTransport::onVerify);
    SSL_CTX_set_info_callback(context, &TlsTransport::onState);
    return layer;
}

void setUpTlsLayer(DcmTLSTransportLayer& layer, const TlsSettings& settings, const QString& peer)
{
    const auto unusable = [&](const QString& why) {
        return Failure(QStringLiteral("TLS to %1 cannot be set up: %2.").arg(peer, why), Failure::Kind::Argument);
    };
    if (!layer)
        throw unusable(QStringLiteral("the TLS library cannot be started"));
    const QByteArray trusted = QFile::encodeName(settings.trustedCertificates);
    if (layer.addTrustedCertificateFile(trusted.constData(), DCF_Filetype_PEM).bad())
        throw unusable(fileProblem(QStringLiteral("trusted certificates"), settings.trustedCertificates));
    if (!settings.certificate.trimmed().isEmpty()) {
        const QByteArray key = QFile::encodeName(settings.privateKey);
        const QByteArray certificate = QFile::encodeName(settings.certificate);
        if (layer.setPrivateKeyFile(key.constData(), DCF_Filetype_PEM).bad())
            throw unusable(fileProblem(QStringLiteral("private key"), settings.privateKey));
        if (layer.setCertificateFile(certificate.constData(), DCF_Filetype_PEM).bad())
            throw unusable(fileProblem(QStringLiteral("certificate"), settings.certificate));
        if (!layer.checkPrivateKeyMatchesCertificate())
            throw unusable(QStringLiteral("the private key \"%1\" does not belong to the certificate \"%2\"")
                               .arg(settings.privateKey, settings.certificate));
    }
    if (layer.setTLSProfile(TSP_Profile_BCP195_ND).bad() || layer.activateCipherSuites().bad())
        throw unusable(QStringLiteral("the TLS library offers none of the cipher suites DICOM asks for"));
    layer.setCertificateVerification(DCV_requireCertificate);
}

} // namespace skiascan::dicom
