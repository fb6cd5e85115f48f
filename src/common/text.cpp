#include "common/text.h"

namespace skiascan {

QString trimSpaces(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == QLatin1Char(' '))
        ++begin;
    while (end > begin && text[end - 1] == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

QString failureText(const QString& description, const QString& consequence)
{
    return description + QStringLiteral("\r\n\r\n") + consequence;
}

QString countOf(int count, const QString& singular, const QString& plural)
{
    return QStringLiteral("%1 %2").arg(count).arg(count == 1 ? singular : plural);
}

} // namespace skiascan
