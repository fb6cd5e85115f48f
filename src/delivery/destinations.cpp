#include "delivery/destinations.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

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

bool hostMatches(const QString& host, const QString& address)
{
    const QString wanted = host.trimmed();
    if (wanted.compare(address, Qt::CaseInsensitive) == 0)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(wanted.toLatin1().constData(), nullptr, &hints, &found) != 0)
        return false;
    bool matches = false;
    for (const addrinfo* a = found; a && !matches; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const void* raw = a->ai_family == AF_INET
            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr)
            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr);
        if (::inet_ntop(a->ai_family, raw, text, sizeof text))
            matches = address == QLatin1String(text);
    }
    ::freeaddrinfo(found);
    return matches;
}

const Node* nodeCalling(const std::vector<Node>& nodes, const QString& aeTitle, const QString& address)
{
    for (const Node& node : nodes)
        if (node.aeTitle == aeTitle && hostMatches(node.host, address))
            return &node;
    return nullptr;
}

} // namespace skiascan
