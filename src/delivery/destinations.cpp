#include "delivery/destinations.h"

namespace skiascan {

std::vector<Node> configuredNodes(const RemoteNodes& remotes)
{
    std::vector<Node> nodes;
    for (int row = 0; row < 3; ++row) {
        const RemoteNode& remote = remotes[static_cast<std::size_t>(row)];
        if (!remote.isNode)
            continue;
        const Node node{row, remote.aeTitle, remote.host, remote.port, remote.problem};
        if (!nodeWithTitle(nodes, node.aeTitle))
            nodes.push_back(node);
    }
    return nodes;
}

const Node* nodeWithTitle(const std::vector<Node>& nodes, const QString& aeTitle)
{
    for (const Node& node : nodes)
        if (node.aeTitle == aeTitle)
            return &node;
    return nullptr;
}

} // namespace skiascan
