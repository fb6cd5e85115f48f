// The second settings file, "Skiascan.options.ini" in the program folder: the
// settings beyond the sixteen lines of "Skiascan.ini", which stays as it is.
// Qt's INI format in UTF-8, with these keys:
//
//   [Worklist]  UseScheduledStudy, Tls, TrustedCertificates, Certificate, PrivateKey
//   [Node0] [Node1] [Node2]  (one per destination row)
//               Tls, TrustedCertificates, Certificate, PrivateKey, StorageCommitment,
//               Compression ("none", "jpeg-ls-lossless", "jpeg-lossless")
//   [Local]     Port
//   [Mpps]      Enabled, AETitle, Host, Port, Tls, TrustedCertificates, Certificate, PrivateKey
//   [View]      ShowEachFilm, HoldForReview
//
// Switches are "true" or "false". A missing file or key means the default.
#pragma once

#include "common/peer_options.h"

#include <QString>
#include <QStringList>

#include <array>

namespace skiascan {

/// The MPPS node: the RIS that hears of each study's performed procedure step.
struct MppsSettings {
    bool enabled = false; ///< report performed procedure steps at all
    QString aeTitle;
    QString host;
    quint16 port = 0; ///< 0 when none is set
    TlsSettings tls;

    bool operator==(const MppsSettings&) const = default;
};

/// The film view, and the review of each film before it is sent.
struct ViewOptions {
    bool showEachFilm = false;  ///< the film view opens by itself after each film
    bool holdForReview = false; ///< no node gets a film until the operator accepts it

    bool operator==(const ViewOptions&) const = default;
};

struct Options {
    /// A worklist pick puts the scheduled study's identity into the images.
    bool useScheduledStudy = false;
    /// How the worklist server is reached.
    TlsSettings worklistTls;
    /// Per destination row (Remote0..Remote2).
    std::array<NodeOptions, 3> nodes{};
    /// The port on which the station takes the nodes' storage commitment
    /// reports; 0 when it takes none.
    quint16 localPort = 0;
    /// Where performed procedure steps are reported.
    MppsSettings mpps;
    /// The film view and the review.
    ViewOptions view;

    bool operator==(const Options&) const = default;
};

/// "Skiascan.options.ini" in the given folder.
QString optionsFilePath(const QString& programFolder);

/// Reads the file. Never fails: a missing file gives the defaults, and a value
/// that cannot be read keeps its default and is named in `problems`.
Options loadOptions(const QString& path, QStringList* problems = nullptr);

/// The options as the network uses them: every PEM path that is relative is
/// made absolute against `programFolder`. The file and the dialog keep the
/// paths as written.
Options withPathsResolved(Options options, const QString& programFolder);
TlsSettings withPathsResolved(TlsSettings tls, const QString& programFolder);

/// Writes every key, through a temporary file renamed over the old one.
/// Throws Failure (kind File) when the file cannot be written.
void saveOptions(const QString& path, const Options& options);

} // namespace skiascan
