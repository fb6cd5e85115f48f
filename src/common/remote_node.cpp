#include "common/remote_node.h"

#include <QStringList>

namespace skiascan {

RemoteNode parseRemoteNode(const QString& text, int row)
{
    RemoteNode node;
    // "||" is how the file says "no node"; so is anything as short.
    if (text.size() <= 2)
        return node;
    node.isNode = true;
    const QStringList fields = text.split(QLatin1Char('|'));
    node.aeTitle = fields.value(0);
    node.host = fields.value(1);
    node.portText = fields.value(2);
    if (fields.size() < 3) {
        node.problem = QStringLiteral("The destination %1 setting \"%2\" is not of the form AET|address|port.")
                           .arg(row + 1)
                           .arg(text);
        return node;
    }
    const std::optional<qint32> port = portNumber(node.portText);
    if (!port)
        node.problem = QStringLiteral("The port \"%1\" of destination %2 (%3) is not a number.")
                           .arg(node.portText)
                           .arg(row + 1)
                           .arg(node.aeTitle);
    else if (*port < 1 || *port > 65535)
        node.problem = QStringLiteral("The port \"%1\" of destination %2 (%3) is not a port number from 1 to 65535.")
                           .arg(node.portText)
                           .arg(row + 1)
                           .arg(node.aeTitle);
    else
        node.port = *port;
    return node;
}

RemoteNodes parseRemoteNodes(const std::array<QString, 3>& rows)
{
    RemoteNodes nodes;
    for (int row = 0; row < 3; ++row)
        nodes[static_cast<std::size_t>(row)] = parseRemoteNode(rows[static_cast<std::size_t>(row)], row);
    return nodes;
}

QString remoteNodeText(const RemoteNode& node)
{
    if (!node.isNode)
        return QStringLiteral("||");
    return node.aeTitle + QLatin1Char('|') + node.host + QLatin1Char('|') + node.portText;
}

std::optional<qint32> portNumber(const QString& field)
{
    bool ok = false;
    const qint32 number = field.trimmed().toInt(&ok);
    if (!ok)
        return std::nullopt;
    return number;
}

} // namespace skiascan
