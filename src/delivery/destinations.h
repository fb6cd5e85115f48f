// The remote nodes images are sent to, as the settings name them: up to three
// rows of "AET|address|port", parsed into RemoteNodes. A node is its AE title,
// address and port: two rows with one AE title at different addresses are two
// nodes, and each gets every film.
#pragma once

#include "common/peer_options.h"
#include "common/remote_node.h"
#include "dicom/network.h"

#include <QString>

#include <vector>

namespace skiascan {

/// What makes a node the node it is.
struct NodeId {
    QString aeTitle;
    QString host;
    qint32 port = 0;

    /// The same AE title, port and address (addresses compared without case
    /// and blanks around them).
    bool operator==(const NodeId& other) const;
    QString name() const { return dicom::nodeName(aeTitle, host, port); }
};

/// A configured remote node.
struct Node {
    int row = 0;      // 0 to 2: which of Remote0..Remote2
    QString aeTitle;
    QString host;
    qint32 port = 0;
    QString problem;  // why the row cannot be used (no port, a port that is no port number); empty when it can
    NodeOptions options; // TLS and storage commitment, as set for the row
    NodeId id() const { return {aeTitle, host, port}; }
    QString name() const { return dicom::nodeName(aeTitle, host, port); }
};

/// The configured nodes, in row order: the rows that are nodes. A node with a
/// problem keeps it, and every send to it reports it. A row naming the same
/// node as a row before it is left out: the node is listed once. Each node
/// takes the options of its row.
std::vector<Node> configuredNodes(const RemoteNodes& remotes, const std::array<NodeOptions, 3>& options = {});

/// The configured node that an image owed to `owed` goes to: the node itself;
/// else, when its AE title stands in exactly one row, that row's node (the
/// node has moved); else none (the node is gone, the operator decides).
const Node* nodeFor(const std::vector<Node>& nodes, const NodeId& owed);

/// True when `address` (an IP address) is `host`, which may be an address or
/// a name (looked up).
bool hostMatches(const QString& host, const QString& address);

/// The configured node that calls this station as `aeTitle` from `address`
/// (an IP address): its AE title and its address; none when no node does.
const Node* nodeCalling(const std::vector<Node>& nodes, const QString& aeTitle, const QString& address);

} // namespace skiascan
