#include "common/failure.h"

#include <new>

namespace skiascan {

Failure::Failure(const QString& description, Kind kind)
    : std::runtime_error(description.toStdString())
    , m_kind(kind)
{
}

QString describe(const std::exception& e)
{
    if (dynamic_cast<const std::bad_alloc*>(&e))
        return QStringLiteral("There is not enough memory for this.");
    return QString::fromUtf8(e.what());
}

} // namespace skiascan
