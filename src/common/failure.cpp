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

QString plainNodeFailure(const std::exception& e, const QString& node)
{
    const auto* failure = dynamic_cast<const Failure*>(&e);
    if (!failure)
        return describe(e);
    const QString text = failure->description();
    const QString notAnswering = QStringLiteral("%1 does not answer. Check that it runs and that its address and port "
                                                "in the Preferences are right, or ask its administrator.")
                                     .arg(node);
    switch (failure->kind()) {
    case Failure::Kind::Unreachable:
        // A node that refuses this station's certificate, or whose own this
        // station does not trust, answers: what fails is the trust.
        if (text.contains(QLatin1String("certificate")))
            return QStringLiteral("%1 and this station do not trust each other's certificates. Check the TLS "
                                  "settings under Preferences, More..., or ask its administrator.")
                .arg(node);
        return notAnswering;
    case Failure::Kind::Limit:
        // A deadline or a silent connection is a node that does not answer;
        // the other limits are on what it sends.
        if (text.contains(QLatin1String("no end within")) || text.contains(QLatin1String("no byte moved")))
            return notAnswering;
        if (text.contains(QLatin1String("more than")))
            return QStringLiteral("%1 sent more than this station takes. Ask its administrator.").arg(node);
        return QStringLiteral("%1 sent an answer this station cannot read. Ask its administrator.").arg(node);
    case Failure::Kind::Rejected:
        return QStringLiteral("%1 does not accept this station. Check the AE titles in the Preferences (the "
                              "node's and the Local AET), or ask its administrator to admit this station.")
            .arg(node);
    case Failure::Kind::Status:
        return QStringLiteral("%1 answered with an error. Try again; if it happens again, ask its administrator.")
            .arg(node);
    case Failure::Kind::Cancelled:
        return QStringLiteral("Cancelled.");
    default:
        return text;
    }
}

} // namespace skiascan
