// The remote nodes images are sent to, as the settings name them: up to three
// rows of "AET|address|port", parsed into RemoteNodes. A node is known by its
// AE title: an image kept for a node is owed to that AE title, wherever it
// stands in the rows.
#pragma once

#include "common/remote_node.h"
#include "dicom/network.h"

#include <QString>

#include <vector>

namespace skiascan {

/// A configured remote node.
struct Node {
    int row = 0;      // 0 to 2: which of Remote0..Remote2
    QString aeTitle;
    QString host;
    qint32 port = 0;
    QString problem;  // why the row cannot be used (no port, a port that is no port number); empty when it can
    QString name() const { return dicom::nodeName(aeTitle, host, port); }
};

/// The configured nodes, in row order: the rows that are nodes. A node with a
/// problem keeps it, and every send to it reports it. A second row with an AE
/// title already listed is left out: images are owed to AE titles.
std::vector<Node> configuredNodes(const RemoteNodes& remotes);

/// The configured node of an AE title; null when none is.
const Node* nodeWithTitle(const std::vector<Node>& nodes, const QString& aeTitle);

} // namespace skiascan
