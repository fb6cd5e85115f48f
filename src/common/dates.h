// Dates and times as the operator types and reads them: the regional formats of
// the locale, always with four-digit years.
#pragma once

#include <QDate>
#include <QLocale>
#include <QString>
#include <QTime>

#include <optional>

namespace skiascan {

/// A date format of the locale with any two-digit year made four-digit, so that
/// what the program writes and accepts is never ambiguous.
QString fourDigitYearFormat(QString format);

/// Parses a date as an operator types it: the locale's short or long format
/// (with a four-digit year), ISO "YYYY-MM-DD" or DICOM "YYYYMMDD". Blanks around
/// the text are ignored. Returns std::nullopt when the text is not a date.
std::optional<QDate> parseDate(const QString& text, const QLocale& locale);

/// The date written in the locale's short format with a four-digit year.
QString formatShortDate(const QDate& date, const QLocale& locale);

/// The locale's time format with seconds and without a time zone, as the
/// operator's regional time is shown.
QString regionalTimeFormat(const QLocale& locale);

/// Parses a time written "hh:mm:ss", "hhmmss" or in the locale's regional time
/// format. Returns std::nullopt when the text is not a time.
std::optional<QTime> parseTime(const QString& text, const QLocale& locale);

/// The time as "hh:mm:ss", 24-hour, two digits each.
QString clockTime(const QTime& time);

} // namespace skiascan
