// The study entry rules that need no window: the command line and the rule that
// decides whether a study can be scanned.
#pragma once

#include <QDate>
#include <QLocale>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

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

/// The argument text from the program's arguments (without the program path):
/// the arguments joined by single spaces, as one command line.
QString argumentText(const QStringList& arguments);

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

/// The fields of the rule, in the order the window shows them.
enum class EntryField { LastName, FirstName, BirthDate, PatientId, Sex, BodyPart, StudyDate };

/// A field that keeps the record from being complete, and why.
struct EntryRefusal {
    EntryField field;
    /// True when the field holds a text that is refused (a date that is no
    /// date), false when it is empty.
    bool refusedValue = false;
    QString caption;   ///< the field's caption, "Study Date"
    QString text;      ///< "Study Date: 31.02.2026 is not a date", "Patient ID is empty"
    QString shortText; ///< "Study Date is not a date", for a narrow place
};

/// Why the record is not complete: one refusal per field that fails the rule,
/// in the window's order; empty exactly when isRecordComplete() is true. A date
/// written with a two-digit year is told that a four-digit year is needed.
std::vector<EntryRefusal> entryRefusals(const StudyRecordTexts& record, const QLocale& locale);

/// What is unlikely in a complete record's dates, one sentence each, for a
/// question before the scan: a study date or birth date after `today`, a birth
/// date after the study date, an age over 130 years on the study date. Empty
/// when nothing is. The dates are shown as they were typed.
QStringList implausibleDates(const StudyRecordTexts& record, const QLocale& locale, const QDate& today);

} // namespace skiascan
