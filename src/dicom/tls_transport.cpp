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

} // namespace

// Called by OpenSSL for every certificate of the peer's chain; the first
// failure is the one worth telling. The verdict stays OpenSSL's.
int noteCertificateProblem(int ok, X509_STORE_CTX* store)
{
    if (!ok) {
        auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        auto* watch = ssl ? static_cast<TransportWatch*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl))) : nullptr;
        if (watch && watch->refusal.isEmpty())
            watch->refusal = certificateProblem(X509_STORE_CTX_get_error(store), X509_STORE_CTX_get_current_cert(store),
                                                X509_STORE_CTX_get_error_depth(store));
    }
    return ok;
}

// Called by OpenSSL as the handshake goes: notes the protocol once it is done,
// and the alert with which the peer ends it.
void noteHandshake(const SSL* ssl, int where, int value)
{
    auto* watch = static_cast<TransportWatch*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (!watch)
        return;
    if (where & SSL_CB_HANDSHAKE_DONE)
        watch->protocol = QString::fromLatin1(SSL_get_version(ssl)).replace(QLatin1String("TLSv"), QLatin1String("TLS "));
    // A fatal alert only: a warning such as close_notify is a polite goodbye.
    if ((where & SSL_CB_READ_ALERT) && (value >> 8) == SSL3_AL_FATAL && watch->refusal.isEmpty()) {
        const int alert = value & 0xFF;
        const QString name = QString::fromLatin1(SSL_alert_desc_string_long(value));
        watch->refusal = refusesOurCertificate(alert)
            ? QStringLiteral("the node does not accept this station's certificate (%1)").arg(name)
            : QStringLiteral("the node broke off the TLS connection (%1)").arg(name);
    }
}

namespace {

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
