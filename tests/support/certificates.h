// Certificates for the tests of DICOM over TLS, made with openssl at run time
// in a folder of their own: an authority, and keys and certificates it signs.
#pragma once

#include <QString>
#include <QTemporaryDir>

namespace skiascan::test {

/// A private certificate authority (RSA 2048, valid for two days).
class TestAuthority {
public:
    explicit TestAuthority(const QString& name = QStringLiteral("Skiascan Test Authority"));

    /// The authority's certificate (PEM), the file a peer trusts.
    QString certificate() const { return m_dir.filePath(QStringLiteral("authority.pem")); }

    struct Issued {
        QString certificate; ///< PEM
        QString privateKey;  ///< PEM, unencrypted
    };
    /// A new key and a certificate for `commonName` signed by the authority,
    /// valid from now for `days` (0: it expires a second later).
    Issued issue(const QString& commonName, int days = 2);

private:
    void openssl(const QStringList& arguments);

    QTemporaryDir m_dir;
};

} // namespace skiascan::test
