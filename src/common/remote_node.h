// A destination row of the settings, "AET|address|port", parsed once into a
// typed value, so that sending, the outbox and the preferences dialog read the
// rows by one rule.
#pragma once

#include <QString>

#include <array>
#include <optional>

namespace skiascan {

/// One destination row, parsed.
struct RemoteNode {
    bool isNode = false; // false for a row of 2 characters or fewer ("", "||"): no node
    QString aeTitle;     // the first field, as written
    QString host;        // the second field, as written
    QString portText;    // the third field, as written (blanks kept); empty when the row has none
    qint32 port = 0;     // the port when portText holds one from 1 to 65535; 0 otherwise
    QString problem;     // why the node cannot be used (no port, a port that is no port number); empty when it can
};

using RemoteNodes = std::array<RemoteNode, 3>; // the rows Remote0, Remote1, Remote2

/// Parses the destination row `text`; `row` (0 to 2) is the row's place among
/// the three and names it in the problem texts. A row of 2 characters or
/// fewer is no node. Otherwise the row is split at '|': the first field is the
/// AE title, the second the address, the third the port, each as written; a
/// fourth field and those after it are ignored. A row of fewer than three
/// fields, or whose port is not a number from 1 to 65535 (blanks around it
/// allowed), is a node with a problem. Never fails.
RemoteNode parseRemoteNode(const QString& text, int row);

/// The three destination rows (Remote0, Remote1, Remote2), parsed.
RemoteNodes parseRemoteNodes(const std::array<QString, 3>& rows);

/// The row text of a node: "AET|address|port" of its fields as written; "||"
/// for no node.
QString remoteNodeText(const RemoteNode& node);

/// The decimal integer a port field holds, blanks around it allowed; nothing
/// when it holds none (or one beyond 32 bits). Says nothing of the range.
std::optional<qint32> portNumber(const QString& field);

} // namespace skiascan
