// The remote nodes images are sent to, as the settings name them: up to three
// rows of "AET|address|port".
#pragma once

#include "dicom/network.h"

#include <QString>

#include <array>
#include <vector>

namespace skiascan {

using RemoteSettings = std::array<QString, 3>; // Remote0, Remote1, Remote2

/// A remote node from its setting "AET|address|port".
struct Destination {
    int slot = 0;
    QString aeTitle;
    QString host;
    qint32 port = 0;
    QString name() const { return dicom::nodeName(aeTitle, host, port); }
};

/// The nodeSlots whose setting is longer than 2 characters (so "||" is no node).
std::vector<int> configuredSlots(const RemoteSettings& remotes);

/// Parses the setting of a slot. Throws Failure when it has fewer than
/// three fields or its port is not a number; fields after the third are ignored.
Destination parseDestination(int slot, const QString& setting);

} // namespace skiascan
