#include "common/text.h"

#include <QStringList>

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

QString personName(const QString& dicomName)
{
    QString form;
    for (const QString& group : dicomName.split(QLatin1Char('='))) {
        if (!trimSpaces(group).remove(QLatin1Char('^')).isEmpty()) {
            form = group;
            break;
        }
    }
    QStringList parts = form.split(QLatin1Char('^'));
    parts.resize(5);
    for (QString& part : parts)
        part = trimSpaces(part);
    const QString& family = parts[0];
    QStringList given; // prefix, given and middle names, in the order they are spoken
    for (const QString& part : {parts[3], parts[1], parts[2]})
        if (!part.isEmpty())
            given << part;
    QString name = family;
    if (!given.isEmpty())
        name += (name.isEmpty() ? QString() : QStringLiteral(", ")) + given.join(QLatin1Char(' '));
    if (!parts[4].isEmpty())
        name += (name.isEmpty() ? QString() : QStringLiteral(", ")) + parts[4];
    return name;
}

} // namespace skiascan
