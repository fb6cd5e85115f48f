#include "app/study_entry.h"

#include "common/dates.h"

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

} // namespace skiascan
