#include "delivery/destinations.h"

#include "common/failure.h"

#include <QStringList>

namespace skiascan {

std::vector<int> configuredSlots(const RemoteSettings& remotes)
{
    std::vector<int> nodeSlots;
    for (int slot = 0; slot < 3; ++slot)
        if (remotes[static_cast<std::size_t>(slot)].size() > 2)
            nodeSlots.push_back(slot);
    return nodeSlots;
}

Destination parseDestination(int slot, const QString& setting)
{
    const QStringList fields = setting.split(QLatin1Char('|'));
    if (fields.size() < 3)
        throw Failure(QStringLiteral("The destination %1 setting \"%2\" is not of the form AET|address|port.")
                             .arg(slot + 1)
                             .arg(setting),
                      Failure::Kind::Argument);
    bool ok = false;
    const qint32 port = fields[2].trimmed().toInt(&ok);
    if (!ok)
        throw Failure(QStringLiteral("The port \"%1\" of destination %2 (%3) is not a number.")
                             .arg(fields[2])
                             .arg(slot + 1)
                             .arg(fields[0]),
                      Failure::Kind::Argument);
    return Destination{slot, fields[0], fields[1], port};
}

} // namespace skiascan
