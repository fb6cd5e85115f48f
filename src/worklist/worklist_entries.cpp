#include "worklist/worklist_entries.h"

#include "common/dates.h"
#include "common/failure.h"
#include "common/private_files.h"
#include "common/text.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cmath>

namespace skiascan {

namespace {

QString logFile(const QString& programFolder)
{
    return QDir(programFolder).filePath(QStringLiteral("Logs/wlscu.log"));
}

} // namespace

WorklistLayout worklistLayout(int width, int height)
{
    constexpr int kButtonWidth = 855;
    WorklistLayout layout;
    layout.buttonLeft = width - kButtonWidth - 120;
    layout.listWidth = layout.buttonLeft - 120;
    layout.listHeight = height - 600;
    // Rounded to the nearest integer, halves to the even one.
    layout.unit = static_cast<int>(std::nearbyint((layout.listWidth - 360) / 100.0));
    const int factors[] = {10, 18, 15, 12, 15, 10, 7, 13};
    for (int i = 0; i < 8; ++i)
        layout.columnWidths[static_cast<std::size_t>(i)] = factors[i] * layout.unit;
    layout.columnWidths[8] = 1440;
    return layout;
}

QString worklistTime(const QString& dicomTime)
{
    static const QRegularExpression form(QStringLiteral("^(\\d{2}):?(\\d{2})?:?(\\d{2})?(\\.\\d*)?$"));
    const auto match = form.match(dicomTime.trimmed());
    if (!match.hasMatch())
        return {};
    const QTime time(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt());
    return time.isValid() ? time.toString(QStringLiteral("HH:mm:ss")) : QString();
}

void fillWorklistRow(const dicom::DataSet& answer, WorklistRow& row, const QLocale& locale)
{
    // A name may come in component groups ("Yamada^Tarou=山田^太郎"): the first
    // one with anything in it is the patient's name here.
    QString fullName;
    for (const QString& group : answer.patientName().split(QLatin1Char('='))) {
        if (!group.isEmpty()) {
            fullName = group;
            break;
        }
    }
    const QStringList name = fullName.split(QLatin1Char('^'));
    // Exactly as the worklist gave them: the images must carry the name the
    // RIS knows for the order.
    for (int i = 0; i < 3 && i < name.size(); ++i)
        row[kLastName + i] = name[i];

    const auto steps = answer.sequence(0x0040, 0x0100);
    if (!steps || steps->count() < 1)
        throw Failure(QStringLiteral("The worklist entry of %1 has no scheduled procedure step.")
                                    .arg(answer.patientName()));
    row[kTime] = worklistTime(steps->item(1).text(0x0040, 0x0003).value_or(QString()));

    if (const auto codes = answer.sequence(0x0032, 0x1064); codes && codes->count() >= 1)
        if (const auto code = codes->item(1).text(0x0008, 0x0100))
            row[kBodypart] = trimSpaces(*code);

    if (const auto born = answer.birthDate())
        row[kBirthdate] = formatShortDate(*born, locale);

    row[kId] = answer.patientId();
    row[kSex] = answer.patientSex();
    row[kAccessionNumber] = answer.text(0x0008, 0x0050).value_or(QString());
}

QStringList unreadableFields(const dicom::DataSet& answer)
{
    QStringList fields;
    for (const auto& [group, element] : answer.undecodable()) {
        QString field;
        if (group == 0x0010 && element == 0x0010)
            field = QStringLiteral("patient name");
        else if (group == 0x0010 && element == 0x0020)
            field = QStringLiteral("patient ID");
        else if (group == 0x0008 && element == 0x0050)
            field = QStringLiteral("accession number");
        else if (group == 0x0008 && element == 0x0100)
            field = QStringLiteral("body part");
        if (!field.isEmpty() && !fields.contains(field))
            fields << field;
    }
    return fields;
}

int tidyWorklistLog(const QString& programFolder, int logDay, const QDate& today)
{
    makePrivateFolder(QDir(programFolder).filePath(QStringLiteral("Logs")));
    const QString file = logFile(programFolder);
    if (today.day() == logDay || !QFile::exists(file))
        return logDay;
    // A file marked read-only is left alone, as a file the operator protected.
    if (!(QFile::permissions(file) & QFileDevice::WriteOwner) || !QFile::remove(file))
        return logDay;
    return today.day();
}

void appendWorklistLog(const QString& programFolder, const QString& line)
{
    QFile file(logFile(programFolder));
    if (!file.open(QIODevice::Append | QIODevice::Text, kPrivateFile))
        return;
    file.write((QDateTime::currentDateTime().toString(Qt::ISODate) + QLatin1Char(' ') + line + QLatin1Char('\n')).toUtf8());
}

} // namespace skiascan

namespace skiascan {

namespace {

QString textOf(const dicom::DataSet& set, quint16 group, quint16 element)
{
    return set.text(group, element).value_or(QString());
}

std::vector<dicom::Code> codesOf(const dicom::DataSet& set, quint16 group, quint16 element)
{
    std::vector<dicom::Code> codes;
    const auto items = set.sequence(group, element);
    for (int i = 1; items && i <= items->count(); ++i) {
        const dicom::DataSet& item = items->item(i);
        codes.push_back({textOf(item, 0x0008, 0x0100), textOf(item, 0x0008, 0x0102), textOf(item, 0x0008, 0x0103),
                         textOf(item, 0x0008, 0x0104)});
    }
    return codes;
}

} // namespace

dicom::ScheduledStudy scheduledStudyOf(const dicom::DataSet& answer)
{
    dicom::ScheduledStudy s;
    s.studyUid = textOf(answer, 0x0020, 0x000D);
    s.referringPhysician = textOf(answer, 0x0008, 0x0090);
    if (const auto studies = answer.sequence(0x0008, 0x1110))
        for (int i = 1; i <= studies->count(); ++i)
            s.referencedStudies.emplace_back(textOf(studies->item(i), 0x0008, 0x1150),
                                             textOf(studies->item(i), 0x0008, 0x1155));
    s.requestedProcedureId = textOf(answer, 0x0040, 0x1001);
    s.requestedProcedureDescription = textOf(answer, 0x0032, 0x1060);
    s.requestedProcedureCodes = codesOf(answer, 0x0032, 0x1064);
    if (const auto steps = answer.sequence(0x0040, 0x0100); steps && steps->count() > 0) {
        const dicom::DataSet& step = steps->item(1);
        s.stepId = textOf(step, 0x0040, 0x0009);
        s.stepDescription = textOf(step, 0x0040, 0x0007);
        s.protocolCodes = codesOf(step, 0x0040, 0x0008);
    }
    return dicom::carriedPart(s);
}

} // namespace skiascan
