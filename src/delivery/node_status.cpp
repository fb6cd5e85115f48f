#include "delivery/node_status.h"

#include <algorithm>

namespace skiascan {

QString NodeStatus::commitmentText() const
{
    if (awaiting == 0)
        return {};
    const QString since = awaitingSince.date() == QDate::currentDate()
        ? awaitingSince.toString(QStringLiteral("HH:mm"))
        : awaitingSince.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    const QString text = QStringLiteral("awaiting commitment since %1").arg(since);
    return reportsProblem.isEmpty() ? text : QStringLiteral("%1; its reports cannot arrive: %2").arg(text, reportsProblem);
}

QString NodeStatus::text() const
{
    switch (activity) {
    case Activity::Connecting:
        return QStringLiteral("connecting");
    case Activity::Sending:
        return total > 0 ? QStringLiteral("sending %1 %").arg(std::min<qint64>(100, done * 100 / total))
                         : QStringLiteral("sending");
    case Activity::Waiting: {
        const qint64 seconds = std::max<qint64>(0, (QDateTime::currentDateTime().msecsTo(nextTry) + 999) / 1000);
        if (seconds == 0)
            return QStringLiteral("trying again");
        if (seconds < 100)
            return QStringLiteral("next try in %1 s").arg(seconds);
        return QStringLiteral("next try in %1 min").arg((seconds + 59) / 60);
    }
    case Activity::Idle:
        break;
    }
    return QStringLiteral("idle");
}

} // namespace skiascan
