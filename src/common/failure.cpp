#include "common/failure.h"

#include <new>

namespace skiascan {

Failure::Failure(const QString& description, Kind kind, const QString& detail)
    : std::runtime_error(description.toStdString())
    , m_kind(kind)
    , m_detail(detail)
{
}

QString logText(const std::exception& e)
{
    const auto* failure = dynamic_cast<const Failure*>(&e);
    if (!failure || failure->detail().isEmpty())
        return describe(e);
    return QStringLiteral("%1 [%2]").arg(failure->description(), failure->detail());
}

QString describe(const std::exception& e)
{
    if (dynamic_cast<const std::bad_alloc*>(&e))
        return QStringLiteral("There is not enough memory for this.");
    return QString::fromUtf8(e.what());
}

QString describe(std::exception_ptr failure)
{
    if (!failure)
        return {};
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        return describe(e);
    } catch (...) {
        return QStringLiteral("an unknown failure");
    }
}

} // namespace skiascan
