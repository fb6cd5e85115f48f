#include "delivery/destinations.h"

namespace skiascan {

bool NodeId::operator==(const NodeId& other) const
{
    return aeTitle == other.aeTitle && port == other.port
        && host.trimmed().compare(other.host.trimmed(), Qt::CaseInsensitive) == 0;
}

std::vector<Node> configuredNodes(const RemoteNodes& remotes, const std::array<NodeOptions, 3>& options)
{
    std::vector<Node> nodes;
    for (int row = 0; row < 3; ++row) {
        const RemoteNode& remote = remotes[static_cast<std::size_t>(row)];
        if (!remote.isNode)
            continue;
        const Node node{row, remote.aeTitle, remote.host, remote.port, remote.problem,
                        options[static_cast<std::size_t>(row)]};
        bool listed = false;
        for (const Node& earlier : nodes)
            listed = listed || earlier.id() == node.id();
        if (!listed)
            nodes.push_back(node);
    }
    return nodes;
}

const Node* nodeFor(const std::vector<Node>& nodes, const NodeId& owed)
{
    const Node* sameTitle = nullptr;
    int withTitle = 0;
    for (const Node& node : nodes) {
        if (node.id() == owed)
            return &node;
        if (node.aeTitle == owed.aeTitle) {
            sameTitle = &node;
            ++withTitle;
        }
    }
    return withTitle == 1 ? sameTitle : nullptr;
}

} // namespace skiascan
