#include "app/study_entry.h"

#include "common/dates.h"

#include <QRegularExpression>

namespace skiascan {

CommandLineFields parseCommandLine(const QString& argumentText)
{
    CommandLineFields out;
    if (argumentText.isEmpty())
        return out;
    const QStringList fields = argumentText.split(QLatin1Char('|'));
    if (!fields[0].isEmpty()) {
        const QStringList name = fields[0].split(QLatin1Char('^'));
        out.lastName = name[0];
        if (name.size() > 1)
            out.firstName = name[1];
        if (name.size() > 2)
            out.middleName = name[2];
    }
    if (fields.size() > 1)
        out.patientId = fields[1];
    if (fields.size() > 2)
        out.birthDate = fields[2];
    return out;
}

QString argumentText(const QStringList& arguments)
{
    return arguments.join(QLatin1Char(' '));
}

bool isRecordComplete(const StudyRecordTexts& r, const QLocale& locale)
{
    return !r.bodyPart.isEmpty() && !r.patientId.isEmpty() && !r.sex.isEmpty() && !r.lastName.isEmpty()
        && !r.firstName.isEmpty() && parseDate(r.studyDate, locale).has_value()
        && parseDate(r.birthDate, locale).has_value();
}

namespace {

// Day, month and a year of two digits, in either order of day and month
// ("12/7/26", "07.12.26"): a date the program will not guess the century of.
bool hasTwoDigitYear(const QString& text)
{
    static const QRegularExpression form(QStringLiteral("^\\d{1,2}\\D\\d{1,2}\\D\\d{2}$"));
    return form.match(text.trimmed()).hasMatch();
}

} // namespace

std::vector<EntryRefusal> entryRefusals(const StudyRecordTexts& r, const QLocale& locale)
{
    std::vector<EntryRefusal> refusals;
    const auto filled = [&](EntryField field, const QString& caption, const QString& text) {
        if (text.isEmpty())
            refusals.push_back({field, false, caption, caption + QStringLiteral(" is empty"),
                                caption + QStringLiteral(" is empty")});
    };
    const auto date = [&](EntryField field, const QString& caption, const QString& text) {
        if (text.trimmed().isEmpty())
            refusals.push_back({field, !text.isEmpty(), caption, caption + QStringLiteral(" is empty"),
                                caption + QStringLiteral(" is empty")});
        else if (parseDate(text, locale))
            return;
        else if (hasTwoDigitYear(text))
            refusals.push_back({field, true, caption,
                                QStringLiteral("%1: %2 has a two-digit year; a four-digit year is needed").arg(caption, text),
                                caption + QStringLiteral(" needs a four-digit year")});
        else
            refusals.push_back({field, true, caption, QStringLiteral("%1: %2 is not a date").arg(caption, text),
                                caption + QStringLiteral(" is not a date")});
    };
    filled(EntryField::LastName, QStringLiteral("Patient Lastname"), r.lastName);
    filled(EntryField::FirstName, QStringLiteral("Patient Firstname"), r.firstName);
    date(EntryField::BirthDate, QStringLiteral("Patient Birthdate"), r.birthDate);
    filled(EntryField::PatientId, QStringLiteral("Patient ID"), r.patientId);
    filled(EntryField::Sex, QStringLiteral("Patient Sex"), r.sex);
    filled(EntryField::BodyPart, QStringLiteral("Bodypart"), r.bodyPart);
    date(EntryField::StudyDate, QStringLiteral("Study Date"), r.studyDate);
    return refusals;
}

QStringList implausibleDates(const StudyRecordTexts& r, const QLocale& locale, const QDate& today)
{
    QStringList found;
    const std::optional<QDate> study = parseDate(r.studyDate, locale);
    const std::optional<QDate> birth = parseDate(r.birthDate, locale);
    if (study && *study > today)
        found << QStringLiteral("The Study Date %1 is in the future.").arg(r.studyDate.trimmed());
    if (birth && *birth > today)
        found << QStringLiteral("The Patient Birthdate %1 is in the future.").arg(r.birthDate.trimmed());
    if (study && birth && *birth > *study)
        found << QStringLiteral("The Patient Birthdate %1 is after the Study Date %2.")
                     .arg(r.birthDate.trimmed(), r.studyDate.trimmed());
    if (study && birth && *birth <= *study) {
        int age = study->year() - birth->year();
        if (QDate(study->year(), birth->month(), 1).addDays(birth->day() - 1) > *study)
            --age; // the birthday of the study's year is still to come
        if (age > 130)
            found << QStringLiteral("The patient would be %1 years old on the Study Date.").arg(age);
    }
    return found;
}

} // namespace skiascan
