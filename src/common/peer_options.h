// How the station talks to a peer beyond its AE title, address and port: over
// TLS or in clear text, whether it asks a node to commit to the images it
// stored, and whether it offers a node its images losslessly compressed. The settings hold these per destination row and for the worklist
// server; the network layer and the delivery read them from here.
#pragma once

#include <QString>

#include <optional>

namespace skiascan {

/// The lossless compression in which images are offered to a node. With one
/// chosen, the association proposes it beside the uncompressed transfer
/// syntaxes and the node's answer decides; as the syntax an image went in,
/// None means uncompressed.
enum class Compression {
    None,           ///< Explicit or Implicit VR Little Endian
    JpegLsLossless, ///< JPEG-LS Lossless (1.2.840.10008.1.2.4.80)
    JpegLossless,   ///< JPEG Lossless, first-order prediction (1.2.840.10008.1.2.4.70)
};

/// The value of `NodeN/Compression` in the options file: "none",
/// "jpeg-ls-lossless" or "jpeg-lossless".
inline QString compressionKey(Compression compression)
{
    switch (compression) {
    case Compression::JpegLsLossless:
        return QStringLiteral("jpeg-ls-lossless");
    case Compression::JpegLossless:
        return QStringLiteral("jpeg-lossless");
    case Compression::None:
        break;
    }
    return QStringLiteral("none");
}

/// The compression an options file value names (case and blanks around it do
/// not matter); nothing for a text that names none.
inline std::optional<Compression> compressionFromKey(const QString& key)
{
    for (Compression c : {Compression::None, Compression::JpegLsLossless, Compression::JpegLossless})
        if (key.trimmed().compare(compressionKey(c), Qt::CaseInsensitive) == 0)
            return c;
    return std::nullopt;
}

/// How the outbox window and the log name the syntax an image went in:
/// "uncompressed", "JPEG-LS lossless" or "JPEG lossless".
inline QString compressionName(Compression compression)
{
    switch (compression) {
    case Compression::JpegLsLossless:
        return QStringLiteral("JPEG-LS lossless");
    case Compression::JpegLossless:
        return QStringLiteral("JPEG lossless");
    case Compression::None:
        break;
    }
    return QStringLiteral("uncompressed");
}

/// DICOM over TLS for one peer. The files are PEM; a relative path is relative
/// to the program folder.
struct TlsSettings {
    bool enabled = false;
    QString trustedCertificates; ///< the authorities whose certificates the station trusts
    QString certificate;         ///< the station's own certificate, for peers that ask for one; may be empty
    QString privateKey;          ///< the key of that certificate; may be empty

    bool operator==(const TlsSettings&) const = default;
};

/// What the settings say of one destination row besides the row itself.
struct NodeOptions {
    TlsSettings tls;
    bool storageCommitment = false; ///< ask the node to commit to every image it stored
    Compression compression = Compression::None; ///< offer the node its images compressed so

    bool operator==(const NodeOptions&) const = default;
};

} // namespace skiascan
