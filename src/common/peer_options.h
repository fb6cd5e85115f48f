// How the station talks to a peer beyond its AE title, address and port: over
// TLS or in clear text, and whether it asks a node to commit to the images it
// stored. The settings hold these per destination row and for the worklist
// server; the network layer and the delivery read them from here.
#pragma once

#include <QString>

namespace skiascan {

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

    bool operator==(const NodeOptions&) const = default;
};

} // namespace skiascan
