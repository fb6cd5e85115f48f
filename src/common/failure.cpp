#include "common/failure.h"

#include <new>

namespace skiascan {

Failure::Failure(const QString& description, Kind kind)
    : std::runtime_error(description.toStdString())
    , m_kind(kind)
{
}

bool Failure::isNetwork() const
{
    switch (m_kind) {
    case Kind::Unreachable:
    case Kind::Rejected:
    case Kind::Status:
        return true;
    default:
        return false;
    }
}

QString describe(const std::exception& e)
{
    if (dynamic_cast<const std::bad_alloc*>(&e))
        return QStringLiteral("There is not enough memory for this.");
    return QString::fromUtf8(e.what());
}

} // namespace skiascan
