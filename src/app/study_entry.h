// The study entry rules that need no window: the command line and the rule that
// decides whether a study can be scanned.
#pragma once

#include <QLocale>
#include <QString>
#include <QStringList>

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

} // namespace skiascan
