#include "common/dates.h"

namespace skiascan {

namespace {

// Rewrites the unquoted runs of one pattern letter of a Qt date/time format.
template <typename Fn>
QString rewriteRuns(const QString& format, QChar letter, Fn replace)
{
    QString out;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size();) {
        const QChar c = format[i];
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
            out += c;
            ++i;
            continue;
        }
        if (!quoted && c == letter) {
            qsizetype j = i;
            while (j < format.size() && format[j] == letter)
                ++j;
            out += replace(j - i);
            i = j;
            continue;
        }
        out += c;
        ++i;
    }
    return out;
}

} // namespace

QString fourDigitYearFormat(QString format)
{
    return rewriteRuns(format, QLatin1Char('y'), [](qsizetype) { return QStringLiteral("yyyy"); });
}

namespace {

// A format for reading what operators type: four-digit years, and days and months
// with or without their leading zero ("7.2.1960" as well as "07.02.1960").
QString readingFormat(const QString& format)
{
    auto unpad = [](qsizetype n, QChar letter) { return n == 2 ? QString(letter) : QString(n, letter); };
    QString f = fourDigitYearFormat(format);
    f = rewriteRuns(f, QLatin1Char('d'), [&](qsizetype n) { return unpad(n, QLatin1Char('d')); });
    return rewriteRuns(f, QLatin1Char('M'), [&](qsizetype n) { return unpad(n, QLatin1Char('M')); });
}

} // namespace

std::optional<QDate> parseDate(const QString& text, const QLocale& locale)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    const QString formats[] = {
        readingFormat(locale.dateFormat(QLocale::ShortFormat)),
        readingFormat(locale.dateFormat(QLocale::LongFormat)),
        QStringLiteral("yyyy-MM-dd"),
        QStringLiteral("yyyyMMdd"),
    };
    for (const QString& format : formats) {
        const QDate date = locale.toDate(t, format);
        if (date.isValid())
            return date;
    }
    return std::nullopt;
}

QString formatShortDate(const QDate& date, const QLocale& locale)
{
    return locale.toString(date, fourDigitYearFormat(locale.dateFormat(QLocale::ShortFormat)));
}

QString regionalTimeFormat(const QLocale& locale)
{
    // The long time format carries the seconds; drop its time-zone part.
    const QString withoutZone = rewriteRuns(locale.timeFormat(QLocale::LongFormat), QLatin1Char('t'),
                                            [](qsizetype) { return QString(); });
    return withoutZone.simplified();
}

std::optional<QTime> parseTime(const QString& text, const QLocale& locale)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    const QString formats[] = {
        QStringLiteral("HH:mm:ss"),
        QStringLiteral("HHmmss"),
        regionalTimeFormat(locale),
        locale.timeFormat(QLocale::ShortFormat),
    };
    for (const QString& format : formats) {
        const QTime time = locale.toTime(t, format);
        if (time.isValid())
            return time;
    }
    return std::nullopt;
}

QString clockTime(const QTime& time)
{
    return time.toString(QStringLiteral("HH:mm:ss"));
}

} // namespace skiascan
