#include "delivery/destinations.h"

#include <QStringList>

namespace skiascan {

std::vector<Node> configuredNodes(const RemoteSettings& remotes)
{
    std::vector<Node> nodes;
    for (int row = 0; row < 3; ++row) {
        const QString& setting = remotes[static_cast<std::size_t>(row)];
        if (setting.size() <= 2)
            continue;
        const QStringList fields = setting.split(QLatin1Char('|'));
        Node node;
        node.row = row;
        node.aeTitle = fields.value(0);
        node.host = fields.value(1);
        if (fields.size() < 3) {
            node.problem = QStringLiteral("The destination %1 setting \"%2\" is not of the form AET|address|port.")
                               .arg(row + 1)
                               .arg(setting);
        } else {
            bool ok = false;
            node.port = fields[2].trimmed().toInt(&ok);
            if (!ok)
                node.problem = QStringLiteral("The port \"%1\" of destination %2 (%3) is not a number.")
                                   .arg(fields[2])
                                   .arg(row + 1)
                                   .arg(node.aeTitle);
        }
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
