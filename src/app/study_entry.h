// The study entry rules that need no window: the command line, dates as the
// operator types them, and the rule that decides whether a study can be scanned.
#pragma once

#include <QDate>
#include <QLocale>
#include <QString>
#include <QTime>

#include <optional>

namespace skiascan {

/// The study fields that the command line sets. A field that the argument text
/// does not reach stays std::nullopt and is left alone.
struct CommandLineFields {
    std::optional<QString> lastName;   // PATNachname
    std::optional<QString> firstName;  // PATVorname
    std::optional<QString> middleName; // PAT2Vorname
    std::optional<QString> patientId;  // PATID1
    std::optional<QString> birthDate;  // PATGebDatum
};

/// Splits the argument text "name|patient ID|birth date", the name being
/// "last^first^middle". The text is used as it arrives: nothing is trimmed and
/// quotes stay. Fields and name components after the third are ignored; an empty
/// name field sets no name.
CommandLineFields parseCommandLine(const QString& argumentText);

/// The text without the blanks at its ends (tabs and other white space stay, as
/// they are part of what was typed).
QString trimSpaces(const QString& text);

/// The argument text from the program's arguments (without the program path):
/// the arguments joined by single spaces, as one command line.
QString argumentText(const QStringList& arguments);

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

/// The inputs of the rule that enables scanning, as the field texts stand.
struct StudyRecordTexts {
    QString lastName;  // PATNachname
    QString firstName; // PATVorname
    QString patientId; // PATID1
    QString sex;       // Sex
    QString bodyPart;  // Bodypart
    QString studyDate; // StudyDate
    QString birthDate; // PATGebDatum
};

/// True when the record is complete enough to scan: the five texts are not empty
/// (a blank counts as filled) and both dates parse.
bool isRecordComplete(const StudyRecordTexts& record, const QLocale& locale);

} // namespace skiascan
